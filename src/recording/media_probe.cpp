#include "recording/media_probe.h"

#include "media/ffmpeg_library.h"

#include <QFile>

#include <cmath>

namespace nimbo {

namespace {

// Whether the top-level "moov" box comes before "mdat".
bool moovFirst(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return false;
  qint64 at = 0;
  const qint64 size = f.size();
  while (at + 8 <= size) {
    f.seek(at);
    const QByteArray h = f.read(16);
    if (h.size() < 8) return false;
    quint64 len = (quint64(uchar(h[0])) << 24) | (uchar(h[1]) << 16) | (uchar(h[2]) << 8) | uchar(h[3]);
    const QByteArray type = h.mid(4, 4);
    if (len == 1 && h.size() >= 16) {
      len = 0;
      for (int i = 8; i < 16; ++i) len = (len << 8) | uchar(h[i]);
    }
    if (type == "moov") return true;
    if (type == "mdat" || len < 8) return false;
    at += qint64(len);
  }
  return false;
}

}  // namespace

std::optional<MediaProbe> MediaProbe::read(const QString& path, QString* error) {
  const Result<ffmpeg::Hold> hold = ffmpeg::open();
  if (!hold.ok()) {
    if (error) *error = hold.error().description;
    return std::nullopt;
  }
  AVFormatContext* fmt = nullptr;
  const QByteArray file = path.toUtf8();
  if (av().avformat_open_input(&fmt, file.constData(), nullptr, nullptr) < 0) {
    if (error) *error = "cannot open " + path;
    return std::nullopt;
  }
  if (av().avformat_find_stream_info(fmt, nullptr) < 0) {
    av().avformat_close_input(&fmt);
    if (error) *error = "cannot read the streams of " + path;
    return std::nullopt;
  }
  MediaProbe p;
  p.indexAtFront = moovFirst(path);
  p.openedDurationSeconds = fmt->duration > 0 ? fmt->duration / double(AV_TIME_BASE) : 0;
  int audioIndex = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVCodecParameters* c = fmt->streams[i]->codecpar;
    if (c->codec_type == AVMEDIA_TYPE_VIDEO) {
      if (p.videoTracks++ == 0) {
        p.width = c->width;
        p.height = c->height;
        p.videoCodec = QString::fromUtf8(av().avcodec_get_name(c->codec_id));
      }
    } else if (c->codec_type == AVMEDIA_TYPE_AUDIO) {
      if (p.audioTracks++ == 0) {
        audioIndex = int(i);
        p.audioCodec = QString::fromUtf8(av().avcodec_get_name(c->codec_id));
        p.sampleRate = c->sample_rate;
        p.channels = c->ch_layout.nb_channels;
      }
    }
  }
  // The longest stream, from the packets themselves (a fragmented file cut
  // short by a crash has no duration in its header).
  AVCodecContext* dec = nullptr;
  if (audioIndex >= 0) {
    const AVCodec* codec = av().avcodec_find_decoder(fmt->streams[audioIndex]->codecpar->codec_id);
    dec = codec ? av().avcodec_alloc_context3(codec) : nullptr;
    if (dec && (av().avcodec_parameters_to_context(dec, fmt->streams[audioIndex]->codecpar) < 0 ||
                av().avcodec_open2(dec, codec, nullptr) < 0))
      av().avcodec_free_context(&dec);
  }
  AVPacket* pkt = av().av_packet_alloc();
  AVFrame* frame = av().av_frame_alloc();
  double sum = 0;
  qint64 count = 0;
  double end = 0;
  auto take = [&] {
    while (av().avcodec_receive_frame(dec, frame) == 0) {
      p.audioDecodes = true;
      const int ch = frame->ch_layout.nb_channels;
      for (int c = 0; c < ch; ++c) {
        for (int s = 0; s < frame->nb_samples; ++s) {
          double v = 0;
          switch (frame->format) {
            case AV_SAMPLE_FMT_FLTP: v = reinterpret_cast<const float*>(frame->extended_data[c])[s]; break;
            case AV_SAMPLE_FMT_FLT: v = reinterpret_cast<const float*>(frame->extended_data[0])[s * ch + c]; break;
            case AV_SAMPLE_FMT_S16P: v = reinterpret_cast<const int16_t*>(frame->extended_data[c])[s] / 32768.0; break;
            case AV_SAMPLE_FMT_S16: v = reinterpret_cast<const int16_t*>(frame->extended_data[0])[s * ch + c] / 32768.0; break;
            default: break;
          }
          sum += v * v;
          ++count;
        }
      }
    }
  };
  while (av().av_read_frame(fmt, pkt) >= 0) {
    const AVStream* s = fmt->streams[pkt->stream_index];
    if (pkt->pts != AV_NOPTS_VALUE) {
      const double start = s->start_time != AV_NOPTS_VALUE ? s->start_time * av_q2d(s->time_base) : 0;
      end = std::max(end, (pkt->pts + pkt->duration) * av_q2d(s->time_base) - start);
    }
    if (dec && pkt->stream_index == audioIndex && av().avcodec_send_packet(dec, pkt) == 0) take();
    av().av_packet_unref(pkt);
  }
  if (dec && av().avcodec_send_packet(dec, nullptr) == 0) take();
  p.audioRms = count ? std::sqrt(sum / double(count)) : 0;
  p.durationSeconds = fmt->duration > 0 ? std::max(end, fmt->duration / double(AV_TIME_BASE)) : end;
  av().av_frame_free(&frame);
  av().av_packet_free(&pkt);
  av().avcodec_free_context(&dec);
  av().avformat_close_input(&fmt);
  return p;
}

std::optional<MediaProbe::Seek> MediaProbe::seek(const QString& path, double seconds, QString* error) {
  const Result<ffmpeg::Hold> hold = ffmpeg::open();
  if (!hold.ok()) {
    if (error) *error = hold.error().description;
    return std::nullopt;
  }
  AVFormatContext* fmt = nullptr;
  const QByteArray file = path.toUtf8();
  auto fail = [&](const QString& why) -> std::optional<Seek> {
    if (error) *error = why;
    av().avformat_close_input(&fmt);
    return std::nullopt;
  };
  if (av().avformat_open_input(&fmt, file.constData(), nullptr, nullptr) < 0) return fail("cannot open " + path);
  if (av().avformat_find_stream_info(fmt, nullptr) < 0) return fail("cannot read the streams of " + path);
  const AVCodec* codec = nullptr;
  const int vs = av().av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (vs < 0 || !codec) return fail("no video in " + path);
  const AVStream* st = fmt->streams[vs];
  const double tb = av_q2d(st->time_base);
  const double start = st->start_time != AV_NOPTS_VALUE ? st->start_time * tb : 0;
  const int64_t target = llround((seconds + start) / tb);
  if (av().av_seek_frame(fmt, vs, target, AVSEEK_FLAG_BACKWARD) < 0) return fail("the seek failed");
  AVCodecContext* dec = av().avcodec_alloc_context3(codec);
  if (av().avcodec_parameters_to_context(dec, st->codecpar) < 0 || av().avcodec_open2(dec, codec, nullptr) < 0) {
    av().avcodec_free_context(&dec);
    return fail("no decoder");
  }
  Seek out;
  bool landed = false, shown = false, any = false;
  AVPacket* pkt = av().av_packet_alloc();
  AVFrame* f = av().av_frame_alloc();
  auto take = [&] {
    while (!shown && av().avcodec_receive_frame(dec, f) == 0) {
      const double t = f->best_effort_timestamp * tb - start;
      if (f->decode_error_flags || (f->flags & AV_FRAME_FLAG_CORRUPT)) ++out.decodeErrors;
      if (!landed) {
        landed = true;
        out.landedSeconds = t;
        out.landedOnKeyframe = f->key_frame;
      }
      // The picture shown at `seconds` is the last one that starts by then.
      if (t > seconds + 1e-6 && any) {
        shown = true;
        break;
      }
      any = true;
      out.shownSeconds = t;
      double sum = 0;
      for (int y = 0; y < f->height; ++y)
        for (int x = 0; x < f->width; ++x) sum += f->data[0][y * f->linesize[0] + x];
      out.meanLuma = sum / (double(f->width) * f->height);
    }
  };
  while (!shown && av().av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == vs && av().avcodec_send_packet(dec, pkt) == 0) take();
    av().av_packet_unref(pkt);
  }
  if (!shown && av().avcodec_send_packet(dec, nullptr) == 0) take();
  av().av_frame_free(&f);
  av().av_packet_free(&pkt);
  av().avcodec_free_context(&dec);
  av().avformat_close_input(&fmt);
  if (!landed) {
    if (error) *error = "no picture decoded after the seek";
    return std::nullopt;
  }
  return out;
}

}  // namespace nimbo
