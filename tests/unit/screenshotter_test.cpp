#include <QtConcurrent/QtConcurrentRun>

#include "capture/screenshotter.h"
#include "support.h"

namespace nimbo {
namespace {

using ScreenshotterTest = test::TwoDisplayTest;

// One failing display failing the whole freeze is checked through the capture flow.
TEST_F(ScreenshotterTest, FreezesEveryDisplayAtItsPixelSize) {
  Result<FrozenImages> r = Screenshotter::captureAllDisplays({}).result();
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().size(), 2u);
  EXPECT_EQ(r.value().at(left.key).size(), QSize(1000, 500));
  EXPECT_EQ(r.value().at(right.key).size(), QSize(800, 600));
  EXPECT_EQ(fakes.capture->contentQueries.load(), 1);  // both displays shared one query of the display list
}

TEST_F(ScreenshotterTest, ErrorsCarryTheirUserTexts) {
  fakes.capture->declined = true;
  EXPECT_EQ(Screenshotter::captureFullDisplay(left, {}).error().description,
            "Screen Recording permission is required. Enable it in System Settings and try again.");
  ScreenInfo unplugged = left;  // an unknown display id goes through the capture flow's test
  unplugged.displayId.reset();
  EXPECT_EQ(Screenshotter::captureFullDisplay(unplugged, {}).error().description,
            "Couldn't find a display for the selection.");
}

TEST_F(ScreenshotterTest, DisplayListIsReusedForTwoSecondsUnlessWindowsAreExcluded) {
  ASSERT_TRUE(Screenshotter::captureFullDisplay(left, {}).ok());
  ASSERT_TRUE(Screenshotter::captureFullDisplay(right, {}).ok());
  EXPECT_EQ(fakes.capture->contentQueries.load(), 1);
  ASSERT_TRUE(Screenshotter::captureFullDisplay(left, {7}).ok());
  ASSERT_TRUE(Screenshotter::captureFullDisplay(left, {7}).ok());
  EXPECT_EQ(fakes.capture->contentQueries.load(), 3);
  ASSERT_TRUE(Screenshotter::captureFullDisplay(left, {}).ok());
  EXPECT_EQ(fakes.capture->contentQueries.load(), 3);  // a fresh list replaced the cache, so a plain capture reuses it
}

TEST_F(ScreenshotterTest, ConcurrentCapturesSeeWholeCacheEntries) {
  std::vector<QFuture<Result<QImage>>> runs;
  for (int i = 0; i < 16; ++i)
    runs.push_back(QtConcurrent::run([this, i] {
      return Screenshotter::captureFullDisplay(i % 2 ? left : right, i % 3 == 0 ? Screenshotter::WindowIDs{8}
                                                                               : Screenshotter::WindowIDs{});
    }));
  // A torn display list would give a missing display or a wrong pixel size, and so another picture.
  for (int i = 0; i < 16; ++i) {
    const Result<QImage> r = runs[size_t(i)].result();
    EXPECT_TRUE(r.ok() && r.value() == fakes.capture->images.at(i % 2 ? 11 : 22)) << i;
  }
}

TEST_F(ScreenshotterTest, CropFollowsTheDisplayFrameAndScaleAndClipsAtTheEdge) {
  // Which pixels a selection at scale 2 takes is checked on the desktop; here, the edge of the display.
  const QImage display = gradient(QSize(800, 600));
  auto edge = cropToSelection(display, right, QRectF(1380, 280, 50, 50));
  ASSERT_TRUE(edge);
  EXPECT_EQ(edge->size(), QSize(40, 40));
  EXPECT_FALSE(cropToSelection(display, right, QRectF(0, 0, 50, 50)));

  Result<QImage> live = Screenshotter::capture(QRectF(100, 100, 30, 20), left).result();
  ASSERT_TRUE(live.ok());
  EXPECT_EQ(live.value().size(), QSize(30, 20));
  EXPECT_EQ(Screenshotter::capture(QRectF(-500, -500, 10, 10), left).result().error().description,
            "Failed to capture screen.");
}

}  // namespace
}  // namespace nimbo
