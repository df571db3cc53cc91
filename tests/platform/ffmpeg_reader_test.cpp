// The FFmpeg-backed reader on real files made with the ffmpeg tool.
#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "platform/linux/ffmpeg/ffmpeg_video_reader.h"

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

TEST(FfmpegReaderTest, ProbesAndDecodesTheFrameAtATime) {
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
  EXPECT_EQ(info->width, 320);
  EXPECT_EQ(info->height, 240);
  EXPECT_NEAR(info->durationSeconds, 0.4, 0.05);

  auto early = reader.frameAt(clip, 0.05);
  ASSERT_TRUE(early);
  EXPECT_GT(qRed(early->pixel(160, 120)), 200);
  auto late = reader.frameAt(clip, 0.3);
  ASSERT_TRUE(late);
  EXPECT_GT(qBlue(late->pixel(160, 120)), 200);
  EXPECT_LT(qRed(late->pixel(160, 120)), 60);
}

TEST(FfmpegReaderTest, FilesWithoutVideoGiveNothing) {
  QTemporaryDir dir;
  const QString audio = makeClip(dir, "tone.m4a", {"-f", "lavfi", "-i", "sine=d=0.3"});
  FfmpegVideoReader reader;
  EXPECT_FALSE(reader.probe(audio));
  EXPECT_FALSE(reader.frameAt(audio, 0.1));
  EXPECT_FALSE(reader.probe(dir.filePath("missing.mp4")));
}

}  // namespace
}  // namespace nimbo
