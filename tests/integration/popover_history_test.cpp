// The popover and the history of the real app, opened from the tray icon; controls are found by their
// colours (the seeded captures are plain colours no control has).
#include <gtest/gtest.h>

#include "integration/desktop_support.h"

namespace {
using namespace nimbo::desktoptest;

class PopoverHistoryDesktop : public AppTest {
 protected:
  void SetUp() override {
    if (qEnvironmentVariable("NIMBO_WITH_TRAY") != QLatin1String("1")) GTEST_SKIP() << "needs the tray host";
    ASSERT_TRUE(home.isValid());
    env = privateAppEnvironment(home);
  }

  // The magenta capture (newest), the blue one, then a recording; starts the app with its tray icon.
  std::vector<nimbo::CaptureItem> seedAndStart() {
    for (const char* dir : {"/originals", "/thumbnails", "/recordings"}) QDir().mkpath(dataDir + dir);
    std::vector<nimbo::CaptureItem> items;
    for (const auto& [size, colour] : {std::pair{QSize(600, 375), firstColour}, std::pair{QSize(640, 400), secondColour}}) {
      items.push_back(nimbo::CaptureItem::newImage(size.width(), size.height()));
      QImage img(size, QImage::Format_RGB32);
      img.fill(colour);
      EXPECT_TRUE(img.save(dataDir + "/originals/" + items.back().id + ".png"));
      EXPECT_TRUE(img.scaled(320, 200).save(dataDir + "/thumbnails/" + items.back().id + ".png"));
    }
    nimbo::CaptureItem video = nimbo::CaptureItem::newImage(640, 360);
    video.mediaType = nimbo::MediaType::video;
    video.durationMS = 4000;
    video.videoPath = dataDir + "/recordings/" + video.id + ".mp4";
    QFile v(*video.videoPath);
    EXPECT_TRUE(v.open(QIODevice::WriteOnly) && v.write("a recording's bytes") > 0);
    QImage poster(320, 180, QImage::Format_RGB32);
    poster.fill(Qt::darkCyan);
    EXPECT_TRUE(poster.save(dataDir + "/thumbnails/" + video.id + ".png"));
    items.push_back(video);
    QFile index(dataDir + "/history.json");
    EXPECT_TRUE(index.open(QIODevice::WriteOnly));
    index.write(nimbo::encodeHistory(items));
    index.close();
    startApp();
    EXPECT_TRUE(waitFor([&] { return log().contains("Nimbo: tray icon shown"); })) << log().toStdString();
    return items;
  }
  // Clicks the tray icon and waits for the popover; returns where it is.
  QRect openPopover() {
    const int opened = count("Nimbo: popover opened");
    const QRect popover = openPopoverFromTray();
    EXPECT_TRUE(waitFor([&] { return count("Nimbo: popover opened") == opened + 1; })) << log().toStdString();
    return popover;
  }
  QImage screen(const QRect& r) { return screenRegion(r, env); }
  bool popoverShown() { return !visibleWindow("^Nimbo popover$").isEmpty(); }

  const QColor firstColour{255, 0, 255}, secondColour{0, 64, 255};
};

TEST_F(PopoverHistoryDesktop, ATrayClickOpensThePopoverAndARecentTileOpensTheEditor) {
  seedAndStart();
  QRect popover = openPopover();
  ASSERT_FALSE(popover.isEmpty());
  EXPECT_TRUE(QRect(0, 0, 1920, 1080).contains(popover)) << popover.x() << "," << popover.y();

  // Escape closes it; a second click on the icon opens it and a third closes it.
  xdotool({"key", "Escape"});
  ASSERT_TRUE(waitFor([&] { return !popoverShown(); }));
  popover = openPopover();
  clickAt(*trayIcon());
  ASSERT_TRUE(waitFor([&] { return !popoverShown(); }));
  QTest::qWait(400);
  EXPECT_FALSE(popoverShown()) << "the click that closed it opened it again";
  // A click elsewhere closes it too.
  popover = openPopover();
  clickAt({300, 300});
  ASSERT_TRUE(waitFor([&] { return !popoverShown(); }));

  // Both captures show, newest first; the newest opens in the editor.
  popover = openPopover();
  const QImage shot = screen(popover);
  const std::optional<QRect> newest = boxOf(shot, firstColour, shot.rect());
  const std::optional<QRect> older = boxOf(shot, secondColour, shot.rect());
  ASSERT_TRUE(newest && older);
  EXPECT_LT(newest->left(), older->left());
  EXPECT_EQ(newest->top(), older->top());
  clickAt(popover.topLeft() + newest->center());
  ASSERT_TRUE(waitFor([&] { return !visibleWindow("Nimbo — Edit · 600×375").isEmpty(); })) << log().toStdString();
  EXPECT_FALSE(popoverShown());
}

TEST_F(PopoverHistoryDesktop, SeeAllOpensTheHistoryFromGeneralAndClearAllThenClearEmptiesItAndItsFiles) {
  const std::vector<nimbo::CaptureItem> items = seedAndStart();
  // Starting nimbo again opens the settings where they were: General.
  ASSERT_EQ(run(NIMBO_BINARY, {}, env).exitCode, 0);
  QString settings;
  ASSERT_TRUE(waitFor([&] { return !(settings = visibleWindow("^Nimbo Settings$")).isEmpty(); })) << log().toStdString();
  QTest::qWait(300);
  EXPECT_FALSE(log().contains("Screenshot: history shown")) << "the settings did not open on General";
  xdotool({"windowactivate", "--sync", settings});
  xdotool({"key", "--clearmodifiers", "ctrl+w"});
  ASSERT_TRUE(waitFor([&] { return visibleWindow("^Nimbo Settings$").isEmpty(); }));

  // "See all →" (the accent text right of centre above the tiles; the logo sits left) opens the history.
  const QRect popover = openPopover();
  ASSERT_FALSE(popover.isEmpty());
  const QImage shot = screen(popover);
  const std::optional<QRect> first = boxOf(shot, firstColour, shot.rect());
  ASSERT_TRUE(first) << "the newest capture is not in the popover";
  const std::optional<QRect> link =
      boxOf(shot, QColor(202, 245, 77), QRect(shot.width() / 2, 40, shot.width() / 2, first->top() - 40));
  ASSERT_TRUE(link) << "no \"See all\" in the popover";
  clickAt(popover.topLeft() + link->center());
  ASSERT_TRUE(waitFor([&] { return count("Screenshot: history shown with 3 captures") == 1; })) << log().toStdString();
  ASSERT_TRUE(waitFor([&] { return !(settings = visibleWindow("^Nimbo Settings$")).isEmpty(); }));
  EXPECT_FALSE(popoverShown());
  xdotool({"windowactivate", "--sync", settings});
  QTest::qWait(300);

  const QRect window = windowRect(settings);
  const std::optional<QPoint> clear = clearAllButton(screen(window));
  ASSERT_TRUE(clear) << "no \"Clear all\" button in the settings window";
  clickAt(window.topLeft() + *clear);

  // "Clear" is the alert's default button.
  QString alert;
  ASSERT_TRUE(waitFor([&] { return !(alert = nimboDialog()).isEmpty(); })) << "no alert";
  xdotool({"windowactivate", "--sync", alert});
  xdotool({"key", "Return"});
  ASSERT_TRUE(waitFor([&] { return history().empty() && QFile::exists(dataDir + "/history.json"); }));
  EXPECT_TRUE(QDir(dataDir + "/originals").entryList(QDir::Files).isEmpty());
  EXPECT_TRUE(QDir(dataDir + "/thumbnails").entryList(QDir::Files).isEmpty());
  EXPECT_FALSE(QFile::exists(*items.back().videoPath));
}

}  // namespace
