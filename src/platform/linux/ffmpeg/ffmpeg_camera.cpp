#include "platform/linux/ffmpeg/ffmpeg_camera.h"

#include "media/ffmpeg_library.h"

#include <QFile>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <cerrno>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/log.h"

namespace nimbo {

struct FfmpegCamera::Reader {
  // First, so that FFmpeg stays open until the rest is freed.
  ffmpeg::Hold ffmpegHold;
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  SwsContext* sws = nullptr;
  int stream = -1;
  std::atomic<bool> stopping{false};
  std::mutex frameLock;
  QImage latest;
  std::mutex endLock;
  std::condition_variable endCv;
  bool ended = false;

  ~Reader() {
    av().sws_freeContext(sws);
    av().avcodec_free_context(&dec);
    av().avformat_close_input(&fmt);
  }
  void run();
};

namespace {
std::pair<QString, QString> defaultCameraInput() {
  const QString env = qEnvironmentVariable("NIMBO_CAMERA");
  const int colon = env.indexOf(':');
  if (colon > 0) return {env.left(colon), env.mid(colon + 1)};
  return {QStringLiteral("video4linux2"), QStringLiteral("/dev/video0")};
}
}  // namespace

FfmpegCamera::FfmpegCamera(QString format, QString url) : format_(std::move(format)), url_(std::move(url)) {}

FfmpegCamera::~FfmpegCamera() { stop(); }

Result<bool> FfmpegCamera::start() {
  if (running_) return true;
  if (format_ == QLatin1String("video4linux2") && !QFile::exists(url_))
    return platformError(PlatformErrorCode::noDevice, url_ + " does not exist");
  Result<ffmpeg::Hold> hold = ffmpeg::open(ffmpeg::Needs::devices);
  if (!hold.ok()) return platformError(PlatformErrorCode::deviceUnavailable, hold.error().description);
  const AVInputFormat* inputFormat = av().av_find_input_format(format_.toUtf8().constData());
  if (!inputFormat) return platformError(PlatformErrorCode::noDevice, "no FFmpeg input " + format_);
  auto in = std::make_shared<Reader>();
  in->ffmpegHold = hold.take();
  // Reads give up when we stop, and V4L2 reads do not block, so a device
  // that stops delivering cannot hold the reading thread in a read.
  in->fmt = av().avformat_alloc_context();
  if (!in->fmt) return platformError(PlatformErrorCode::deviceUnavailable, url_ + " gives no usable video");
  in->fmt->interrupt_callback.callback = [](void* r) { return int(static_cast<Reader*>(r)->stopping.load()); };
  in->fmt->interrupt_callback.opaque = in.get();
  in->fmt->flags |= AVFMT_FLAG_NONBLOCK;
  AVDictionary* opts = nullptr;
  if (format_ == QLatin1String("video4linux2")) av().av_dict_set(&opts, "framerate", "30", 0);
  const int r = av().avformat_open_input(&in->fmt, url_.toUtf8().constData(), inputFormat, &opts);
  av().av_dict_free(&opts);
  // Not in the video group: the device is there but may not be opened.
  if (r == AVERROR(EACCES) || r == AVERROR(EPERM))
    return platformError(PlatformErrorCode::permissionDenied, url_ + ": permission denied");
  if (r < 0) return platformError(PlatformErrorCode::deviceUnavailable, url_ + " could not be opened");
  if (av().avformat_find_stream_info(in->fmt, nullptr) < 0)
    return platformError(PlatformErrorCode::deviceUnavailable, url_ + " gives no usable video");
  const AVCodec* codec = nullptr;
  in->stream = av().av_find_best_stream(in->fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (in->stream < 0 || !codec) return platformError(PlatformErrorCode::deviceUnavailable, url_ + " gives no usable video");
  in->dec = av().avcodec_alloc_context3(codec);
  av().avcodec_parameters_to_context(in->dec, in->fmt->streams[in->stream]->codecpar);
  if (av().avcodec_open2(in->dec, codec, nullptr) < 0)
    return platformError(PlatformErrorCode::deviceUnavailable, url_ + " gives no usable video");
  {
    std::lock_guard l(readerLock_);
    reader_ = in;
  }
  running_ = true;
  // The thread holds its own reference: it may outlive this object.
  std::thread([in] { in->run(); }).detach();
  return true;
}

void FfmpegCamera::stop() {
  if (!running_) return;
  running_ = false;
  std::shared_ptr<Reader> reader;
  {
    // latestFrame() may be reading it on the recorder's thread.
    std::lock_guard l(readerLock_);
    reader = std::move(reader_);
  }
  reader->stopping = true;
  std::unique_lock l(reader->endLock);
  if (!reader->endCv.wait_for(l, std::chrono::milliseconds(kStopWaitMs), [&] { return reader->ended; }))
    logLine(QStringLiteral("Nimbo: the camera did not answer; left it behind"));
}

QImage FfmpegCamera::latestFrame() const {
  std::shared_ptr<Reader> reader;
  {
    std::lock_guard l(readerLock_);
    reader = reader_;
  }
  if (!reader) return {};
  std::lock_guard l(reader->frameLock);
  return reader->latest;
}

void FfmpegCamera::Reader::run() {
  AVPacket* pkt = av().av_packet_alloc();
  AVFrame* frame = av().av_frame_alloc();
  while (!stopping) {
    const int r = av().av_read_frame(fmt, pkt);
    if (r == AVERROR(EAGAIN)) {
      // Nothing from the device yet.
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
      continue;
    }
    if (r < 0) break;
    if (pkt->stream_index == stream && av().avcodec_send_packet(dec, pkt) == 0) {
      while (av().avcodec_receive_frame(dec, frame) == 0) {
        // Converted to RGB32 (B G R A in memory) as it arrives; older frames
        // are simply replaced.
        QImage img(frame->width, frame->height, QImage::Format_RGB32);
        sws = av().sws_getCachedContext(sws, frame->width, frame->height, AVPixelFormat(frame->format), frame->width,
                                   frame->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!sws || img.isNull()) continue;
        uint8_t* dst[4] = {img.bits(), nullptr, nullptr, nullptr};
        const int dstStride[4] = {int(img.bytesPerLine()), 0, 0, 0};
        av().sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
        std::lock_guard l(frameLock);
        latest = std::move(img);
      }
    }
    av().av_packet_unref(pkt);
  }
  av().av_frame_free(&frame);
  av().av_packet_free(&pkt);
  std::lock_guard l(endLock);
  ended = true;
  endCv.notify_all();
}

std::unique_ptr<Camera> FfmpegCameraService::defaultCamera() {
  const auto [format, url] = defaultCameraInput();
  return std::make_unique<FfmpegCamera>(format, url);
}

CameraService::AccessInfo FfmpegCameraService::access() {
  const auto [format, url] = defaultCameraInput();
  // Other FFmpeg inputs (test sources) are always there to try.
  if (format != QLatin1String("video4linux2")) return {Access::authorized, {}};
  const QByteArray device = QFile::encodeName(url);
  struct stat st {};
  if (::stat(device.constData(), &st) != 0) return {Access::restricted, {}};
  if (::access(device.constData(), R_OK | W_OK) == 0) return {Access::authorized, {}};
  // The device is there but not for us: usually its group ("video") is one
  // the user is not in.
  QString group;
  if (const struct group* g = ::getgrgid(st.st_gid)) group = QString::fromLocal8Bit(g->gr_name);
  return {Access::denied, group};
}

}  // namespace nimbo
