#include "recording/camera.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <QFile>
#include <QPainter>
#include <QPainterPath>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <thread>

#include "platform/platform.h"
#include "recording/screen_recorder.h"
#include "util/log.h"

namespace nimbo {

struct CameraCapture::Reader {
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
    sws_freeContext(sws);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
  }
  void run();
};

namespace {
std::pair<QString, QString> defaultCamera() {
  const QString env = qEnvironmentVariable("NIMBO_CAMERA");
  const int colon = env.indexOf(':');
  if (colon > 0) return {env.left(colon), env.mid(colon + 1)};
  return {QStringLiteral("video4linux2"), QStringLiteral("/dev/video0")};
}
}  // namespace

CameraCapture::CameraCapture() {
  const auto [f, u] = defaultCamera();
  format_ = f;
  url_ = u;
}

CameraCapture::CameraCapture(QString format, QString url) : format_(std::move(format)), url_(std::move(url)) {}

CameraCapture::~CameraCapture() { stop(); }

Result<bool> CameraCapture::start() {
  if (running_) return true;
  static std::once_flag devices;
  std::call_once(devices, [] { avdevice_register_all(); });
  if (format_ == QLatin1String("video4linux2") && !QFile::exists(url_))
    return RecordingError::setupFailed(QStringLiteral("No camera found."));
  const AVInputFormat* inputFormat = av_find_input_format(format_.toUtf8().constData());
  if (!inputFormat) return RecordingError::setupFailed(QStringLiteral("No camera found."));
  auto in = std::make_shared<Reader>();
  // Reads give up when we stop, and V4L2 reads do not block, so a device
  // that stops delivering cannot hold the reading thread in a read.
  in->fmt = avformat_alloc_context();
  if (!in->fmt) return RecordingError::setupFailed(QStringLiteral("Couldn't attach the camera."));
  in->fmt->interrupt_callback.callback = [](void* r) { return int(static_cast<Reader*>(r)->stopping.load()); };
  in->fmt->interrupt_callback.opaque = in.get();
  in->fmt->flags |= AVFMT_FLAG_NONBLOCK;
  AVDictionary* opts = nullptr;
  if (format_ == QLatin1String("video4linux2")) av_dict_set(&opts, "framerate", "30", 0);
  const int r = avformat_open_input(&in->fmt, url_.toUtf8().constData(), inputFormat, &opts);
  av_dict_free(&opts);
  if (r < 0) return RecordingError::setupFailed(QStringLiteral("Couldn't attach the camera."));
  if (avformat_find_stream_info(in->fmt, nullptr) < 0)
    return RecordingError::setupFailed(QStringLiteral("Couldn't attach the camera."));
  const AVCodec* codec = nullptr;
  in->stream = av_find_best_stream(in->fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (in->stream < 0 || !codec) return RecordingError::setupFailed(QStringLiteral("Couldn't attach the camera."));
  in->dec = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(in->dec, in->fmt->streams[in->stream]->codecpar);
  if (avcodec_open2(in->dec, codec, nullptr) < 0)
    return RecordingError::setupFailed(QStringLiteral("Couldn't attach the camera."));
  reader_ = in;
  running_ = true;
  // The thread holds its own reference: it may outlive this object.
  std::thread([in] { in->run(); }).detach();
  return true;
}

void CameraCapture::stop() {
  if (!running_) return;
  running_ = false;
  std::shared_ptr<Reader> reader = std::move(reader_);
  reader->stopping = true;
  std::unique_lock l(reader->endLock);
  if (!reader->endCv.wait_for(l, std::chrono::milliseconds(kStopWaitMs), [&] { return reader->ended; }))
    logLine(QStringLiteral("Nimbo: the camera did not answer; left it behind"));
}

QImage CameraCapture::latestFrame() const {
  const std::shared_ptr<Reader> reader = reader_;
  if (!reader) return {};
  std::lock_guard l(reader->frameLock);
  return reader->latest;
}

void CameraCapture::Reader::run() {
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  while (!stopping) {
    const int r = av_read_frame(fmt, pkt);
    if (r == AVERROR(EAGAIN)) {
      // Nothing from the device yet.
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
      continue;
    }
    if (r < 0) break;
    if (pkt->stream_index == stream && avcodec_send_packet(dec, pkt) == 0) {
      while (avcodec_receive_frame(dec, frame) == 0) {
        // Converted to RGB32 (B G R A in memory) as it arrives; older frames
        // are simply replaced.
        QImage img(frame->width, frame->height, QImage::Format_RGB32);
        sws = sws_getCachedContext(sws, frame->width, frame->height, AVPixelFormat(frame->format), frame->width,
                                   frame->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!sws || img.isNull()) continue;
        uint8_t* dst[4] = {img.bits(), nullptr, nullptr, nullptr};
        const int dstStride[4] = {int(img.bytesPerLine()), 0, 0, 0};
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
        std::lock_guard l(frameLock);
        latest = std::move(img);
      }
    }
    av_packet_unref(pkt);
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  std::lock_guard l(endLock);
  ended = true;
  endCv.notify_all();
}

BubbleGeometry BubbleGeometry::forFrame(int width, int height) {
  const double m = std::min(width, height);
  return {0.22 * m, 0.03 * m};
}

const QImage& FrameCompositor::circleMask(int diameter) {
  if (!mask_.isNull() && maskDiameter_ == diameter) return mask_;
  QImage mask(diameter, diameter, QImage::Format_ARGB32_Premultiplied);
  if (mask.isNull()) {
    static const QImage empty;
    return empty;
  }
  mask.fill(Qt::transparent);
  QPainter p(&mask);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(0, 0, diameter, diameter));
  p.end();
  mask_ = mask;
  maskDiameter_ = diameter;
  return mask_;
}

std::optional<ScreenFrame> FrameCompositor::composite(const ScreenFrame& screen, const QImage& camera) {
  const int w = screen.width, h = screen.height;
  if (w < 1 || h < 1 || camera.isNull()) return std::nullopt;
  if (buffer_.isNull() || poolSize_ != QSize(w, h)) {
    buffer_ = QImage(w, h, QImage::Format_RGB32);
    if (buffer_.isNull()) return std::nullopt;
    poolSize_ = QSize(w, h);
    ++poolsMade_;
  }
  for (int y = 0; y < h; ++y)
    std::memcpy(buffer_.scanLine(y), screen.pixels + size_t(y) * size_t(screen.stride), size_t(w) * 4);
  const BubbleGeometry g = BubbleGeometry::forFrame(w, h);
  const int d = int(g.diameter);
  if (d >= 2) {
    // Mirrored, scaled so its short side is the diameter, the centre square
    // cut out and masked to a circle.
    const QImage mirrored = camera.mirrored(true, false);
    const double scale = g.diameter / std::min(mirrored.width(), mirrored.height());
    const QSize scaled(int(std::ceil(mirrored.width() * scale)), int(std::ceil(mirrored.height() * scale)));
    const QImage big = mirrored.scaled(scaled, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage square = big.copy((big.width() - d) / 2, (big.height() - d) / 2, d, d)
                        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter mp(&square);
    mp.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    mp.drawImage(0, 0, circleMask(d));
    mp.end();
    QPainter p(&buffer_);
    // margin from the left and bottom edges.
    p.drawImage(QPointF(g.margin, h - g.margin - d), square);
  }
  return ScreenFrame{buffer_.constBits(), w, h, int(buffer_.bytesPerLine()), screen.ptsNs};
}

}  // namespace nimbo
