#include <QBackingStore>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QWidget>

#include "capture/region_selector.h"
#include "support.h"
#include "ui/upload_toast.h"
#include "ui/window_buffers.h"

namespace nimbo {
namespace {

using test::waitUntil;

// Only a toast with a button takes clicks.
TEST(ToastTest, ANewToastReplacesTheOldOneAndItsTimer) {
  UploadToast::show("first", true);
  QPointer<QWidget> firstPanel = UploadToast::current()->panel();
  EXPECT_TRUE(firstPanel->windowFlags() & Qt::WindowTransparentForInput);
  int clicked = 0;
  UploadToast::show("second", false, "Retry", [&] { ++clicked; });
  UploadToast* second = UploadToast::current();
  EXPECT_EQ(second->message(), "second");
  EXPECT_FALSE(second->panel()->windowFlags() & Qt::WindowTransparentForInput);
  QCoreApplication::processEvents();
  EXPECT_TRUE(!firstPanel || !firstPanel->isVisible());
  second->triggerAction();
  EXPECT_EQ(clicked, 1);
}

TEST(ToastTest, DismissesItselfAfterItsDuration) {
  UploadToast::show("brief", true);
  EXPECT_TRUE(UploadToast::current());
  EXPECT_TRUE(waitUntil([] { return UploadToast::current() == nullptr; }, 4000));
}

// A window hidden rather than deleted gives its paint buffer back, and is
// painted whole when it is shown again.
TEST(WindowBuffersTest, AHiddenWindowsBufferIsShrunkAndSizedBackWhenShown) {
  WindowBuffers::releaseWhenHidden();
  QWidget w;
  w.resize(640, 480);
  QPalette p = w.palette();
  p.setColor(QPalette::Window, QColor(200, 30, 40));
  w.setPalette(p);
  w.setAutoFillBackground(true);
  auto painted = [&] {
    const QImage shot = w.screen()->grabWindow(w.winId()).toImage();
    return shot.size() == QSize(640, 480) && shot.pixelColor(5, 5) == QColor(200, 30, 40) &&
           shot.pixelColor(635, 475) == QColor(200, 30, 40);
  };
  w.show();
  ASSERT_TRUE(waitUntil([&] { return w.backingStore() && w.backingStore()->size() == QSize(640, 480) && painted(); }));
  w.hide();
  EXPECT_TRUE(waitUntil([&] { return w.backingStore()->size() == QSize(1, 1); }));
  w.show();
  EXPECT_TRUE(waitUntil([&] { return w.backingStore()->size() == QSize(640, 480) && painted(); }));
  // Hidden and shown again before the event loop turns: nothing to give back.
  w.hide();
  w.show();
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(w.backingStore()->size(), QSize(640, 480));
}

TEST(RegionOverlayTest, LabelStaysOnScreenAndCountsWholePixels) {
  // A selection reaching the bottom edge keeps its label inside the view.
  EXPECT_LE(RegionOverlayWindow::labelRect(QRectF(100, 400, 200, 99), QSizeF(60, 14), QSizeF(1000, 500)).bottom(), 500);
  EXPECT_EQ(RegionOverlayWindow::labelText(QRectF(0, 0, 640.9, 480.2)), QString::fromUtf8("640 × 480"));
}

class RegionSelectorTest : public test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    QScreen* s = QGuiApplication::primaryScreen();
    const QRect g = s->geometry();
    screen.key = reinterpret_cast<quintptr>(s);
    screen.name = s->name();
    screen.frame = QRectF(g.x(), 0, g.width(), g.height());
    screen.scale = 1;
  }
  std::optional<RegionSelection> presentAndWait(const std::function<void(QWidget*)>& act) {
    std::optional<RegionSelection> result;
    RegionSelector::present({screen}, {}, [&](RegionSelection s) { result = s; });
    RegionSelector* sel = RegionSelector::active();
    EXPECT_TRUE(sel);
    if (!sel) return result;
    QPointer<QWidget> w = sel->windows().front();
    act(w);
    EXPECT_TRUE(waitUntil([&] { return result.has_value(); }));
    // Hidden at once, and released once the completion has run.
    EXPECT_TRUE(!w || !w->isVisible());
    return result;
  }
  static void drag(QWidget* w, QPoint from, QPoint to, bool release = true) {
    QTest::mousePress(w, Qt::LeftButton, {}, from);
    QMouseEvent move(QEvent::MouseMove, to, w->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, {});
    QCoreApplication::sendEvent(w, &move);
    if (release) QTest::mouseRelease(w, Qt::LeftButton, {}, to);
  }
  ScreenInfo screen;
};

TEST_F(RegionSelectorTest, DragsGiveGlobalYUpRectanglesInEitherDirection) {
  const qreal h = screen.frame.height();
  auto a = presentAndWait([](QWidget* w) { drag(w, {10, 20}, {110, 70}); });
  ASSERT_TRUE(a && a->selected);
  EXPECT_EQ(a->rect, QRectF(10, h - 70, 100, 50));
  EXPECT_EQ(a->screen.key, screen.key);
  auto b = presentAndWait([](QWidget* w) { drag(w, {110, 70}, {10, 20}); });
  ASSERT_TRUE(b && b->selected);
  EXPECT_EQ(b->rect, a->rect);
  auto tiny = presentAndWait([](QWidget* w) { drag(w, {10, 10}, {14, 14}); });
  EXPECT_TRUE(tiny && tiny->selected);
}

TEST_F(RegionSelectorTest, PresentingAgainCancelsTheFirstSelection) {
  std::optional<RegionSelection> first;
  RegionSelector::present({screen}, {}, [&](RegionSelection s) { first = s; });
  auto second = presentAndWait([](QWidget* w) { drag(w, {0, 0}, {50, 50}); });
  ASSERT_TRUE(first);
  EXPECT_FALSE(first->selected);
  EXPECT_TRUE(second && second->selected);
}

TEST_F(RegionSelectorTest, FrozenPictureIsDrawnUnderTheDimming) {
  QImage frozen(screen.frame.size().toSize(), QImage::Format_RGB32);
  frozen.fill(qRgb(200, 100, 50));
  std::optional<RegionSelection> result;
  RegionSelector::present({screen}, {{screen.key, frozen}}, [&](RegionSelection s) { result = s; });
  QWidget* w = RegionSelector::active()->windows().front();
  drag(w, {100, 100}, {300, 200}, false);
  const QImage shot = w->grab().toImage();
  EXPECT_EQ(shot.pixel(200, 150), qRgb(200, 100, 50));  // inside: clear
  const QColor dimmed = shot.pixelColor(20, 20);       // outside: darker
  EXPECT_LT(dimmed.red(), 200);
  EXPECT_GT(dimmed.red(), 0);
  QTest::keyClick(w, Qt::Key_Escape);
  ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
  EXPECT_FALSE(result->selected);  // Escape cancels the half-made selection
}

}  // namespace
}  // namespace nimbo
