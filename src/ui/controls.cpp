#include "ui/controls.h"

#include <QEnterEvent>
#include <QFocusEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "ui/design_system.h"

namespace nimbo {

namespace {

// Every symbol is drawn on a 16 × 16 grid, then scaled into its box.
void drawOnGrid(QPainter& p, Symbol s, const QColor& c) {
  QPen pen(c, 1.4);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  switch (s) {
    case Symbol::magnifyingGlass:
      p.drawEllipse(QPointF(6.8, 6.8), 4.6, 4.6);
      p.drawLine(QPointF(10.2, 10.2), QPointF(14.2, 14.2));
      break;
    case Symbol::gear: {
      QPainterPath teeth;
      const int n = 8;
      for (int i = 0; i < 2 * n; ++i) {
        // Each tooth: two points on the outer radius, then two on the inner.
        const qreal a0 = (i - 0.5) * M_PI / n, a1 = (i + 0.5) * M_PI / n;
        const qreal r = (i % 2 == 0) ? 7.0 : 5.4;
        const QPointF p0(8 + r * std::cos(a0 + 0.08), 8 + r * std::sin(a0 + 0.08));
        const QPointF p1(8 + r * std::cos(a1 - 0.08), 8 + r * std::sin(a1 - 0.08));
        if (i == 0) teeth.moveTo(p0);
        else teeth.lineTo(p0);
        teeth.lineTo(p1);
      }
      teeth.closeSubpath();
      p.drawPath(teeth);
      p.drawEllipse(QPointF(8, 8), 2.2, 2.2);
      break;
    }
    case Symbol::arrowClockwise: {
      const QRectF arc(2.5, 2.5, 11, 11);
      p.drawArc(arc, 60 * 16, -300 * 16);
      // The head at the arc's open end, pointing along it.
      const QPointF tip(8 + 5.5 * std::cos(M_PI / 3), 8 - 5.5 * std::sin(M_PI / 3));
      p.drawLine(tip, tip + QPointF(-3.2, -0.6));
      p.drawLine(tip, tip + QPointF(0.6, 3.0));
      break;
    }
    case Symbol::region: {
      QPen dashed = pen;
      dashed.setCapStyle(Qt::FlatCap);
      dashed.setDashPattern({1.6, 1.4});
      p.setPen(dashed);
      p.drawRoundedRect(QRectF(2, 2, 12, 12), 2, 2);
      p.setPen(Qt::NoPen);
      p.setBrush(c);
      p.drawEllipse(QPointF(8, 8), 2, 2);
      break;
    }
    case Symbol::cloudUpload: {
      QPainterPath cloud;
      cloud.moveTo(4.5, 12.5);
      cloud.arcTo(QRectF(1, 7, 6, 5.5), 270, -180);
      cloud.arcTo(QRectF(3.5, 2.5, 8.5, 8), 160, -150);
      cloud.arcTo(QRectF(10, 6.5, 5, 6), 90, -180);
      cloud.lineTo(11, 12.5);
      p.drawPath(cloud);
      p.drawLine(QPointF(8, 14.5), QPointF(8, 8.2));
      p.drawLine(QPointF(8, 8.2), QPointF(6.2, 10));
      p.drawLine(QPointF(8, 8.2), QPointF(9.8, 10));
      break;
    }
    case Symbol::window:
      p.drawRoundedRect(QRectF(1.5, 2.5, 13, 11), 2, 2);
      p.drawLine(QPointF(1.5, 5.5), QPointF(14.5, 5.5));
      p.setPen(Qt::NoPen);
      p.setBrush(c);
      for (int i = 0; i < 3; ++i) p.drawEllipse(QPointF(3.6 + 1.6 * i, 4), 0.55, 0.55);
      break;
    case Symbol::recordCircle:
      p.drawEllipse(QPointF(8, 8), 6.3, 6.3);
      p.setPen(Qt::NoPen);
      p.setBrush(c);
      p.drawEllipse(QPointF(8, 8), 3.3, 3.3);
      break;
    case Symbol::stopCircle:
      p.drawEllipse(QPointF(8, 8), 6.3, 6.3);
      p.setPen(Qt::NoPen);
      p.setBrush(c);
      p.drawRoundedRect(QRectF(5.2, 5.2, 5.6, 5.6), 1, 1);
      break;
    case Symbol::photo:
      p.drawRoundedRect(QRectF(1.5, 2.5, 13, 11), 2, 2);
      p.drawEllipse(QPointF(5.3, 6), 1.3, 1.3);
      p.drawPolyline(QPolygonF({QPointF(2, 12.5), QPointF(6.5, 8.5), QPointF(9, 10.8), QPointF(10.8, 9.2),
                                QPointF(14, 12)}));
      break;
    case Symbol::photoStack: {
      p.save();
      p.translate(8, 8);
      p.rotate(-12);
      p.translate(-8, -8);
      p.drawRoundedRect(QRectF(2.2, 1.2, 11.5, 9.5), 1.6, 1.6);
      p.restore();
      p.setPen(pen);
      // The photo in front hides the frame behind it.
      p.setBrush(NimboTokens::bg0);
      p.drawRoundedRect(QRectF(1, 5, 12, 9.5), 1.6, 1.6);
      p.setBrush(Qt::NoBrush);
      p.drawEllipse(QPointF(4.3, 8), 1, 1);
      p.drawPolyline(QPolygonF({QPointF(1.5, 13.6), QPointF(5.3, 10.4), QPointF(7.5, 12.2), QPointF(9.2, 10.9),
                                QPointF(12.5, 13.5)}));
      break;
    }
    case Symbol::playFill: {
      p.setPen(Qt::NoPen);
      p.setBrush(c);
      QPainterPath tri;
      tri.moveTo(4, 2.5);
      tri.lineTo(13.5, 8);
      tri.lineTo(4, 13.5);
      tri.closeSubpath();
      p.drawPath(tri);
      break;
    }
    case Symbol::copyDocs:
      p.drawRoundedRect(QRectF(5.5, 5.5, 8.5, 9.5), 1.6, 1.6);
      p.drawPolyline(QPolygonF({QPointF(3.2, 11), QPointF(2.2, 11), QPointF(2.2, 1.5), QPointF(10.5, 1.5),
                                QPointF(10.5, 3)}));
      break;
    case Symbol::arrowDownCircleFill: {
      // A filled disc with the arrow cut out of it, so whatever lies below
      // shows through.
      QPainterPath disc;
      disc.addEllipse(QPointF(8, 8), 7, 7);
      QPainterPath arrow;
      arrow.moveTo(8, 4);
      arrow.lineTo(8, 11.5);
      arrow.moveTo(5, 8.7);
      arrow.lineTo(8, 11.7);
      arrow.lineTo(11, 8.7);
      QPainterPathStroker stroker;
      stroker.setWidth(1.6);
      stroker.setCapStyle(Qt::RoundCap);
      stroker.setJoinStyle(Qt::RoundJoin);
      p.setPen(Qt::NoPen);
      p.setBrush(c);
      p.drawPath(disc.subtracted(stroker.createStroke(arrow)));
      break;
    }
  }
}

}  // namespace

void paintSymbol(QPainter& p, Symbol symbol, const QRectF& box, const QColor& color) {
  const qreal side = std::min(box.width(), box.height());
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.translate(box.center().x() - side / 2, box.center().y() - side / 2);
  p.scale(side / 16, side / 16);
  drawOnGrid(p, symbol, color);
  p.restore();
}

void paintFocusRing(QPainter& p, const QRectF& r, qreal radius) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(NimboTokens::accent, 1.5));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(r.adjusted(0.75, 0.75, -0.75, -0.75), radius, radius);
  p.restore();
}

SymbolView::SymbolView(Symbol symbol, qreal points, const QColor& color, QWidget* parent)
    : QWidget(parent), symbol_(symbol), points_(points), color_(color) {
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  setAttribute(Qt::WA_TranslucentBackground);
}

QSize SymbolView::sizeHint() const {
  const int s = int(std::ceil(points_));
  return {s, s};
}

void SymbolView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  paintSymbol(p, symbol_, QRectF(rect()), color_);
}

IconButton::IconButton(Symbol symbol, const QString& name, std::function<void()> action, QWidget* parent,
                       qreal points, const QColor& color)
    : QAbstractButton(parent), symbol_(symbol), points_(points), color_(color.isValid() ? color : NimboTokens::ink2) {
  setAccessibleName(name);
  setToolTip(name);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  if (action) connect(this, &QAbstractButton::clicked, this, [action] { action(); });
}

QSize IconButton::sizeHint() const {
  const int s = int(std::ceil(points_ + 11));
  return {s, s};
}

void IconButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r(rect());
  if (hovered_ || isDown()) {
    p.setPen(Qt::NoPen);
    p.setBrush(isDown() ? NimboTokens::bg3 : NimboTokens::bg2);
    p.drawRoundedRect(r, 6, 6);
  }
  if (!isEnabled()) p.setOpacity(0.4);
  const QRectF box(r.center().x() - points_ / 2, r.center().y() - points_ / 2, points_, points_);
  paintSymbol(p, symbol_, box, hovered_ ? NimboTokens::ink0 : color_);
  if (keyboardFocus_) paintFocusRing(p, r, 6);
}

void IconButton::enterEvent(QEnterEvent* e) {
  hovered_ = true;
  update();
  QAbstractButton::enterEvent(e);
}

void IconButton::leaveEvent(QEvent* e) {
  hovered_ = false;
  update();
  QAbstractButton::leaveEvent(e);
}

void IconButton::focusInEvent(QFocusEvent* e) {
  keyboardFocus_ = e->reason() == Qt::TabFocusReason || e->reason() == Qt::BacktabFocusReason;
  QAbstractButton::focusInEvent(e);
}

void IconButton::focusOutEvent(QFocusEvent* e) {
  keyboardFocus_ = false;
  QAbstractButton::focusOutEvent(e);
}

TextButton::TextButton(const QString& text, const QFont& font, const QColor& color, std::function<void()> action,
                       QWidget* parent)
    : QAbstractButton(parent), color_(color) {
  setText(text);
  setFont(font);
  setAccessibleName(text);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  if (action) connect(this, &QAbstractButton::clicked, this, [action] { action(); });
}

QSize TextButton::sizeHint() const {
  const QFontMetricsF fm(font());
  return {int(std::ceil(fm.horizontalAdvance(text()))) + 8, int(std::ceil(fm.height())) + 6};
}

void TextButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::TextAntialiasing);
  QColor c = color_;
  if (hovered_) c = c.lightness() > 200 ? NimboTokens::ink0 : c.lighter(135);
  if (isDown()) c = c.darker(115);
  p.setPen(c);
  p.drawText(rect(), Qt::AlignCenter, text());
  if (keyboardFocus_) paintFocusRing(p, QRectF(rect()), 4);
}

void TextButton::enterEvent(QEnterEvent* e) {
  hovered_ = true;
  update();
  QAbstractButton::enterEvent(e);
}

void TextButton::leaveEvent(QEvent* e) {
  hovered_ = false;
  update();
  QAbstractButton::leaveEvent(e);
}

void TextButton::focusInEvent(QFocusEvent* e) {
  keyboardFocus_ = e->reason() == Qt::TabFocusReason || e->reason() == Qt::BacktabFocusReason;
  update();
  QAbstractButton::focusInEvent(e);
}

void TextButton::focusOutEvent(QFocusEvent* e) {
  keyboardFocus_ = false;
  update();
  QAbstractButton::focusOutEvent(e);
}

}  // namespace nimbo
