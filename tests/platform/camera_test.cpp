// Cameras through libavdevice: FFmpeg's test sources stand in for devices.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>

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
  EXPECT_TRUE(test::waitUntil([&] { return camera.latestFrame() != first; }, 5000));  // it moves on
  camera.stop();
  EXPECT_FALSE(camera.isRunning());
}

TEST(CameraTest, StoppingDoesNotWaitOnADeviceThatStalls) {
  // A named pipe of JPEG frames whose writer then goes quiet without closing.
  QTemporaryDir dir;
  const QString fifo = dir.filePath("camera.mjpeg");
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  QProcess writer;
  writer.start("sh", {"-c", "exec 3>\"$0\"; ffmpeg -v error -f lavfi -i testsrc2=size=160x120:duration=1 -f mjpeg - >&3;"
                            "exec sleep 60", fifo});
  FfmpegCamera camera(QStringLiteral("mjpeg"), fifo);
  const Result<bool> started = camera.start();
  ASSERT_TRUE(started.ok()) << started.error().description.toStdString();
  EXPECT_TRUE(test::waitUntil([&] { return !camera.latestFrame().isNull(); }, 5000));

  QElapsedTimer clock;
  clock.start();
  camera.stop();
  EXPECT_LT(clock.elapsed(), 3 * FfmpegCamera::kStopWaitMs);
  EXPECT_FALSE(camera.isRunning());
  writer.kill();  // the stalled read returns; its thread cleans up after itself
  writer.waitForFinished();
}

}  // namespace
}  // namespace nimbo
