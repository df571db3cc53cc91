// The FFmpeg-backed reader on real files made with the ffmpeg tool, and the recorder's camera bubble.
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "platform/linux/ffmpeg/ffmpeg_camera.h"
#include "platform/linux/ffmpeg/ffmpeg_video_reader.h"
#include "platform/platform.h"
#include "recording/screen_recorder.h"
#include "unit/support.h"

namespace nimbo {
namespace {

QString makeClip(const QTemporaryDir& dir, const QString& name, const QStringList& input) {
  const QString path = dir.filePath(name);
  QProcess p;
  p.start("ffmpeg", QStringList{"-v", "error", "-y"} + input + QStringList{path});
  p.waitForFinished(60000);
  EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  return path;
}

TEST(FfmpegReaderTest, ProbesAndDecodesTheFrameAtATimeAndFilesWithoutVideoGiveNothing) {
  ASSERT_FALSE(QStandardPaths::findExecutable("ffmpeg").isEmpty()) << "scripts/install-deps installs ffmpeg";
  QTemporaryDir dir;
  // Red for the first 0.2 s, then blue; 0.4 s in all.
  const QString clip = makeClip(dir, "clip.mp4",
                                {"-f", "lavfi", "-i", "color=c=red:s=320x240:r=25:d=0.2", "-f", "lavfi", "-i",
                                 "color=c=blue:s=320x240:r=25:d=0.2", "-filter_complex",
                                 "[0][1]concat=n=2:v=1", "-pix_fmt", "yuv420p", "-c:v", "libx264"});
  FfmpegVideoReader reader;
  auto info = reader.probe(clip);
  ASSERT_TRUE(info);
  EXPECT_EQ(QSize(info->width, info->height), QSize(320, 240));
  EXPECT_NEAR(info->durationSeconds, 0.4, 0.05);

  auto early = reader.frameAt(clip, 0.05);
  ASSERT_TRUE(early);
  EXPECT_GT(qRed(early->pixel(160, 120)), 200);
  auto late = reader.frameAt(clip, 0.3);
  ASSERT_TRUE(late);
  EXPECT_GT(qBlue(late->pixel(160, 120)), 200);
  EXPECT_LT(qRed(late->pixel(160, 120)), 60);

  // Files without video, or none at all, give nothing.
  const QString audio = makeClip(dir, "tone.m4a", {"-f", "lavfi", "-i", "sine=d=0.3"});
  EXPECT_FALSE(reader.probe(audio));
  EXPECT_FALSE(reader.frameAt(audio, 0.1));
  EXPECT_FALSE(reader.probe(dir.filePath("missing.mp4")));
}

// A real camera (FFmpeg's test colour) over fake screen frames: both read back
// from the file in their colours, the bubble centred at (50, 360 - 50).
TEST(FfmpegReaderTest, TheRecorderDrawsTheCameraBubbleIntoItsFrames) {
  fake::FakePlatform fakes = fake::installFakes();
  const ScreenInfo screen{1, "Main", QRectF(0, 0, 640, 360), 1.0, 11};
  fakes.screens->screens = {screen};
  fakes.streams->displays = {{11, QRect(0, 0, 640, 360)}};
  FfmpegCamera camera(QStringLiteral("lavfi"), QStringLiteral("color=c=0xF0C814:size=320x240:rate=30,realtime"));
  ASSERT_TRUE(camera.start().ok());
  ASSERT_TRUE(test::waitUntil([&] { return !camera.latestFrame().isNull(); }, 5000));
  ScreenRecorder recorder;
  ASSERT_TRUE(recorder.start(screen, RecorderConfig{.mic = false}, &camera).ok());
  EXPECT_EQ(recorder.lastRequest().frameInterval, 1.0 / 30);  // with the camera
  QImage frame(640, 360, QImage::Format_RGB32);
  frame.fill(QColor(30, 90, 200));
  const int64_t t0 = monotonicNs();
  for (int f = 0; f < 30; ++f) {
    fakes.streams->onFrame(ScreenFrame{frame.constBits(), 640, 360, int(frame.bytesPerLine()), t0 + f * 33333333LL});
    QTest::qSleep(5);
  }
  std::optional<std::optional<QString>> path;
  recorder.stop([&](std::optional<QString> p) { path = p; });
  ASSERT_TRUE(test::waitUntil([&] { return path.has_value(); }, 20000) && *path);
  camera.stop();
  const auto picture = FfmpegVideoReader().frameAt(**path, 0.5);
  ASSERT_TRUE(picture);
  auto near = [](QColor a, QColor b) {
    return std::abs(a.red() - b.red()) < 14 && std::abs(a.green() - b.green()) < 14 && std::abs(a.blue() - b.blue()) < 14;
  };
  EXPECT_TRUE(near(picture->pixelColor(320, 180), QColor(30, 90, 200))) << qPrintable(picture->pixelColor(320, 180).name());
  EXPECT_TRUE(near(picture->pixelColor(50, 310), QColor(240, 200, 20))) << qPrintable(picture->pixelColor(50, 310).name());
  EXPECT_TRUE(near(picture->pixelColor(14, 350), QColor(30, 90, 200)));  // outside the circle
}

}  // namespace
}  // namespace nimbo
