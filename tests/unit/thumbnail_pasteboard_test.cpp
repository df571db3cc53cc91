#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

#include <sys/stat.h>

#include "capture/pasteboard.h"
#include "capture/thumbnail_maker.h"
#include "support.h"

namespace nimbo {
namespace {

using test::PlatformTest;

QSize pngSize(const QByteArray& png) { return QImage::fromData(png, "PNG").size(); }

TEST(ThumbnailTest, LongestEdgeIsAtMost320AndSmallImagesKeepTheirSize) {
  for (const auto& [in, out] : {std::pair<QSize, QSize>{{3024, 1964}, {320, 207}}, {{200, 100}, {200, 100}},
                                {{5000, 2}, {320, 1}}, {{1964, 3024}, {207, 320}}, {{320, 320}, {320, 320}}}) {
    EXPECT_EQ(ThumbnailMaker::thumbnailSize(in, 320), out);
    QImage img(in, QImage::Format_RGB32);
    img.fill(Qt::darkCyan);
    auto png = ThumbnailMaker::pngData(img, 320);
    ASSERT_TRUE(png);
    EXPECT_EQ(pngSize(*png), out);
  }
  EXPECT_FALSE(ThumbnailMaker::pngData(QImage(), 320));
}

// One-pixel black and white stripes shrink to grey, not to one of them.
TEST(ThumbnailTest, ShrinkingAveragesInsteadOfSkippingPixels) {
  QImage stripes(1280, 40, QImage::Format_RGB32);
  for (int x = 0; x < 1280; ++x)
    for (int y = 0; y < 40; ++y) stripes.setPixel(x, y, x % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
  const QImage t = QImage::fromData(*ThumbnailMaker::pngData(stripes, 320), "PNG");
  EXPECT_NEAR(qRed(t.pixel(160, 5)), 127.5, 37);  // between 91 and 164
}

using PosterTest = PlatformTest;

TEST_F(PosterTest, ShortClipsUseTheirMiddleFrameAndLongOnesHalfASecond) {
  fakes.media->frame = QImage(1280, 720, QImage::Format_RGB32);
  fakes.media->frame->fill(Qt::green);
  fakes.media->info = VideoInfo{0.4, 1280, 720};
  auto poster = ThumbnailMaker::videoPoster("/x.mp4");
  ASSERT_TRUE(poster);
  EXPECT_DOUBLE_EQ(fakes.media->requestedTimes.back(), 0.2);
  EXPECT_EQ(poster->durationMS, 400);
  EXPECT_EQ(pngSize(poster->png), QSize(320, 180));

  fakes.media->info = VideoInfo{12.3456, 1280, 720};
  poster = ThumbnailMaker::videoPoster("/x.mp4");
  EXPECT_DOUBLE_EQ(fakes.media->requestedTimes.back(), 0.5);
  EXPECT_EQ(poster->durationMS, 12345);

  fakes.media->info.reset();  // no video track
  EXPECT_FALSE(ThumbnailMaker::videoPoster("/x.mp4"));
  fakes.media->info = VideoInfo{0, 1280, 720};
  EXPECT_FALSE(ThumbnailMaker::videoPoster("/x.mp4"));
  fakes.media->info = VideoInfo{std::numeric_limits<double>::infinity(), 1280, 720};
  EXPECT_FALSE(ThumbnailMaker::videoPoster("/x.mp4"));
}

class PasteboardTest : public PlatformTest {
 protected:
  const QMimeData& clip() { return *fakes.clipboard->data; }
};

TEST_F(PasteboardTest, LinksArePlainUnlessMarkdownEmbedIsOn) {
  EXPECT_EQ(Pasteboard::formattedURLString("https://s/i/ab", std::make_pair(1600, 900)), "https://s/i/ab");
  Preferences::setValue(Preferences::kMarkdownEmbedOnCopy, true);
  EXPECT_EQ(Pasteboard::formattedURLString("https://s/i/ab", std::make_pair(1600, 900)),
            QString::fromUtf8("![1600×900](https://s/i/ab.png)"));
  EXPECT_EQ(Pasteboard::formattedURLString("https://s/i/ab.png", std::make_pair(1600, 900)),
            QString::fromUtf8("![1600×900](https://s/i/ab.png)"));
  EXPECT_EQ(Pasteboard::formattedURLString("https://s/i/ab.PNG", std::nullopt), "![](https://s/i/ab.PNG.png)");
}

TEST_F(PasteboardTest, ImagesGoOnTheClipboardAsPngAndAsATemporaryFile) {
  Pasteboard::writeImage("PNGDATA");
  EXPECT_EQ(clip().data("image/png"), "PNGDATA");
  EXPECT_FALSE(clip().formats().contains("text/plain"));
  const QList<QUrl> urls = clip().urls();
  ASSERT_EQ(urls.size(), 1);
  const QString file = urls[0].toLocalFile();
  // That the file holds the same PNG is checked on the desktop.
  EXPECT_TRUE(file.startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/com.vantori.screenshot/Nimbo-"));
  EXPECT_EQ(clip().data("x-special/gnome-copied-files"), "copy\n" + urls[0].toEncoded());

  Preferences::setValue(Preferences::kMarkdownEmbedOnCopy, true);
  Pasteboard::writeImageAndURL("PNG2", "https://s/i/x", std::make_pair(3, 4));
  EXPECT_EQ(clip().data("image/png"), "PNG2");
  EXPECT_EQ(clip().text(), QString::fromUtf8("![3×4](https://s/i/x.png)"));
  EXPECT_EQ(clip().urls().size(), 1);
}

TEST_F(PasteboardTest, UnwritableTemporaryFolderStillCopiesTheImage) {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR"), cache = qgetenv("XDG_CACHE_HOME");
  qputenv("XDG_RUNTIME_DIR", "/dev/null/runtime");
  qputenv("XDG_CACHE_HOME", "/dev/null/cache");
  Pasteboard::writeImage("PNGDATA");
  qputenv("XDG_RUNTIME_DIR", runtime);
  qputenv("XDG_CACHE_HOME", cache);
  EXPECT_EQ(clip().data("image/png"), "PNGDATA");
  EXPECT_FALSE(clip().hasUrls());
}

mode_t modeOf(const QString& path) {
  struct stat st {};
  return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 0777 : 0;
}

TEST_F(PasteboardTest, TemporaryCopiesAreTheUsersAloneAndDoNotPileUp) {
  const QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR") + "/com.vantori.screenshot";
  QDir(folder).removeRecursively();
  QDir().mkpath(folder);
  ::chmod(QFile::encodeName(folder).constData(), 0755);  // left too open by someone
  // Older copies: fifteen of today and three from two days ago.
  const QDateTime now = QDateTime::currentDateTime();
  for (int i = 0; i < 18; ++i) {
    QFile f(folder + QStringLiteral("/Nimbo-2020-01-01-at-00.00.%1.png").arg(i, 2, 10, QChar('0')));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.setFileTime(i < 3 ? now.addDays(-2) : now.addSecs(-60 * (18 - i)), QFileDevice::FileModificationTime);
  }
  Pasteboard::writeImage("PNGDATA");
  const QString file = clip().urls().value(0).toLocalFile();
  EXPECT_EQ(QFileInfo(file).path(), folder);
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(file), 0600u);
  const QStringList left = QDir(folder).entryList({"Nimbo-*.png"}, QDir::Files, QDir::Time);
  ASSERT_EQ(left.size(), Pasteboard::kTemporaryPNGsKept);
  EXPECT_EQ(left.first(), QFileInfo(file).fileName());
  EXPECT_EQ(left.last(), "Nimbo-2020-01-01-at-00.00.09.png");  // the newest nine older ones stay

  // A link planted where our runtime folder goes is not followed: the copy goes to the cache folder.
  const QString elsewhere = qEnvironmentVariable("TMPDIR") + "/planted";
  QDir().mkpath(elsewhere);
  QDir(folder).removeRecursively();
  ASSERT_TRUE(QFile::link(elsewhere, folder));
  Pasteboard::writeImage("PNG2");
  const QString cached = clip().urls().value(0).toLocalFile();
  EXPECT_TRUE(cached.startsWith(qEnvironmentVariable("XDG_CACHE_HOME") + "/com.vantori.screenshot/tmp/Nimbo-"));
  EXPECT_EQ(modeOf(QFileInfo(cached).path()), 0700u);
  EXPECT_TRUE(QDir(elsewhere).isEmpty());
  QFile::remove(folder);
}

TEST_F(PasteboardTest, VideosGoAsFilesWithTheLinkNeverAsMarkdown) {
  Preferences::setValue(Preferences::kMarkdownEmbedOnCopy, true);
  Pasteboard::writeVideoAndURL("/home/u/Nimbo-1.mp4", std::nullopt);
  EXPECT_EQ(clip().formats(), QStringList({"text/uri-list", "x-special/gnome-copied-files"}));
  Pasteboard::writeVideoAndURL("/home/u/Nimbo-1.mp4", QString("https://s/v/1"));
  EXPECT_EQ(clip().text(), "https://s/v/1");
  EXPECT_EQ(clip().urls().value(0).toLocalFile(), "/home/u/Nimbo-1.mp4");
}

TEST(PasteboardNameTest, TemporaryNameUsesLocalTimeInAFixedPattern) {
  const QDateTime t(QDate(2024, 5, 1), QTime(9, 30, 0), Qt::LocalTime);
  EXPECT_TRUE(Pasteboard::temporaryPNGPath(t).endsWith("/Nimbo-2024-05-01-at-09.30.00.png"));
}

}  // namespace
}  // namespace nimbo
