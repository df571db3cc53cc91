#include "ui/design_system.h"

#include <QGuiApplication>
#include <QWindow>

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QVBoxLayout>

#include "ui/controls.h"

namespace nimbo {

QFont nimboFont(FontFamily family, qreal points, QFont::Weight weight) {
  // The display face is rarely packaged; Inter's own display cut is closest.
  static const QStringList names[] = {{"Inter"}, {"Inter Tight", "Inter Display", "Inter"}, {"JetBrains Mono"}};
  static const QStringList installed = QFontDatabase::families();
  QFont f = QFontDatabase::systemFont(family == FontFamily::mono ? QFontDatabase::FixedFont : QFontDatabase::GeneralFont);
  for (const QString& name : names[int(family)]) {
    if (!installed.contains(name)) continue;
    f = QFont(name);
    break;
  }
  // Sizes are given in points as on screen (device-independent pixels), not
  // typographic points scaled by the display's DPI.
  f.setPixelSize(std::max(1, qRound(points)));
  f.setWeight(weight);
  return f;
}

namespace {

struct ButtonMetrics {
  qreal font, padding, height, radius;
};

ButtonMetrics metrics(NimboButtonSize s) {
  switch (s) {
    case NimboButtonSize::sm: return {13, 14, 28, 8};
    case NimboButtonSize::md: return {13, 14, 34, 8};
    case NimboButtonSize::lg: return {14, 20, 42, 10};
  }
  return {13, 14, 34, 8};
}

}  // namespace

NimboButton::NimboButton(const QString& title, NimboButtonKind kind, NimboButtonSize size,
                         std::function<void()> action, QWidget* parent, const QIcon& icon)
    : QAbstractButton(parent), kind_(kind), size_(size) {
  setText(title);
  setIcon(icon);
  setFont(nimboFont(FontFamily::interface, metrics(size).font, QFont::Medium));
  setCursor(Qt::PointingHandCursor);
  setFixedHeight(int(metrics(size).height));
  if (action) connect(this, &QAbstractButton::clicked, this, [action] { action(); });
}

QSize NimboButton::sizeHint() const {
  const ButtonMetrics m = metrics(size_);
  qreal w = QFontMetricsF(font()).horizontalAdvance(text()) + 2 * m.padding;
  if (!icon().isNull()) w += m.font + 6;
  return QSize(int(std::ceil(w)), int(m.height));
}

void NimboButton::paintEvent(QPaintEvent*) {
  using namespace NimboTokens;
  const ButtonMetrics m = metrics(size_);
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  // A button that cannot be pressed now says so.
  if (!isEnabled()) p.setOpacity(0.4);
  QColor fill = Qt::transparent, border = Qt::transparent, ink = ink1;
  switch (kind_) {
    case NimboButtonKind::primary: fill = accent; border = accent; ink = accentInk; break;
    case NimboButtonKind::ghost: border = line; ink = ink1; break;
    case NimboButtonKind::subtle: fill = bg2; ink = ink0; break;
  }
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  if (kind_ == NimboButtonKind::primary) {
    // The lime glow: a few widening translucent layers offset downwards.
    for (int i = 3; i >= 1; --i) {
      QColor g = accentGlow;
      g.setAlphaF(accentGlow.alphaF() / (i + 1));
      p.setPen(Qt::NoPen);
      p.setBrush(g);
      p.drawRoundedRect(r.translated(0, 2 * i).adjusted(-i, -i, i, i), m.radius + i, m.radius + i);
    }
  }
  p.setPen(QPen(border, 1));
  p.setBrush(isDown() ? fill.darker(110) : fill);
  p.drawRoundedRect(r, m.radius, m.radius);
  p.setPen(ink);
  QRectF content = QRectF(rect()).adjusted(m.padding, 0, -m.padding, 0);
  if (!icon().isNull()) {
    const int s = int(m.font);
    icon().paint(&p, QRect(int(content.left()), int(height() - s) / 2, s, s));
    content.setLeft(content.left() + s + 6);
  }
  p.drawText(content, Qt::AlignCenter, text());
  if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) paintFocusRing(p, QRectF(rect()), m.radius);
}

NimboToggle::NimboToggle(QWidget* parent) : QAbstractButton(parent) {
  setCheckable(true);
  setFixedSize(36, 20);
  setCursor(Qt::PointingHandCursor);
}

void NimboToggle::setKnobPosition(qreal p) {
  knob_ = p;
  update();
}

void NimboToggle::checkStateSet() { knob_ = isChecked() ? 1 : 0; update(); }

void NimboToggle::nextCheckState() {
  QAbstractButton::nextCheckState();
  auto* anim = new QPropertyAnimation(this, "knobPosition", this);
  anim->setDuration(150);
  anim->setEasingCurve(QEasingCurve::InOutQuad);
  anim->setStartValue(knob_);
  anim->setEndValue(isChecked() ? 1.0 : 0.0);
  anim->start(QAbstractAnimation::DeleteWhenStopped);
}

void NimboToggle::paintEvent(QPaintEvent*) {
  using namespace NimboTokens;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const bool on = isChecked();
  // Reached with Tab, the track's edge shows it: lime, or white on lime.
  const bool focusShown = hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange);
  if (focusShown) p.setPen(QPen(on ? ink0 : accent, 1.5));
  else p.setPen(QPen(on ? QColor(255, 255, 255, 38) : line, 1));
  p.setBrush(on ? accent : bg3);
  p.drawRoundedRect(focusShown ? QRectF(0.75, 0.75, 34.5, 18.5) : QRectF(0.5, 0.5, 35, 19), 9.5, 9.5);
  const qreal x = 2 + knob_ * (36 - 16 - 4);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 77));
  p.drawEllipse(QRectF(x, 3, 16, 16));
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(x, 2, 16, 16));
}

NimboCard::NimboCard(QWidget* content, int padding, QWidget* parent) : QFrame(parent) {
  auto* l = new QVBoxLayout(this);
  l->setContentsMargins(padding, padding, padding, padding);
  if (content) l->addWidget(content);
}

void NimboCard::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(NimboTokens::lineSoft, 1));
  p.setBrush(NimboTokens::bg1);
  p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
}

namespace {
struct KeycapMetrics {
  qreal font, minSide;
};
KeycapMetrics keycapMetrics(KeycapSize s) {
  switch (s) {
    case KeycapSize::sm: return {10, 20};
    case KeycapSize::md: return {11, 24};
    case KeycapSize::lg: return {14, 32};
  }
  return {11, 24};
}
}  // namespace

Keycap::Keycap(const QString& label, KeycapSize size, bool inverse, QWidget* parent)
    : QWidget(parent), label_(label), size_(size), inverse_(inverse) {
  setFont(nimboFont(FontFamily::mono, keycapMetrics(size).font, QFont::Medium));
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize Keycap::sizeHint() const {
  const KeycapMetrics m = keycapMetrics(size_);
  const qreal textW = QFontMetricsF(font()).horizontalAdvance(label_) + 10;
  return QSize(int(std::ceil(std::max(m.minSide, textW))), int(m.minSide));
}

void Keycap::paintEvent(QPaintEvent*) {
  using namespace NimboTokens;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor fill = inverse_ ? ink1 : bg3;
  const QColor edge = inverse_ ? ink1 : line;
  const QColor ink = inverse_ ? bg0 : ink1;
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  p.setPen(QPen(edge, 1));
  p.setBrush(fill);
  p.drawRoundedRect(r, 4, 4);
  // The key's lower lip.
  p.drawLine(QPointF(r.left() + 3, r.bottom() - 0.5), QPointF(r.right() - 3, r.bottom() - 0.5));
  p.setPen(ink);
  p.drawText(rect().adjusted(5, 0, -5, -1), Qt::AlignCenter, label_);
}

MetaLabel::MetaLabel(const QString& text, const QColor& color, QWidget* parent)
    : QLabel(text.toUpper(), parent) {
  QFont f = nimboFont(FontFamily::mono, 10, QFont::Medium);
  f.setLetterSpacing(QFont::AbsoluteSpacing, 0.8);
  setFont(f);
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, color);
  setPalette(pal);
}

NimboLogo::NimboLogo(qreal size, bool showsWordmark, QWidget* parent)
    : QWidget(parent), size_(size), wordmark_(showsWordmark) {
  QFont f = nimboFont(FontFamily::display, 0.75 * size, QFont::DemiBold);
  f.setLetterSpacing(QFont::AbsoluteSpacing, -0.02 * 0.75 * size);
  setFont(f);
}

qreal NimboLogo::bracketWidth(qreal size) { return std::max(1.0, 0.075 * size); }

QSize NimboLogo::sizeHint() const {
  qreal w = size_;
  if (wordmark_) w += 0.4 * size_ + QFontMetricsF(font()).horizontalAdvance(QStringLiteral("Nimbo"));
  return QSize(int(std::ceil(w + 0.6 * size_)), int(std::ceil(size_ * 1.6)));
}

void NimboLogo::paintEvent(QPaintEvent*) {
  using namespace NimboTokens;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size_;
  const QRectF mark((height() - s) / 2, (height() - s) / 2, s, s);
  // Glow, then the mark with its faint white rim.
  for (int i = 3; i >= 1; --i) {
    QColor g = accentGlow;
    g.setAlphaF(accentGlow.alphaF() / (i + 1));
    const qreal grow = 0.6 * s * i / 3;
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(mark.adjusted(-grow / 2, -grow / 2, grow / 2, grow / 2), 0.25 * s + grow / 2,
                      0.25 * s + grow / 2);
  }
  p.setBrush(accent);
  p.setPen(QPen(QColor(255, 255, 255, 26), 1));
  p.drawRoundedRect(mark, 0.25 * s, 0.25 * s);
  // Two corner brackets: a capture frame.
  const qreal w = s, i = 0.15 * w, a = 0.3 * w;
  QPen pen(accentInk, bracketWidth(s));
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  const QPointF o = mark.topLeft();
  QPainterPath path;
  path.moveTo(o + QPointF(i, i + a));
  path.lineTo(o + QPointF(i, i));
  path.lineTo(o + QPointF(i + a, i));
  path.moveTo(o + QPointF(w - i, w - i - a));
  path.lineTo(o + QPointF(w - i, w - i));
  path.lineTo(o + QPointF(w - i - a, w - i));
  p.drawPath(path);
  if (wordmark_) {
    p.setPen(ink0);
    p.drawText(QRectF(mark.right() + 0.4 * s, 0, width(), height()), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("Nimbo"));
  }
}

NimboHostingView::NimboHostingView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_NoSystemBackground);
  setAutoFillBackground(false);
}

}  // namespace nimbo

namespace nimbo {

void BackgroundDrag::press(QWidget* window, const QPointF& globalPosition) {
  grab_ = globalPosition.toPoint() - window->pos();
  byCompositor_ = QGuiApplication::platformName() == QLatin1String("wayland") && window->windowHandle() &&
                  window->windowHandle()->startSystemMove();
}

void BackgroundDrag::drag(QWidget* window, const QPointF& globalPosition, Qt::MouseButtons buttons) {
  if (!byCompositor_ && (buttons & Qt::LeftButton)) window->move(globalPosition.toPoint() - grab_);
}

}  // namespace nimbo
