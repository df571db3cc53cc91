#include "editor/annotation_tool.h"

#include <QPainter>
#include <QUuid>

#include <cmath>

#include "editor/canvas.h"
#include "editor/renderer.h"

namespace nimbo {

QRectF normalisedRect(QPointF p, QPointF q) {
  return QRectF(std::min(p.x(), q.x()), std::min(p.y(), q.y()), std::abs(p.x() - q.x()), std::abs(p.y() - q.y()));
}

void SelectTool::start(QPointF at, Canvas& canvas, Qt::KeyboardModifiers) { canvas.selectAnnotation(at); }

// Drag tools

void DragTool::start(QPointF at, Canvas& canvas, Qt::KeyboardModifiers) {
  if (usesColor()) strokeColor = canvas.color(this);
  origin = current = at;
}

void DragTool::update(QPointF to, Canvas&, Qt::KeyboardModifiers m) {
  if (origin) current = endPoint(to, m);
}

// Arrow

QPointF ArrowTool::endPoint(QPointF p, Qt::KeyboardModifiers m) const {
  if (!(m & Qt::ShiftModifier) || !origin) return p;
  const QPointF d = p - *origin;
  // std::round rounds halves away from zero.
  const double snapped = std::round(std::atan2(d.y(), d.x()) / (M_PI / 4)) * (M_PI / 4);
  const double length = std::hypot(d.x(), d.y());
  return *origin + length * QPointF(std::cos(snapped), std::sin(snapped));
}

std::optional<Annotation> ArrowTool::finish(QPointF at, Canvas&, Qt::KeyboardModifiers m) {
  if (!origin) {
    current.reset();
    return std::nullopt;
  }
  const QPointF from = *origin, end = endPoint(at, m);
  origin.reset();
  current.reset();
  if (std::abs(end.x() - from.x()) < 3 && std::abs(end.y() - from.y()) < 3) return std::nullopt;  // a click
  return ArrowAnnotation{from, end, strokeColor, thickness};
}

void ArrowTool::drawActive(QPainter& p) const {
  if (origin && current) drawAnnotation(p, ArrowAnnotation{*origin, *current, strokeColor, thickness});
}

// Rectangle

QPointF RectTool::endPoint(QPointF p, Qt::KeyboardModifiers m) const {
  if (!(m & Qt::ShiftModifier) || !origin) return p;
  const QPointF d = p - *origin;
  const double side = std::max(std::abs(d.x()), std::abs(d.y()));
  return *origin + QPointF(d.x() < 0 ? -side : side, d.y() < 0 ? -side : side);
}

std::optional<Annotation> RectTool::finish(QPointF at, Canvas&, Qt::KeyboardModifiers m) {
  if (!origin) return std::nullopt;
  const QRectF r = normalisedRect(*origin, endPoint(at, m));
  origin.reset();
  current.reset();
  if (r.width() < 3 || r.height() < 3) return std::nullopt;
  return RectAnnotation{r, strokeColor, thickness, false, 1};
}

void RectTool::drawActive(QPainter& p) const {
  if (origin && current) drawAnnotation(p, RectAnnotation{normalisedRect(*origin, *current), strokeColor, thickness, false, 1});
}

// Highlighter

void HighlighterTool::start(QPointF at, Canvas& canvas, Qt::KeyboardModifiers) {
  strokeColor = canvas.color(this);
  points = {at};
}

void HighlighterTool::update(QPointF to, Canvas&, Qt::KeyboardModifiers) {
  if (!points.empty()) {
    const QPointF d = to - points.back();
    if (d.x() * d.x() + d.y() * d.y() < 4) return;  // under 2 pixels
  }
  points.push_back(to);
}

std::optional<Annotation> HighlighterTool::finish(QPointF at, Canvas&, Qt::KeyboardModifiers) {
  if (points.empty() || points.back() != at) points.push_back(at);
  std::vector<QPointF> done;
  done.swap(points);
  if (done.size() < 2) return std::nullopt;
  return StrokeAnnotation{std::move(done), strokeColor, thickness, alpha};
}

void HighlighterTool::drawActive(QPainter& p) const {
  if (points.size() >= 2) drawAnnotation(p, StrokeAnnotation{points, strokeColor, thickness, alpha});
}

// Text

void TextTool::start(QPointF at, Canvas& canvas, Qt::KeyboardModifiers) {
  canvas.setPendingTextEntry(Canvas::TextEntryRequest{QUuid::createUuid(), at, canvas.color(this)});
}

// Blur

std::optional<Annotation> BlurTool::finish(QPointF at, Canvas& canvas, Qt::KeyboardModifiers) {
  if (!origin) return std::nullopt;
  const QRectF r = normalisedRect(*origin, at);
  origin.reset();
  current.reset();
  if (r.width() < 6 || r.height() < 6) return std::nullopt;
  const QRect whole(int(std::floor(r.x())), int(std::floor(r.y())), int(std::ceil(r.width())),
                    int(std::ceil(r.height())));
  std::optional<QImage> patch = bakePixelate(canvas, QRectF(whole), pixelScale);
  if (!patch) return std::nullopt;
  return BlurAnnotation{whole, *patch};
}

void BlurTool::drawActive(QPainter& p) const {
  if (!origin || !current) return;
  p.save();
  QPen pen(QColor(202, 245, 77), 2);
  pen.setDashPattern({3, 2});  // 6 on, 4 off at width 2
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  p.drawRect(normalisedRect(*origin, *current));
  p.restore();
}

const std::vector<AnnotationTool*>& sharedTools() {
  static SelectTool select;
  static ArrowTool arrow;
  static RectTool rect;
  static HighlighterTool highlighter;
  static TextTool text;
  static BlurTool blur;
  static const std::vector<AnnotationTool*> tools{&select, &arrow, &rect, &highlighter, &text, &blur};
  return tools;
}

AnnotationTool* toolForShortcut(const QString& key) {
  for (AnnotationTool* t : sharedTools())
    if (t->shortcut().toLower() == key.toLower()) return t;
  return nullptr;
}

}  // namespace nimbo
