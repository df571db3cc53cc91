#include "platform/linux/ffmpeg/ffmpeg_video_reader.h"

#include "media/ffmpeg_library.h"

#include <QTransform>

#include <cmath>
#include <memory>

namespace nimbo {
namespace {

struct InputCloser {
  void operator()(AVFormatContext* c) const { av().avformat_close_input(&c); }
};
struct CodecCloser {
  void operator()(AVCodecContext* c) const { av().avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av().av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av().av_packet_free(&p); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;

Input openInput(const QString& path) {
  AVFormatContext* ctx = nullptr;
  if (av().avformat_open_input(&ctx, path.toUtf8().constData(), nullptr, nullptr) < 0) return nullptr;
  Input in(ctx);
  if (av().avformat_find_stream_info(ctx, nullptr) < 0) return nullptr;
  return in;
}

double durationOf(const AVFormatContext* ctx, const AVStream* st) {
  if (ctx->duration > 0 && ctx->duration != AV_NOPTS_VALUE) return ctx->duration / double(AV_TIME_BASE);
  if (st->duration > 0) return st->duration * av_q2d(st->time_base);
  return 0;
}

// The rotation a player applies (the track's preferred transform).
double rotationOf(const AVStream* st) {
  size_t size = 0;
  const uint8_t* matrix = av().av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (!matrix || size < 9 * sizeof(int32_t)) return 0;
  const double r = -av().av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
  return std::isfinite(r) ? r : 0;
}

}  // namespace

std::optional<VideoInfo> FfmpegVideoReader::probe(const QString& path) {
  const Result<ffmpeg::Hold> hold = ffmpeg::open();
  if (!hold.ok()) return std::nullopt;
  Input in = openInput(path);
  if (!in) return std::nullopt;
  const int idx = av().av_find_best_stream(in.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (idx < 0) return std::nullopt;
  const AVStream* st = in->streams[idx];
  VideoInfo info;
  info.durationSeconds = durationOf(in.get(), st);
  info.width = st->codecpar->width;
  info.height = st->codecpar->height;
  return info;
}

std::optional<QImage> FfmpegVideoReader::frameAt(const QString& path, double seconds) {
  const Result<ffmpeg::Hold> hold = ffmpeg::open();
  if (!hold.ok()) return std::nullopt;
  Input in = openInput(path);
  if (!in) return std::nullopt;
  const AVCodec* codec = nullptr;
  const int idx = av().av_find_best_stream(in.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (idx < 0 || !codec) return std::nullopt;
  AVStream* st = in->streams[idx];
  std::unique_ptr<AVCodecContext, CodecCloser> dec(av().avcodec_alloc_context3(codec));
  if (!dec || av().avcodec_parameters_to_context(dec.get(), st->codecpar) < 0) return std::nullopt;
  dec->thread_count = 1;
  if (av().avcodec_open2(dec.get(), codec, nullptr) < 0) return std::nullopt;

  const int64_t target = int64_t(std::llround(seconds / av_q2d(st->time_base)));
  const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  av().av_seek_frame(in.get(), idx, start + target, AVSEEK_FLAG_BACKWARD);

  std::unique_ptr<AVPacket, PacketFree> pkt(av().av_packet_alloc());
  std::unique_ptr<AVFrame, FrameFree> frame(av().av_frame_alloc()), best(av().av_frame_alloc());
  bool have = false, draining = false;
  // Decode from the key frame before the target up to the first frame at or
  // after it; the last decoded frame serves when the target is past the end.
  while (true) {
    int rc = av().avcodec_receive_frame(dec.get(), frame.get());
    if (rc == 0) {
      av().av_frame_unref(best.get());
      av().av_frame_move_ref(best.get(), frame.get());
      have = true;
      const int64_t pts = best->best_effort_timestamp != AV_NOPTS_VALUE ? best->best_effort_timestamp : best->pts;
      if (pts != AV_NOPTS_VALUE && pts - start >= target) break;
      continue;
    }
    if (rc == AVERROR_EOF) break;
    if (rc != AVERROR(EAGAIN)) return std::nullopt;
    if (draining) break;
    rc = av().av_read_frame(in.get(), pkt.get());
    if (rc < 0) {
      draining = true;
      av().avcodec_send_packet(dec.get(), nullptr);
      continue;
    }
    if (pkt->stream_index == idx) av().avcodec_send_packet(dec.get(), pkt.get());
    av().av_packet_unref(pkt.get());
  }
  if (!have) return std::nullopt;

  QImage image(best->width, best->height, QImage::Format_RGB32);
  if (image.isNull()) return std::nullopt;
  SwsContext* sws = av().sws_getContext(best->width, best->height, AVPixelFormat(best->format), best->width,
                                   best->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!sws) return std::nullopt;
  uint8_t* dst[4] = {image.bits(), nullptr, nullptr, nullptr};
  int dstStride[4] = {int(image.bytesPerLine()), 0, 0, 0};
  av().sws_scale(sws, best->data, best->linesize, 0, best->height, dst, dstStride);
  av().sws_freeContext(sws);

  const double rotation = rotationOf(st);
  if (std::fmod(std::fabs(rotation), 360.0) > 0.5) image = image.transformed(QTransform().rotate(rotation));
  return image;
}

}  // namespace nimbo
