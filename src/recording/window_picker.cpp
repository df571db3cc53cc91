#include "recording/window_picker.h"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <memory>

#include "capture/screenshotter.h"
#include "ui/design_system.h"

namespace nimbo::WindowPicker {
namespace {

const QString kHint = QStringLiteral("Click a window to record it  ·  esc to cancel");

class PickWindow;

struct Picker {
  std::vector<QPointer<PickWindow>> overlays;
  std::vector<Choice> windows;
  Completion completion;
  QTimer hoverTimer;
  std::optional<Choice> hovered;
};

Picker* g_picker = nullptr;

void finish(std::optional<Choice> result);

class PickWindow : public QWidget {
 public:
  PickWindow(QScreen* screen, QImage background)
      : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint |
                             Qt::Tool),
        background_(std::move(background)) {
    setWindowTitle(QStringLiteral("Nimbo window picker"));
    setAttribute(Qt::WA_TranslucentBackground, background_.isNull());
    setAttribute(Qt::WA_DeleteOnClose);
    setCursor(Qt::CrossCursor);
    setFocusPolicy(Qt::StrongFocus);
    setScreen(screen);
    setGeometry(screen->geometry());
  }
  void setHighlight(std::optional<QRect> global) {
    std::optional<QRect> local;
    if (global) {
      const QRect r = global->translated(-geometry().topLeft());
      if (r.intersects(rect())) local = r;
    }
    if (local == highlight_) return;
    highlight_ = local;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (!background_.isNull()) {
      p.drawImage(rect(), background_);
    } else {
      p.setCompositionMode(QPainter::CompositionMode_Source);
      // Nearly clear, so the pointer's clicks land here and not below.
      p.fillRect(rect(), QColor(0, 0, 0, 1));
      p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    if (highlight_) {
      QColor fill = NimboTokens::accent;
      fill.setAlphaF(0.15);
      QPainterPath path;
      path.addRoundedRect(QRectF(*highlight_), 8, 8);
      p.fillPath(path, fill);
      p.setPen(QPen(NimboTokens::accent, 2));
      p.drawRoundedRect(QRectF(*highlight_).adjusted(1, 1, -1, -1), 8, 8);
    }
    QFont f = font();
    f.setPixelSize(12);
    f.setWeight(QFont::Medium);
    p.setFont(f);
    const QFontMetricsF m(f);
    const QSizeF text(m.horizontalAdvance(kHint), m.height());
    const QRectF box((width() - (text.width() + 28)) / 2, 24, text.width() + 28, text.height() + 16);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, int(0.7 * 255 + 0.5)));
    p.drawRoundedRect(box, 8, 8);
    p.setPen(Qt::white);
    p.drawText(QPointF(box.left() + 14, box.bottom() - 8 - m.descent()), kHint);
  }
  void mouseReleaseEvent(QMouseEvent* e) override {
    if (e->button() == Qt::LeftButton) WindowPicker::click();
    else if (e->button() == Qt::RightButton) WindowPicker::cancel();
  }
  void keyPressEvent(QKeyEvent* e) override {
    if (e->key() == Qt::Key_Escape) return WindowPicker::cancel();
    QWidget::keyPressEvent(e);
  }

 private:
  QImage background_;
  std::optional<QRect> highlight_;
};

void finish(std::optional<Choice> result) {
  if (!g_picker) return;
  std::unique_ptr<Picker> picker(g_picker);
  g_picker = nullptr;
  picker->hoverTimer.stop();
  for (auto& w : picker->overlays)
    if (w) w->close();
  Completion completion = std::move(picker->completion);
  QTimer::singleShot(0, qApp, [completion, result] {
    if (completion) completion(result);
  });
}

}  // namespace

QRect pointsFromPixels(const QRect& pixels) {
  // Each screen keeps its origin in pixels; sizes inside it shrink by its
  // scale.
  for (QScreen* s : QGuiApplication::screens()) {
    const qreal dpr = s->devicePixelRatio();
    const QRect native(s->geometry().topLeft(), s->geometry().size() * dpr);
    if (!native.contains(pixels.center())) continue;
    const QPointF topLeft = s->geometry().topLeft() + QPointF(pixels.topLeft() - native.topLeft()) / dpr;
    return QRect(topLeft.toPoint(), (QSizeF(pixels.size()) / dpr).toSize());
  }
  return pixels;
}

std::vector<Choice> availableWindows() {
  std::vector<Choice> out;
  for (const ScreenStreamService::WindowInfo& w : platform().screenStreams->windows()) {
    Choice c;
    c.windowID = w.id;
    c.title = w.title.trimmed();
    c.appName = w.application.isEmpty() ? QStringLiteral("Unknown") : w.application;
    c.frame = pointsFromPixels(w.frame);
    if (!w.icon.isNull()) c.icon = w.icon;
    // At least 60 x 60 points, whatever the screen's scale.
    if (c.frame.width() < 60 || c.frame.height() < 60) continue;
    out.push_back(c);
  }
  return out;
}

void pick(Completion completion) {
  if (g_picker) {
    // The earlier pick is replaced; its completion is dropped.
    g_picker->completion = nullptr;
    finish(std::nullopt);
  }
  ScreenStreamService& streams = *platform().screenStreams;
  if (streams.desktopChoosesWindows()) {
    // Wayland: no client may see the others' windows; the desktop's own
    // chooser stands in for ours.
    streams.chooseWindow([completion = std::move(completion)](std::optional<ScreenStreamService::ChosenWindow> w) {
      std::optional<Choice> choice;
      if (w) choice = Choice{w->id, w->title, QString(), QRect(), std::nullopt};
      QTimer::singleShot(0, qApp, [completion, choice] { completion(choice); });
    });
    return;
  }
  g_picker = new Picker;
  g_picker->windows = availableWindows();
  g_picker->completion = std::move(completion);
  // Without a compositor a clear window shows black: show the desktop as
  // it is now instead.
  const bool compositing = platform().workspace->compositingActive();
  const std::vector<ScreenInfo> screens = platform().screens->list();
  for (QScreen* s : QGuiApplication::screens()) {
    QImage background;
    if (!compositing)
      for (const ScreenInfo& info : screens)
        if (info.key == reinterpret_cast<quintptr>(s))
          if (Result<QImage> shot = Screenshotter::captureRect(info.frame, info); shot.ok()) background = shot.value();
    auto* w = new PickWindow(s, background);
    g_picker->overlays.push_back(w);
    w->show();
  }
  if (!g_picker->overlays.empty() && g_picker->overlays.front()) {
    PickWindow* first = g_picker->overlays.front();
    first->raise();
    first->activateWindow();
    first->setFocus();
    first->grabKeyboard();
  }
  g_picker->hoverTimer.setInterval(16);
  QObject::connect(&g_picker->hoverTimer, &QTimer::timeout, [] { hoverAt(QCursor::pos()); });
  g_picker->hoverTimer.start();
  hoverAt(QCursor::pos());
}

void hoverAt(const QPoint& point) {
  if (!g_picker) return;
  std::optional<Choice> candidate;
  for (const Choice& c : g_picker->windows)
    if (c.frame.contains(point)) {
      candidate = c;
      break;
    }
  if (candidate == g_picker->hovered) return;
  g_picker->hovered = candidate;
  for (auto& w : g_picker->overlays)
    if (w) w->setHighlight(candidate ? std::optional<QRect>(candidate->frame) : std::nullopt);
}

void click() {
  if (!g_picker) return;
  finish(g_picker->hovered);
}

void cancel() { finish(std::nullopt); }

}  // namespace nimbo::WindowPicker
