#include "poster.h"

#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <cmath>
#include <memory>
#include <vector>

#include "share_store.h"

namespace nimbo::server {
namespace {

struct InputCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecCloser {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
  void operator()(SwsContext* c) const { sws_freeContext(c); }
};
using Codec = std::unique_ptr<AVCodecContext, CodecCloser>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;
using Sws = std::unique_ptr<SwsContext, SwsFree>;

struct Rgb {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;  // packed RGB24
};

// Quarter turns clockwise a player applies, from the track's display matrix.
int quarterTurns(const AVStream* st) {
  size_t size = 0;
  const uint8_t* matrix = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (!matrix || size < 9 * sizeof(int32_t)) return 0;
  const double degrees = -av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
  if (!std::isfinite(degrees)) return 0;
  // Recorders only write multiples of 90 degrees.
  return int(((std::lround(degrees / 90.0) % 4) + 4) % 4);
}

Rgb rotate(const Rgb& in, int turns) {
  if (turns == 0) return in;
  Rgb out;
  out.width = turns == 2 ? in.width : in.height;
  out.height = turns == 2 ? in.height : in.width;
  out.pixels.resize(in.pixels.size());
  for (int y = 0; y < in.height; ++y)
    for (int x = 0; x < in.width; ++x) {
      int tx = 0, ty = 0;
      if (turns == 1) tx = in.height - 1 - y, ty = x;
      else if (turns == 2) tx = in.width - 1 - x, ty = in.height - 1 - y;
      else tx = y, ty = in.width - 1 - x;
      const uint8_t* s = &in.pixels[(size_t(y) * in.width + x) * 3];
      uint8_t* d = &out.pixels[(size_t(ty) * out.width + tx) * 3];
      d[0] = s[0], d[1] = s[1], d[2] = s[2];
    }
  return out;
}

int swsColorspace(AVColorSpace space) {
  switch (space) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return SWS_CS_DEFAULT;
  }
}

std::optional<Rgb> toRgb(const AVFrame* f) {
  Sws sws(sws_getContext(f->width, f->height, AVPixelFormat(f->format), f->width, f->height, AV_PIX_FMT_RGB24,
                         SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!sws) return std::nullopt;
  sws_setColorspaceDetails(sws.get(), sws_getCoefficients(swsColorspace(f->colorspace)),
                           f->color_range == AVCOL_RANGE_JPEG, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16,
                           1 << 16);
  Rgb rgb;
  rgb.width = f->width;
  rgb.height = f->height;
  rgb.pixels.resize(size_t(f->width) * f->height * 3);
  uint8_t* dst[4] = {rgb.pixels.data(), nullptr, nullptr, nullptr};
  int stride[4] = {f->width * 3, 0, 0, 0};
  sws_scale(sws.get(), f->data, f->linesize, 0, f->height, dst, stride);
  return rgb;
}

std::optional<std::string> encodeJpeg(const Rgb& rgb) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  if (!codec) return std::nullopt;
  Codec enc(avcodec_alloc_context3(codec));
  if (!enc) return std::nullopt;
  enc->width = rgb.width;
  enc->height = rgb.height;
  enc->pix_fmt = AV_PIX_FMT_YUV420P;
  enc->color_range = AVCOL_RANGE_JPEG;  // JPEG's full-range BT.601
  enc->time_base = AVRational{1, 25};
  enc->flags |= AV_CODEC_FLAG_QSCALE;
  enc->global_quality = FF_QP2LAMBDA * 3;  // about libjpeg's quality 90
  if (avcodec_open2(enc.get(), codec, nullptr) < 0) return std::nullopt;

  Frame yuv(av_frame_alloc());
  yuv->format = AV_PIX_FMT_YUV420P;
  yuv->width = rgb.width;
  yuv->height = rgb.height;
  yuv->color_range = AVCOL_RANGE_JPEG;
  yuv->quality = enc->global_quality;
  if (av_frame_get_buffer(yuv.get(), 0) < 0) return std::nullopt;
  Sws sws(sws_getContext(rgb.width, rgb.height, AV_PIX_FMT_RGB24, rgb.width, rgb.height, AV_PIX_FMT_YUV420P,
                         SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!sws) return std::nullopt;
  sws_setColorspaceDetails(sws.get(), sws_getCoefficients(SWS_CS_DEFAULT), 1, sws_getCoefficients(SWS_CS_ITU601), 1,
                           0, 1 << 16, 1 << 16);
  const uint8_t* src[4] = {rgb.pixels.data(), nullptr, nullptr, nullptr};
  int stride[4] = {rgb.width * 3, 0, 0, 0};
  sws_scale(sws.get(), src, stride, 0, rgb.height, yuv->data, yuv->linesize);

  if (avcodec_send_frame(enc.get(), yuv.get()) < 0 || avcodec_send_frame(enc.get(), nullptr) < 0)
    return std::nullopt;
  Packet pkt(av_packet_alloc());
  if (avcodec_receive_packet(enc.get(), pkt.get()) < 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(pkt->data), size_t(pkt->size));
}

}  // namespace

std::optional<PosterFrame> makePoster(const std::string& videoPath, const std::string& jpegPath) {
  // A few kilobytes of crafted MP4 can make the demuxer ask for gigabytes;
  // no single buffer a poster needs comes near this (an 8K frame in RGB is
  // a hundred megabytes).
  static std::once_flag capped;
  std::call_once(capped, [] { av_max_alloc(kMaxPosterAllocation); });
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, videoPath.c_str(), nullptr, nullptr) < 0) return std::nullopt;
  std::unique_ptr<AVFormatContext, InputCloser> in(raw);
  if (avformat_find_stream_info(in.get(), nullptr) < 0) return std::nullopt;
  const AVCodec* codec = nullptr;
  const int idx = av_find_best_stream(in.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (idx < 0 || !codec) return std::nullopt;
  AVStream* st = in->streams[idx];
  Codec dec(avcodec_alloc_context3(codec));
  if (!dec || avcodec_parameters_to_context(dec.get(), st->codecpar) < 0) return std::nullopt;
  dec->thread_count = 1;  // one poster at a time on a small machine
  // An upload may declare any frame size; a poster of one larger than 8K
  // would cost gigabytes. The decoder refuses such frames.
  dec->max_pixels = kMaxPosterPixels;
  if (int64_t(st->codecpar->width) * st->codecpar->height > kMaxPosterPixels) return std::nullopt;
  if (avcodec_open2(dec.get(), codec, nullptr) < 0) return std::nullopt;

  double duration = 0;
  if (in->duration > 0 && in->duration != AV_NOPTS_VALUE) duration = in->duration / double(AV_TIME_BASE);
  else if (st->duration > 0) duration = st->duration * av_q2d(st->time_base);
  // The moment the app's own thumbnail shows: early, but past a fade-in.
  const double at = std::min(duration * 0.5, 0.5);
  const int64_t target = int64_t(std::llround(at / av_q2d(st->time_base)));
  const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  if (target > 0) av_seek_frame(in.get(), idx, start + target, AVSEEK_FLAG_BACKWARD);

  Packet pkt(av_packet_alloc());
  Frame frame(av_frame_alloc()), best(av_frame_alloc());
  bool have = false, draining = false;
  // From the key frame before the target to the first frame at or after it;
  // the last frame serves when the target is past the end.
  while (true) {
    int rc = avcodec_receive_frame(dec.get(), frame.get());
    if (rc == 0) {
      av_frame_unref(best.get());
      av_frame_move_ref(best.get(), frame.get());
      have = true;
      const int64_t pts = best->best_effort_timestamp != AV_NOPTS_VALUE ? best->best_effort_timestamp : best->pts;
      if (pts != AV_NOPTS_VALUE && pts - start >= target) break;
      continue;
    }
    if (rc == AVERROR_EOF) break;
    if (rc != AVERROR(EAGAIN)) return std::nullopt;
    if (draining) break;
    rc = av_read_frame(in.get(), pkt.get());
    if (rc < 0) {
      draining = true;
      avcodec_send_packet(dec.get(), nullptr);
      continue;
    }
    if (pkt->stream_index == idx) avcodec_send_packet(dec.get(), pkt.get());
    av_packet_unref(pkt.get());
  }
  if (!have || best->width <= 0 || best->height <= 0) return std::nullopt;

  std::optional<Rgb> rgb = toRgb(best.get());
  if (!rgb) return std::nullopt;
  const Rgb shown = rotate(*rgb, quarterTurns(st));
  const std::optional<std::string> jpeg = encodeJpeg(shown);
  std::string error;
  if (!jpeg || !writeFileAtomically(jpegPath, *jpeg, 0644, true, &error)) return std::nullopt;
  return PosterFrame{shown.width, shown.height};
}

PosterQueue::PosterQueue(Job job) : job_(std::move(job)), worker_([this] { run(); }) {}

PosterQueue::~PosterQueue() {
  {
    std::lock_guard l(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void PosterQueue::add(const std::string& slug) {
  {
    std::lock_guard l(mutex_);
    if (!pending_.insert(slug).second) return;
    queue_.push_back(slug);
  }
  changed_.notify_all();
}

bool PosterQueue::waitFor(const std::string& slug, std::chrono::milliseconds limit) {
  std::unique_lock l(mutex_);
  return changed_.wait_for(l, limit, [&] { return !pending_.count(slug); });
}

void PosterQueue::run() {
  std::unique_lock l(mutex_);
  while (true) {
    changed_.wait(l, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    const std::string slug = queue_.front();
    queue_.pop_front();
    l.unlock();
    job_(slug);
    l.lock();
    pending_.erase(slug);
    changed_.notify_all();
  }
}

}  // namespace nimbo::server
