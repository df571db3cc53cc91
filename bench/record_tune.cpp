// Replays a capture of the screen through the recording's writer, as the
// recorder hands it pictures: only those in which something changed (and
// one a second while nothing does), each with where it changed, in 16 x 16
// tiles. Offline and the same every time, so the encoders' settings can be
// weighed on a minute of real use without the noise of a live run.
//   build/record_tune IN OUT.mp4
// IN: any video FFmpeg reads, ideally lossless. A capture of the everyday
// minute: scripts/with-desktop --no-tray --size 1920x1080 --
// bench/everyday_inner.sh 60 DIR lossless (DIR/lossless-cpu.mkv).
// NIMBO_X264_PARAMS=ssim=1 has x264 print its quality figures, a line for
// each picture.
#include <QCoreApplication>
#include <QFileInfo>
#include <QRegion>

#include <cstdio>
#include <future>
#include <thread>
#include <vector>

#include "media/ffmpeg_library.h"
#include "platform/linux/wayland/pipewire_stream.h"
#include "recording/video_writer.h"

using namespace nimbo;

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: record_tune IN OUT.mp4\n");
    return 2;
  }
  Result<ffmpeg::Hold> hold = ffmpeg::open();
  if (!hold.ok()) {
    std::fprintf(stderr, "record_tune: no FFmpeg\n");
    return 1;
  }
  AVFormatContext* fmt = nullptr;
  if (av().avformat_open_input(&fmt, argv[1], nullptr, nullptr) < 0 || av().avformat_find_stream_info(fmt, nullptr) < 0) {
    std::fprintf(stderr, "record_tune: cannot read %s\n", argv[1]);
    return 1;
  }
  const int stream = av().av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (stream < 0) return 1;
  const AVStream* vs = fmt->streams[stream];
  const AVCodec* codec = av().avcodec_find_decoder(vs->codecpar->codec_id);
  AVCodecContext* dec = av().avcodec_alloc_context3(codec);
  av().avcodec_parameters_to_context(dec, vs->codecpar);
  if (av().avcodec_open2(dec, codec, nullptr) != 0) return 1;
  const int width = vs->codecpar->width, height = vs->codecpar->height;
  auto made = VideoWriter::create(QString::fromLocal8Bit(argv[2]), width, height, false);
  if (!made.ok()) {
    std::fprintf(stderr, "record_tune: %s\n", qPrintable(made.error().description));
    return 1;
  }
  std::unique_ptr<VideoWriter> writer = made.take();

  SwsContext* sws = nullptr;
  AVFrame* bgra = av().av_frame_alloc();
  bgra->format = AV_PIX_FMT_BGR0;
  bgra->width = width;
  bgra->height = height;
  av().av_frame_get_buffer(bgra, 64);
  std::vector<uint8_t> last;  // the picture fed last (the same as any left out since)
  constexpr int64_t kStart = 1000000000000LL, kSecond = 1000000000LL;
  int64_t lastFed = -kSecond, lastPts = 0;
  int decoded = 0, fed = 0;
  AVPacket* packet = av().av_packet_alloc();
  AVFrame* frame = av().av_frame_alloc();
  auto take = [&] {
    while (av().avcodec_receive_frame(dec, frame) == 0) {
      ++decoded;
      if (!sws) {
        sws = av().sws_alloc_context();
        av().av_opt_set_int(sws, "srcw", width, 0);
        av().av_opt_set_int(sws, "srch", height, 0);
        av().av_opt_set_int(sws, "src_format", frame->format, 0);
        av().av_opt_set_int(sws, "dstw", width, 0);
        av().av_opt_set_int(sws, "dsth", height, 0);
        av().av_opt_set_int(sws, "dst_format", AV_PIX_FMT_BGR0, 0);
        av().av_opt_set_int(sws, "sws_flags", SWS_POINT, 0);
        if (av().sws_init_context(sws, nullptr, nullptr) < 0) std::exit(1);
      }
      av().sws_scale_frame(sws, bgra, frame);
      const int64_t ts = frame->best_effort_timestamp;
      const int64_t ptsNs = int64_t(double(ts) * vs->time_base.num / vs->time_base.den * 1e9);
      const int stride = bgra->linesize[0];
      // Where it differs from the picture fed last, in the 16 x 16 tiles a
      // Wayland screen cast reports (the first picture: all of it).
      std::optional<QRegion> changed;
      const bool first = last.empty();
      if (first) last.resize(size_t(stride) * size_t(height));
      const QRegion differs = copyChangedTiles(bgra->data[0], size_t(stride), last.data(), size_t(stride), width, height);
      if (!first) changed = differs;
      av().av_frame_unref(frame);
      if (changed && changed->isEmpty() && ptsNs - lastFed < kSecond) continue;
      // As the recorder does, a picture waits while the encoder is full.
      while (!writer->appendVideo(bgra->data[0], width, height, stride, kStart + ptsNs, changed ? &*changed : nullptr)) {
        if (ptsNs <= lastPts && fed > 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      lastFed = lastPts = ptsNs;
      ++fed;
    }
  };
  while (av().av_read_frame(fmt, packet) >= 0) {
    if (packet->stream_index == stream) av().avcodec_send_packet(dec, packet);
    av().av_packet_unref(packet);
    take();
  }
  av().avcodec_send_packet(dec, nullptr);
  take();
  auto done = std::make_shared<std::promise<std::optional<QString>>>();
  std::future<std::optional<QString>> finished = done->get_future();
  writer->finish(kStart + lastPts + kSecond / 30, [done](std::optional<QString> path) { done->set_value(path); });
  const std::optional<QString> path = finished.get();
  if (!path) return 1;
  const double minutes = double(lastPts + kSecond / 30) / kSecond / 60;
  std::printf("%d pictures of %d fed, %d dropped, %.2f MiB a minute, encoder changes %d: %s\n", fed, decoded,
              writer->framesDropped(), double(QFileInfo(*path).size()) / minutes / (1 << 20), writer->encoderChanges(),
              qPrintable(*path));
  av().sws_freeContext(sws);
  av().av_frame_free(&bgra);
  av().av_frame_free(&frame);
  av().av_packet_free(&packet);
  av().avcodec_free_context(&dec);
  av().avformat_close_input(&fmt);
  return 0;
}
