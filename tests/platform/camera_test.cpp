// Cameras through libavdevice: FFmpeg's test sources stand in for devices.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/linux/ffmpeg/ffmpeg_camera.h"
#include "unit/support.h"

namespace nimbo {
namespace {

TEST(CameraTest, KeepsTheLatestFrameOfAnFFmpegSourceAndNamesAMissingCamera) {
  FfmpegCamera missing(QStringLiteral("video4linux2"), QStringLiteral("/dev/video-nowhere"));
  const Result<bool> r = missing.start();
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(isPlatformError(r.error(), PlatformErrorCode::noDevice));

  FfmpegCamera camera(QStringLiteral("lavfi"), QStringLiteral("testsrc2=size=320x240:rate=30,realtime"));
  ASSERT_TRUE(camera.start().ok());
  EXPECT_TRUE(camera.start().ok());  // already running: nothing happens
  ASSERT_TRUE(test::waitUntil([&] { return !camera.latestFrame().isNull(); }, 5000));
  const QImage first = camera.latestFrame();
  EXPECT_EQ(first.size(), QSize(320, 240));
  // It moves on: a later frame differs (the test source counts frames).
  EXPECT_TRUE(test::waitUntil([&] { return camera.latestFrame() != first; }, 5000));
  camera.stop();
  EXPECT_FALSE(camera.isRunning());
}

TEST(CameraTest, StoppingDoesNotWaitOnADeviceThatStalls) {
  // A "device" that delivers a few frames and then nothing, without closing:
  // a named pipe of JPEG frames whose writer goes quiet.
  QTemporaryDir dir;
  const QByteArray fifo = QFile::encodeName(dir.filePath("camera.mjpeg"));
  ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
  QByteArray frames;
  for (int i = 0; i < 40; ++i) {
    QImage img(160, 120, QImage::Format_RGB32);
    img.fill(QColor(10 * (i % 20), 80, 160));
    QBuffer b(&frames);
    b.open(QIODevice::Append);
    img.save(&b, "JPG");
  }
  std::atomic<bool> release{false};
  std::thread writer([&] {
    const int fd = ::open(fifo.constData(), O_WRONLY);
    if (fd < 0) return;
    [[maybe_unused]] ssize_t n = ::write(fd, frames.constData(), size_t(frames.size()));
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::close(fd);
  });
  FfmpegCamera camera(QStringLiteral("mjpeg"), QString::fromLocal8Bit(fifo));
  const Result<bool> started = camera.start();
  ASSERT_TRUE(started.ok()) << started.error().description.toStdString();
  EXPECT_TRUE(test::waitUntil([&] { return !camera.latestFrame().isNull(); }, 5000));

  QElapsedTimer clock;
  clock.start();
  camera.stop();
  EXPECT_LT(clock.elapsed(), 3 * FfmpegCamera::kStopWaitMs);
  EXPECT_FALSE(camera.isRunning());
  release = true;  // the stalled read returns; its thread cleans up after itself
  writer.join();
}

}  // namespace
}  // namespace nimbo
