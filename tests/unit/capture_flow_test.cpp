#include <QMimeData>

#include "capture/capture_flow.h"
#include "capture/region_selector.h"
#include "capture/capture_history.h"
#include "support.h"
#include "ui/upload_toast.h"

namespace nimbo {
namespace {

using test::logged;
using test::waitUntil;

class CaptureFlowTest : public test::TwoDisplayTest {
 protected:
  void SetUp() override {
    TwoDisplayTest::SetUp();
    fakes.workspace->frontmost = 5;
    fakes.workspace->existing = {5};
  }
  void TearDown() override {
    EXPECT_TRUE(waitUntil([] { return !CaptureFlow::captureInProgress(); }));  // no capture outlives its test
    TwoDisplayTest::TearDown();
  }
  // Starts a capture and waits for its overlay, the n-th of the test.
  void start(CaptureMode mode, size_t n = 1) {
    CaptureFlow::run(mode);
    ASSERT_TRUE(waitUntil([&] { return fakes.presenter->calls.size() == n && fakes.presenter->completion; }));
  }
  void select(const QRectF& rect, const ScreenInfo& screen) { fakes.presenter->complete({true, rect, screen}); }
  void finishCapture() { ASSERT_TRUE(waitUntil([] { return !CaptureFlow::captureInProgress(); })); }
  void cancel() {
    fakes.presenter->complete(RegionSelection::cancelled());
    finishCapture();
  }
  QByteArray clipboardPng() const {
    return fakes.clipboard->data ? fakes.clipboard->data->data("image/png") : QByteArray();
  }
};

// The toast's "Markup" opening the editor is checked on the desktop.
TEST_F(CaptureFlowTest, ClipboardCaptureFilesTheCropAndOffersUpload) {
  start(CaptureMode::clipboardOnly);
  EXPECT_EQ(fakes.presenter->calls[0].frozen.size(), 2u);
  // Whole-pixel selections are checked on the desktop; here, one between pixels.
  select(QRectF(100, 200, 640.7, 80.2), left);
  finishCapture();
  ASSERT_EQ(CaptureHistory::shared().items().size(), 1u);
  const CaptureItem item = CaptureHistory::shared().items()[0];
  EXPECT_EQ(QSize(item.width, item.height), QSize(641, 81));  // 100 to 740.7 takes in the whole last pixel
  const QImage png = QImage::fromData(clipboardPng(), "PNG");
  ASSERT_EQ(png.size(), QSize(641, 81));
  // Top-left of the cut: x 100, and 500-200-80.2 = 219.8 from the top.
  EXPECT_EQ(png.pixel(0, 0), fakes.capture->images[11].pixel(100, 219));
  EXPECT_EQ(QImage(CaptureHistory::shared().thumbnailPath(item.id)).width(), 320);
  EXPECT_EQ(fakes.sound->played, QStringList{"screen-capture"});
  EXPECT_EQ(fakes.workspace->activated, std::vector<quint64>{5});
  EXPECT_EQ(Preferences::offThreadUsesForTesting(), 0);  // the encoding thread read no settings

  UploadToast* toast = UploadToast::current();
  ASSERT_TRUE(toast);
  EXPECT_TRUE(toast->success());
  // The rest of this upload is followed through the capture menu (popover_history_test.cpp).
  toast->triggerAction();
  ASSERT_TRUE(waitUntil([&] { return !fakes.uploader->pending.empty(); }));
  fakes.uploader->answer(QString("https://s/i/k"));
  EXPECT_EQ(UploadToast::current()->message(), "Copied: https://s/i/k");
}

TEST_F(CaptureFlowTest, ASecondPressWhileSelectingIsIgnored) {
  CaptureFlow::run(CaptureMode::clipboardOnly);
  start(CaptureMode::uploadAndCopyURL);
  ASSERT_TRUE(waitUntil([] { return logged().contains("Screenshot: capture already in progress; ignoring hotkey"); }));
  cancel();
  EXPECT_EQ(fakes.presenter->calls.size(), 1u);
}

// The cut at the second display's scale is checked on the desktop.
TEST_F(CaptureFlowTest, PointerOnTheSecondDisplayPutsItFirst) {
  fakes.screens->cursor = QPointF(1200, 100);
  start(CaptureMode::clipboardOnly);
  ASSERT_EQ(fakes.presenter->calls[0].screens.size(), 2u);
  EXPECT_EQ(fakes.presenter->calls[0].screens[0].key, right.key);
  EXPECT_EQ(fakes.presenter->calls[0].screens[1].key, left.key);
  cancel();
}

// That a cancel leaves the history and the clipboard alone is checked on the desktop.
TEST_F(CaptureFlowTest, CancelReturnsFocusButNeverToOurOwnWindow) {
  start(CaptureMode::clipboardOnly);
  cancel();
  EXPECT_EQ(fakes.workspace->activated, std::vector<quint64>{5});

  fakes.workspace->own = {5};
  start(CaptureMode::clipboardOnly, 2);
  cancel();
  EXPECT_EQ(fakes.workspace->activated.size(), 1u);
}

TEST_F(CaptureFlowTest, MissingPermissionShowsTheDialogAndNothingElse) {
  fakes.capture->allowed = false;
  fakes.dialogs->answerOpenSettings = true;
  CaptureFlow::run(CaptureMode::clipboardOnly);
  finishCapture();
  ASSERT_TRUE(waitUntil([&] { return fakes.dialogs->shown == 1; }));
  EXPECT_EQ(fakes.workspace->privacySettingsOpened, 1);
  EXPECT_TRUE(fakes.presenter->calls.empty());

  fakes.dialogs->answerOpenSettings = false;  // "Close"
  CaptureFlow::run(CaptureMode::clipboardOnly);
  ASSERT_TRUE(waitUntil([&] { return fakes.dialogs->shown == 2; }));
  finishCapture();
  EXPECT_EQ(fakes.workspace->privacySettingsOpened, 1);
}

TEST_F(CaptureFlowTest, FreezeFailureIsLoggedAndToasted) {
  fakes.capture->failing = {22};
  CaptureFlow::run(CaptureMode::clipboardOnly);
  finishCapture();
  ASSERT_TRUE(waitUntil([] { return logged().contains("Screenshot: freeze-screen capture failed: Failed to capture screen."); }));
  ASSERT_TRUE(UploadToast::current());
  EXPECT_EQ(UploadToast::current()->message(), "Failed to capture screen.");
  EXPECT_FALSE(UploadToast::current()->success());
  EXPECT_TRUE(fakes.presenter->calls.empty());
}

TEST_F(CaptureFlowTest, UploadModeCopiesTheLinkOrFallsBackToTheImage) {
  Preferences::setValue(Preferences::kSoundOnCapture, false);
  start(CaptureMode::uploadAndCopyURL);
  select(QRectF(0, 0, 30, 20), left);
  ASSERT_TRUE(waitUntil([&] { return !fakes.uploader->pending.empty(); }));
  EXPECT_TRUE(CaptureFlow::captureInProgress());  // the upload is part of the capture
  fakes.uploader->answer(QString("https://s/i/up"));
  finishCapture();
  EXPECT_EQ(fakes.clipboard->data->text(), "https://s/i/up");
  EXPECT_FALSE(clipboardPng().isEmpty());
  EXPECT_TRUE(fakes.sound->played.isEmpty());

  start(CaptureMode::uploadAndCopyURL, 2);
  select(QRectF(0, 0, 30, 20), left);
  ASSERT_TRUE(waitUntil([&] { return !fakes.uploader->pending.empty(); }));
  fakes.uploader->answer(Error{"Upload failed (HTTP 500): boom"});
  finishCapture();
  EXPECT_FALSE(fakes.clipboard->data->formats().contains("text/plain"));
  EXPECT_FALSE(clipboardPng().isEmpty());
  EXPECT_EQ(UploadToast::current()->message(), "Upload failed (HTTP 500): boom");
  EXPECT_FALSE(UploadToast::current()->success());
  EXPECT_EQ(CaptureHistory::shared().items().size(), 2u);
  EXPECT_FALSE(CaptureHistory::shared().items()[0].shareURL);
}

TEST_F(CaptureFlowTest, MissingFrozenImageFallsBackToAFreshCapture) {
  ScreenInfo third{3, "Third", QRectF(-300, 0, 300, 200), 1.0, 33};
  fakes.screens->screens.push_back(third);
  fakes.capture->content.displays.push_back({33, QRect(0, 0, 300, 200)});
  fakes.capture->images[33] = gradient(QSize(300, 200));
  start(CaptureMode::clipboardOnly);
  // A screen the flow froze nothing for (a display plugged in under the overlay) is captured afresh.
  ScreenInfo renamed = third;
  renamed.key = 99;
  select(QRectF(-290, 10, 20, 10), renamed);
  finishCapture();
  EXPECT_EQ(QImage::fromData(clipboardPng(), "PNG").size(), QSize(20, 10));

  start(CaptureMode::clipboardOnly, 2);
  ScreenInfo gone = renamed;
  gone.displayId = 404;
  select(QRectF(-290, 10, 20, 10), gone);
  finishCapture();
  EXPECT_EQ(UploadToast::current()->message(), "Couldn't find a display for the selection.");
  EXPECT_EQ(CaptureHistory::shared().items().size(), 1u);
}

TEST_F(CaptureFlowTest, WithoutACompositorTheLiveOverlayShowsAPictureOfTheScreen) {
  // The overlay without a frozen picture (the recorder's drag) is translucent; with no compositor, a picture instead.
  auto overlayPixel = [&] {
    RegionSelector::present({left}, {}, [](RegionSelection) {});
    RegionSelector* selector = RegionSelector::active();
    EXPECT_TRUE(selector);
    if (!selector) return QColor();
    RegionOverlayWindow* w = selector->windows().at(0);
    w->resize(1000, 500);
    const QColor c = w->grab().toImage().pixelColor(600, 100);
    selector->handle(RegionSelection::cancelled());
    return c;
  };
  const int before = fakes.capture->captures;
  const QColor blended = overlayPixel();
  EXPECT_EQ(fakes.capture->captures, before);  // a compositor blends the live desktop
  EXPECT_LT(blended.alpha(), 255);

  fakes.workspace->compositing = false;
  const QColor shown = overlayPixel();
  EXPECT_EQ(fakes.capture->captures, before + 1);
  EXPECT_EQ(shown.alpha(), 255);
  const QColor under = fakes.capture->images[11].pixelColor(600, 100);
  EXPECT_NEAR(shown.red(), under.red() * 0.65, 3);
  EXPECT_NEAR(shown.green(), under.green() * 0.65, 3);
  EXPECT_GT(shown.red() + shown.green() + shown.blue(), 30);  // the display's own picture under the dimming, not black
}

}  // namespace
}  // namespace nimbo
