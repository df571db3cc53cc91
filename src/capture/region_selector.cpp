#include "capture/region_selector.h"

#include "capture/screenshotter.h"
#include "platform/geometry.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cmath>

#include "platform/platform.h"
#include "util/log.h"
#include "util/trace.h"

namespace nimbo {
namespace {

QPointer<RegionSelector> g_active;
const QColor kDim(0, 0, 0, int(0.35 * 255 + 0.5));
const QColor kLabelBack(0, 0, 0, int(0.70 * 255 + 0.5));
constexpr qreal kMinSide = 4;

QRectF spanned(QPointF a, QPointF b) {
  return QRectF(QPointF(std::min(a.x(), b.x()), std::min(a.y(), b.y())),
                QPointF(std::max(a.x(), b.x()), std::max(a.y(), b.y())));
}

QFont labelFont() {
  QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  f.setPixelSize(11);
  f.setWeight(QFont::Medium);
  return f;
}

}  // namespace

RegionOverlayWindow::RegionOverlayWindow(const ScreenInfo& screen, QScreen* qscreen,
                                         RegionSelector* selector)
    : QWidget(nullptr,
              Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint |
                  Qt::Tool),
      screen_(screen),
      qscreen_(qscreen),
      selector_(selector) {
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_NoSystemBackground);
  setWindowTitle(QStringLiteral("Nimbo selection"));
  setObjectName(QStringLiteral("NimboRegionOverlay"));
  setCursor(Qt::CrossCursor);
  setMouseTracking(false);
  setFocusPolicy(Qt::StrongFocus);
  if (qscreen) {
    setScreen(qscreen);
    setGeometry(qscreen->geometry());
  }
}

void RegionOverlayWindow::setFrozenImage(const QImage& image) {
  frozen_ = image;
  // A frozen picture covers the whole display: an opaque window is enough,
  // and copying an opaque picture is far cheaper than blending one.
  setAttribute(Qt::WA_TranslucentBackground, frozen_.isNull());
  dimmed_ = QImage();
  update();
}

const QImage& RegionOverlayWindow::dimmedFrozenImage() {
  if (dimmed_.isNull() && !frozen_.isNull()) {
    // Dimmed once; every later paint copies the parts it needs.
    dimmed_ = frozen_.convertToFormat(QImage::Format_RGB32);
    QPainter p(&dimmed_);
    p.fillRect(dimmed_.rect(), kDim);
    p.end();
    dimmed_.setDevicePixelRatio(qreal(frozen_.width()) / std::max(1, width()));
  }
  return dimmed_;
}

void RegionOverlayWindow::updateAround(const std::optional<QRectF>& r) {
  if (!r) return update();
  // The rectangle with its outline, and its size label: under the lower
  // right corner, or held up by the bottom edge. 200 points take the widest
  // label.
  QRectF area = r->adjusted(-2, -2, 2, 2);
  const qreal labelLeft = r->right() - 200;
  area |= QRectF(labelLeft, r->bottom(), 206, 40);
  area |= QRectF(labelLeft, height() - 40, 206, 40);
  update(area.toAlignedRect());
}

std::optional<QRectF> RegionOverlayWindow::dragRect() const {
  if (!start_ || !current_) return std::nullopt;
  return spanned(*start_, *current_);
}

QString RegionOverlayWindow::labelText(const QRectF& r) {
  return QStringLiteral("%1 \u00D7 %2").arg(qint64(r.width())).arg(qint64(r.height()));
}

QRectF RegionOverlayWindow::labelRect(const QRectF& r, QSizeF text, QSizeF view) {
  // Measured y-up from the bottom of the view, the text sits 6 points under
  // the rectangle's lower right corner but never lower than 4 points above
  // the bottom edge.
  const qreal x = r.right() - text.width() - 6;
  const qreal rMinYUp = view.height() - r.bottom();
  const qreal yUp = std::max<qreal>(rMinYUp - text.height() - 6, 4);
  const QRectF textRect(x, view.height() - yUp - text.height(), text.width(), text.height());
  return textRect.adjusted(-3, -2, 3, 2);
}

void RegionOverlayWindow::paintEvent(QPaintEvent*) {
  if (!painted_) {
    painted_ = true;
    if (selector_) selector_->overlayPainted();
  }
  QPainter p(this);
  const QRectF bounds = rect();
  const std::optional<QRectF> drag = dragRect();
  if (!frozen_.isNull()) {
    // The dimmed picture everywhere, the clear picture inside the rectangle:
    // the same as four dimming bands over the picture.
    p.drawImage(QPointF(0, 0), dimmedFrozenImage());
    if (drag) {
      const qreal sx = qreal(frozen_.width()) / std::max(1, width());
      const qreal sy = qreal(frozen_.height()) / std::max(1, height());
      const QRectF& r = *drag;
      p.drawImage(r, frozen_, QRectF(r.x() * sx, r.y() * sy, r.width() * sx, r.height() * sy));
    }
  } else {
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(bounds, Qt::transparent);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    if (!drag) {
      p.fillRect(bounds, kDim);
    } else {
      const QRectF& r = *drag;
      p.fillRect(QRectF(0, 0, bounds.width(), r.top()), kDim);
      p.fillRect(QRectF(0, r.bottom(), bounds.width(), bounds.height() - r.bottom()), kDim);
      p.fillRect(QRectF(0, r.top(), r.left(), r.height()), kDim);
      p.fillRect(QRectF(r.right(), r.top(), bounds.width() - r.right(), r.height()), kDim);
    }
  }
  if (!drag) return;
  const QRectF r = *drag;

  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(Qt::white, 1));
  p.setBrush(Qt::NoBrush);
  p.drawRect(r.adjusted(0.5, 0.5, -0.5, -0.5));

  const QString text = labelText(r);
  p.setFont(labelFont());
  const QFontMetricsF fm(p.font());
  const QSizeF textSize(fm.horizontalAdvance(text), fm.height());
  const QRectF back = labelRect(r, textSize, bounds.size());
  QPainterPath pill;
  pill.addRoundedRect(back, 3, 3);
  p.fillPath(pill, kLabelBack);
  p.setPen(Qt::white);
  p.drawText(back.adjusted(3, 2, -3, -2), Qt::AlignLeft | Qt::AlignVCenter, text);
}

void RegionOverlayWindow::mousePressEvent(QMouseEvent* e) {
  const std::optional<QRectF> before = dragRect();
  start_ = current_ = e->position();
  updateAround(before);
  updateAround(dragRect());
}

void RegionOverlayWindow::mouseMoveEvent(QMouseEvent* e) {
  if (!start_) return;
  // Only what changed is repainted: a full 4K repaint per pointer move lags.
  const std::optional<QRectF> before = dragRect();
  current_ = e->position();
  updateAround(before);
  updateAround(dragRect());
}

void RegionOverlayWindow::mouseReleaseEvent(QMouseEvent* e) {
  if (start_) current_ = e->position();
  const std::optional<QRectF> drag = dragRect();
  start_.reset();
  current_.reset();
  update();
  if (!drag) return;
  const QRectF r = *drag;
  if (r.width() >= kMinSide && r.height() >= kMinSide && qscreen_) {
    // Window coordinates (top-left origin) to global points, y up.
    const QRectF& f = screen_.frame;
    RegionSelection s;
    s.selected = true;
    s.rect = geometry::screenToGlobal(r, f);
    s.screen = screen_;
    send(s);
  } else {
    send(RegionSelection::cancelled());
  }
}

void RegionOverlayWindow::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape) send(RegionSelection::cancelled());
  else QWidget::keyPressEvent(e);
}

void RegionOverlayWindow::send(RegionSelection selection) {
  if (selector_) selector_->handle(std::move(selection));
}

RegionSelector* RegionSelector::active() { return g_active; }

void RegionSelector::present(const std::vector<ScreenInfo>& screens, const FrozenImages& frozen,
                             std::function<void(RegionSelection)> completion) {
  if (g_active) g_active->finish(RegionSelection::cancelled());
  auto* selector = new RegionSelector;
  g_active = selector;
  selector->start(screens, frozen, std::move(completion));
}

void RegionSelector::start(const std::vector<ScreenInfo>& screens, const FrozenImages& frozen,
                           std::function<void(RegionSelection)> completion) {
  completion_ = std::move(completion);
  const QList<QScreen*> qscreens = QGuiApplication::screens();
  // Without a frozen picture the overlay is a translucent dimming layer over
  // the live desktop; without a compositing manager that layer shows black,
  // so a picture taken now stands in for the desktop.
  std::optional<bool> compositing;
  for (const ScreenInfo& s : screens) {
    QScreen* qs = nullptr;
    for (QScreen* candidate : qscreens)
      if (reinterpret_cast<quintptr>(candidate) == s.key) qs = candidate;
    auto* w = new RegionOverlayWindow(s, qs, this);
    auto it = frozen.find(s.key);
    if (it != frozen.end()) {
      w->setFrozenImage(it->second);
    } else if (!(compositing ? *compositing : *(compositing = platform().workspace->compositingActive()))) {
      Result<QImage> now = Screenshotter::captureRect(s.frame, s);
      if (now.ok()) w->setFrozenImage(now.value());
      else logLine("Screenshot: no picture of " + s.name + " for the overlay: " + now.error().description);
    }
    windows_.push_back(w);
  }
  // Wayland gives clients no global positions: a full-screen window on
  // its output is how an overlay covers exactly that output.
  const bool wayland = QGuiApplication::platformName() == QLatin1String("wayland");
  for (auto it = windows_.rbegin(); it != windows_.rend(); ++it) {
    if (wayland) (*it)->showFullScreen();
    else (*it)->show();
  }
  if (!windows_.empty()) {
    RegionOverlayWindow* first = windows_.front();
    first->raise();
    first->activateWindow();
    first->setFocus();
    // Override-redirect windows get no focus from the window manager; take
    // the keyboard so Escape reaches us whatever was focused before.
    first->grabKeyboard();
  }
}

void RegionSelector::overlayPainted() {
  if (++painted_ == int(windows_.size())) trace::mark(QStringLiteral("overlay-visible"));
}

void RegionSelector::handle(RegionSelection selection) {
  QPointer<RegionSelector> self(this);
  QTimer::singleShot(0, this, [self, selection] {
    if (self) self->finish(selection);
  });
}

void RegionSelector::finish(RegionSelection selection) {
  if (finished_) return;  // a second event after the first ended it
  finished_ = true;
  auto completion = std::move(completion_);
  completion_ = nullptr;
  std::vector<RegionOverlayWindow*> windows;
  windows.swap(windows_);
  if (g_active == this) g_active = nullptr;
  for (RegionOverlayWindow* w : windows) {
    w->releaseKeyboard();
    w->hide();
  }
  // The completion runs on a later turn, after the overlays are gone; the
  // windows and this selector are released once it has run.
  QTimer::singleShot(0, [completion = std::move(completion), selection, windows, self = this] {
    if (completion) completion(selection);
    for (RegionOverlayWindow* w : windows) w->deleteLater();
    self->deleteLater();
  });
}

}  // namespace nimbo
