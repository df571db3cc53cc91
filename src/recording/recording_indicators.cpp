#include "recording/recording_indicators.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QVariantAnimation>

#include <algorithm>

#include "platform/platform.h"
#include "recording/recording_flow.h"
#include "recording/recording_state.h"
#include "ui/design_system.h"

namespace nimbo {

LevelBars::LevelBars(QColor activeColor, qreal barWidth, qreal barSpacing, qreal maxHeight, QWidget* parent)
    : QWidget(parent), active_(activeColor), barWidth_(barWidth), barSpacing_(barSpacing), maxHeight_(maxHeight) {
  animation_.setDuration(80);
  animation_.setEasingCurve(QEasingCurve::Linear);
  QObject::connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
    level_ = float(v.toDouble());
    update();
  });
  setAttribute(Qt::WA_TranslucentBackground);
  setFixedSize(sizeHint());
}

int LevelBars::litBars(float level) {
  int n = 0;
  for (float t : kThresholds) n += level >= t;
  return n;
}

void LevelBars::setLevel(float level) {
  if (level == target_) return;
  target_ = level;
  // Bars glide to the new level over 80 ms instead of jumping.
  animation_.stop();
  animation_.setStartValue(double(level_));
  animation_.setEndValue(double(level));
  animation_.start();
}

QSize LevelBars::sizeHint() const {
  return QSize(int(std::ceil(5 * barWidth_ + 4 * barSpacing_)), int(std::ceil(maxHeight_)));
}

void LevelBars::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  const int lit = litBars(level_);
  for (int i = 0; i < 5; ++i) {
    const qreal h = (0.35 + 0.1625 * i) * maxHeight_;
    const QRectF bar(i * (barWidth_ + barSpacing_), (height() - h) / 2, barWidth_, h);
    p.setBrush(i < lit ? active_ : NimboTokens::bg3);
    p.drawRoundedRect(bar, 1, 1);
  }
}

namespace {

constexpr Qt::WindowFlags kFloating =
    Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus;

QScreen* orPrimary(QScreen* s) { return s ? s : QGuiApplication::primaryScreen(); }

// The pill: dark capsule, pulsing dot, time, level bars, Stop. Dragged by
// its background.
class PillWindow : public QWidget {
 public:
  PillWindow() : QWidget(nullptr, kFloating) {
    setWindowTitle(QStringLiteral("Nimbo recording"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(196, 40);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 0, 8, 0);
    row->setSpacing(10);
    dot_ = new QWidget(this);
    dot_->setFixedSize(9, 9);
    dot_->installEventFilter(this);
    time_ = new QLabel(this);
    QFont mono = nimboFont(FontFamily::mono, 13, QFont::Medium);
    time_->setFont(mono);
    time_->setStyleSheet(QStringLiteral("color: %1").arg(NimboTokens::ink0.name()));
    bars_ = new LevelBars(NimboTokens::accent, 3, 2, 14, this);
    auto* stop = new NimboButton(QStringLiteral("Stop"), NimboButtonKind::ghost, NimboButtonSize::sm,
                                 [] { RecordingFlow::stopRequested(); }, this,
                                 QIcon::fromTheme(QStringLiteral("media-playback-stop")));
    stop->setObjectName(QStringLiteral("NimboPillStop"));
    row->addWidget(dot_);
    row->addWidget(time_);
    row->addWidget(bars_);
    row->addStretch(1);
    row->addWidget(stop);
    pulse_.setStartValue(1.0);
    pulse_.setEndValue(0.35);
    pulse_.setDuration(900);
    pulse_.setEasingCurve(QEasingCurve::InOutSine);
    QObject::connect(&pulse_, &QVariantAnimation::valueChanged, dot_, [this] { dot_->update(); });
    QObject::connect(&pulse_, &QVariantAnimation::finished, this, [this] {
      // Back and forth for as long as the pill is up.
      pulse_.setDirection(pulse_.direction() == QAbstractAnimation::Forward ? QAbstractAnimation::Backward
                                                                             : QAbstractAnimation::Forward);
      pulse_.start();
    });
    pulse_.start();
    QObject::connect(&RecordingState::shared(), &RecordingState::changed, this, [this] { refresh(); });
    refresh();
  }

 protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (o == dot_ && e->type() == QEvent::Paint) {
      QPainter p(dot_);
      p.setRenderHint(QPainter::Antialiasing);
      p.setOpacity(pulse_.currentValue().toReal());
      p.setPen(Qt::NoPen);
      p.setBrush(NimboTokens::red);
      p.drawEllipse(dot_->rect());
      return true;
    }
    return QWidget::eventFilter(o, e);
  }
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor bg = NimboTokens::bg1;
    bg.setAlphaF(0.96);
    p.setBrush(bg);
    p.setPen(QPen(NimboTokens::line, 1));
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 19.5, 19.5);
  }
  void mousePressEvent(QMouseEvent* e) override { drag_.press(this, e->globalPosition()); }
  void mouseMoveEvent(QMouseEvent* e) override { drag_.drag(this, e->globalPosition(), e->buttons()); }

 private:
  void refresh() {
    time_->setText(RecordingState::shared().elapsedLabel());
    bars_->setLevel(RecordingState::shared().audioLevel());
  }
  QWidget* dot_;
  QLabel* time_;
  LevelBars* bars_;
  QVariantAnimation pulse_;
  BackgroundDrag drag_;
};

QPointer<QWidget> g_pill;

// GNOME places a new window at the top-left of the work area and, on
// Wayland, lets no client move it: there the countdown is a maximised
// transparent window with the disc in its middle. (KDE and the wlroots
// desktops centre a floating window themselves; X11 lets us place it.)
bool coversWorkArea() {
  return QGuiApplication::platformName() == QLatin1String("wayland") &&
         qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':')).contains(QLatin1String("GNOME"), Qt::CaseInsensitive);
}

constexpr int kDisc = 220;

// The countdown: a dark disc with the number, not clickable.
class CountdownWindow : public QWidget {
 public:
  CountdownWindow(int seconds, bool coversWorkArea)
      : QWidget(nullptr, kFloating | Qt::WindowTransparentForInput), remaining_(seconds) {
    setWindowTitle(QStringLiteral("Nimbo countdown"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_DeleteOnClose);
    if (!coversWorkArea) setFixedSize(kDisc, kDisc);
    tick_.setInterval(1000);
    QObject::connect(&tick_, &QTimer::timeout, this, [this] {
      if (remaining_ > 1) --remaining_, update();
    });
    tick_.start();
  }
  int remaining() const { return remaining_; }
  // Clears the window rather than closing it: a compositor animates a
  // closing window for a moment, which a screen cast would show.
  void clear() {
    cleared_ = true;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    if (cleared_) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QRect disc(0, 0, kDisc, kDisc);
    disc.moveCenter(rect().center());
    QColor outline = NimboTokens::accent;
    outline.setAlphaF(0.6);
    p.setPen(QPen(outline, 2));
    p.setBrush(QColor(0, 0, 0, int(0.55 * 255 + 0.5)));
    p.drawEllipse(QRectF(disc).adjusted(1, 1, -1, -1));
    p.setFont(nimboFont(FontFamily::display, 96, QFont::Bold));
    // A soft shadow under the number.
    p.setPen(QColor(0, 0, 0, 120));
    p.drawText(disc.translated(0, 3), Qt::AlignCenter, QString::number(remaining_));
    p.setPen(NimboTokens::ink0);
    p.drawText(disc, Qt::AlignCenter, QString::number(remaining_));
  }

 private:
  int remaining_;
  bool cleared_ = false;
  QTimer tick_;
};

QPointer<CountdownWindow> g_countdown;
int g_generation = 0;

}  // namespace

namespace RecordingPill {

void show(QScreen* screen, std::function<void(quint64)> made) {
  hide();
  screen = orPrimary(screen);
  auto* pill = new PillWindow;
  const QRect visible = screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
  pill->move(visible.center().x() - 98, visible.top() + 12);
  if (made) made(quint64(pill->winId()));
  pill->show();
  g_pill = pill;
}

void hide() {
  if (g_pill) g_pill->close();
  g_pill = nullptr;
}

QWidget* panel() { return g_pill; }

}  // namespace RecordingPill

namespace CountdownOverlay {

void run(int seconds, QScreen* screen, std::function<void()> completion) {
  cancel();
  const int generation = ++g_generation;
  screen = orPrimary(screen);
  const bool covers = coversWorkArea();
  auto* w = new CountdownWindow(seconds, covers);
  const QRect frame = screen ? screen->geometry() : QRect(0, 0, 800, 600);
  if (covers) {
    w->setScreen(screen);
    w->setGeometry(screen ? screen->availableGeometry() : frame);
    w->showMaximized();
  } else {
    w->move(frame.center().x() - kDisc / 2, frame.center().y() - kDisc / 2);
    w->show();
  }
  g_countdown = w;
  // Precise: coarse timers this long may fire up to a twentieth early or
  // late, and the two would run together.
  const int cleared = seconds * 1000 - ScreenStreamService::kFreshMs;
  // Covering the work area, it is cleared earlier and hidden when the
  // number would be cleared: while such a window is up GNOME shows its top
  // bar over a full-screen application under it, which the recording's
  // first picture would show. Hidden once transparent, it leaves without an
  // animation to see.
  const int clearAt = covers ? cleared - ScreenStreamService::kFreshMs : cleared;
  QTimer::singleShot(std::max(0, clearAt), Qt::PreciseTimer, qApp, [generation] {
    if (generation == g_generation && g_countdown) g_countdown->clear();
  });
  if (covers) {
    QTimer::singleShot(std::max(0, cleared), Qt::PreciseTimer, qApp, [generation] {
      if (generation == g_generation && g_countdown) g_countdown->hide();
    });
  }
  QTimer::singleShot(seconds * 1000, Qt::PreciseTimer, qApp, [generation, completion = std::move(completion)] {
    // A cancelled or superseded countdown never calls back.
    if (generation != g_generation) return;
    if (g_countdown) g_countdown->close();
    g_countdown = nullptr;
    if (completion) completion();
  });
}

void cancel() {
  ++g_generation;
  if (g_countdown) g_countdown->close();
  g_countdown = nullptr;
}

bool isShowing() { return g_countdown != nullptr; }

}  // namespace CountdownOverlay

}  // namespace nimbo
