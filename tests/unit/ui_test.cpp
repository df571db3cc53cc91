#include <QGuiApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QPointer>
#include <QTest>

#include "capture/region_selector.h"
#include "support.h"
#include "ui/design_system.h"
#include "ui/upload_toast.h"

namespace nimbo {
namespace {

using test::waitUntil;

TEST(ToastTest, SizeDurationAndClicksFollowTheContent) {
  struct Row {
    bool success, action, secondary;
    QSize size;
    double seconds;
    bool clicks;
  } rows[] = {{true, false, false, {320, 44}, 2.2, false}, {false, false, false, {420, 64}, 5.0, false},
              {true, true, false, {440, 44}, 4.5, true},   {false, true, false, {440, 64}, 4.5, true},
              {true, true, true, {520, 44}, 4.5, true},    {false, true, true, {520, 64}, 4.5, true}};
  for (const Row& r : rows) {
    const ToastLayout l = toastLayout(r.success, r.action, r.secondary);
    EXPECT_EQ(l.panelSize, r.size);
    EXPECT_EQ(l.visibleDuration, r.seconds);
    EXPECT_EQ(l.takesClicks, r.clicks);
  }
}

TEST(ToastTest, ANewToastReplacesTheOldOneAndItsTimer) {
  UploadToast::show("first", true);
  QPointer<QWidget> firstPanel = UploadToast::current()->panel();
  EXPECT_TRUE(firstPanel->windowFlags() & Qt::WindowTransparentForInput);
  int clicked = 0;
  UploadToast::show("second", false, "Retry", [&] { ++clicked; });
  UploadToast* second = UploadToast::current();
  EXPECT_EQ(second->message(), "second");
  EXPECT_FALSE(second->panel()->windowFlags() & Qt::WindowTransparentForInput);
  EXPECT_EQ(second->panel()->size(), QSize(440, 64));
  QCoreApplication::processEvents();
  EXPECT_TRUE(!firstPanel || !firstPanel->isVisible());
  second->triggerAction();
  EXPECT_EQ(clicked, 1);

  // Sits 32 points above the bottom of the primary screen, centred.
  const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
  const QRect g = second->panel()->geometry();
  EXPECT_EQ(g.center().x(), avail.center().x());
  EXPECT_EQ(g.bottom() + 1, avail.bottom() + 1 - 32);
}

TEST(ToastTest, DismissesItselfAfterItsDuration) {
  UploadToast::show("brief", true);
  EXPECT_TRUE(UploadToast::current());
  EXPECT_TRUE(waitUntil([] { return UploadToast::current() == nullptr; }, 4000));
}

TEST(RegionOverlayTest, LabelSitsUnderTheRectangleAndStaysOnScreen) {
  const QSizeF view(1000, 500), text(60, 14);
  const QRectF mid = RegionOverlayWindow::labelRect(QRectF(100, 100, 200, 100), text, view);
  EXPECT_DOUBLE_EQ(mid.right(), 300 - 6 + 3);
  EXPECT_DOUBLE_EQ(mid.top(), 200 + 6 - 2);
  const QRectF low = RegionOverlayWindow::labelRect(QRectF(100, 400, 200, 99), text, view);
  EXPECT_DOUBLE_EQ(low.bottom(), 500 - 4 + 2);
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
  static void drag(QWidget* w, QPoint from, QPoint to) {
    QTest::mousePress(w, Qt::LeftButton, {}, from);
    QMouseEvent move(QEvent::MouseMove, to, w->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, {});
    QCoreApplication::sendEvent(w, &move);
    QTest::mouseRelease(w, Qt::LeftButton, {}, to);
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

TEST_F(RegionSelectorTest, ClicksThinDragsAndEscapeCancel) {
  auto thin = presentAndWait([](QWidget* w) { drag(w, {10, 10}, {13, 310}); });
  EXPECT_TRUE(thin && !thin->selected);
  auto click = presentAndWait([](QWidget* w) { drag(w, {10, 10}, {10, 10}); });
  EXPECT_TRUE(click && !click->selected);
  auto esc = presentAndWait([](QWidget* w) {
    QTest::keyClick(w, Qt::Key_A);  // other keys do nothing
    QTest::keyClick(w, Qt::Key_Escape);
  });
  EXPECT_TRUE(esc && !esc->selected);
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
  QTest::mousePress(w, Qt::LeftButton, {}, {100, 100});
  QMouseEvent move(QEvent::MouseMove, QPointF(300, 200), w->mapToGlobal(QPointF(300, 200)), Qt::NoButton,
                   Qt::LeftButton, {});
  QCoreApplication::sendEvent(w, &move);
  const QImage shot = w->grab().toImage();
  EXPECT_EQ(shot.pixel(200, 150), qRgb(200, 100, 50));  // inside: clear
  const QColor dimmed = shot.pixelColor(20, 20);       // outside: 35 % black
  EXPECT_NEAR(dimmed.red(), int(200 * 0.65), 2);
  EXPECT_EQ(shot.pixel(100, 150), qRgb(255, 255, 255));  // the outline
  QTest::keyClick(w, Qt::Key_Escape);
  EXPECT_TRUE(waitUntil([&] { return result.has_value(); }));
}

TEST(DesignSystemTest, KeycapsGrowWithTheirLabelAndLogoBracketsStayVisible) {
  Keycap one("K", KeycapSize::md, false);
  EXPECT_EQ(one.sizeHint(), QSize(24, 24));
  Keycap wide("Shift", KeycapSize::md, false);
  EXPECT_GT(wide.sizeHint().width(), 24);
  EXPECT_EQ(wide.sizeHint().height(), 24);
  EXPECT_EQ(Keycap("K", KeycapSize::lg, true).sizeHint(), QSize(32, 32));
  EXPECT_DOUBLE_EQ(NimboLogo::bracketWidth(8), 1.0);
  EXPECT_DOUBLE_EQ(NimboLogo::bracketWidth(40), 3.0);
  NimboButton lg("Save", NimboButtonKind::primary, NimboButtonSize::lg, nullptr);
  EXPECT_EQ(lg.sizeHint().height(), 42);
  EXPECT_EQ(NimboTokens::accent.name(), "#caf54d");
  EXPECT_EQ(NimboTokens::accentGlow.alpha(), 89);
}

TEST(DesignSystemTest, ToggleFlipsItsValueOnClick) {
  NimboToggle t;
  QSignalSpy spy(&t, &QAbstractButton::toggled);
  QTest::mouseClick(&t, Qt::LeftButton);
  EXPECT_TRUE(t.isChecked());
  EXPECT_EQ(spy.count(), 1);
}

}  // namespace
}  // namespace nimbo
