#include "editor/annotation.h"

#include <QFontMetricsF>

#include <algorithm>

#include "ui/design_system.h"

namespace nimbo {

QFont annotationFont(double size) {
  QFont f = nimboFont(FontFamily::interface, size, QFont::Medium);
  f.setPixelSize(std::max(1, qRound(size)));
  return f;
}

bool rectContains(const QRectF& r, const QPointF& p) {
  return p.x() >= r.left() && p.x() < r.left() + r.width() && p.y() >= r.top() && p.y() < r.top() + r.height();
}

namespace {

QRectF grown(const QRectF& r, double by) { return r.adjusted(-by, -by, by, by); }

QRectF spanned(QPointF a, QPointF b) {
  return QRectF(QPointF(std::min(a.x(), b.x()), std::min(a.y(), b.y())),
                QPointF(std::max(a.x(), b.x()), std::max(a.y(), b.y())));
}

struct Box {
  QRectF operator()(const ArrowAnnotation& a) const { return grown(spanned(a.from, a.to), 4.5 * a.thickness); }
  QRectF operator()(const RectAnnotation& r) const { return grown(r.rect, r.thickness); }
  QRectF operator()(const StrokeAnnotation& s) const {
    if (s.points.empty()) return QRectF(0, 0, 0, 0);
    // By hand: QRectF::united ignores the empty rectangles of single points.
    double x0 = s.points.front().x(), x1 = x0, y0 = s.points.front().y(), y1 = y0;
    for (const QPointF& p : s.points) {
      x0 = std::min(x0, p.x()), x1 = std::max(x1, p.x());
      y0 = std::min(y0, p.y()), y1 = std::max(y1, p.y());
    }
    return grown(QRectF(QPointF(x0, y0), QPointF(x1, y1)), s.thickness / 2 + 1);
  }
  QRectF operator()(const BlurAnnotation& b) const { return QRectF(b.rect); }
  QRectF operator()(const TextAnnotation& t) const {
    const QFontMetricsF fm(annotationFont(t.fontSize));
    const double w = fm.horizontalAdvance(t.text);
    const double a = fm.ascent(), d = -fm.descent();  // d is negative, as a descender
    const double p = t.hasPillBackground ? 6 : 2;
    const double x = t.baselinePosition.x(), y = t.baselinePosition.y();
    return QRectF(QPointF(x - p, y + d - p), QPointF(x + w + p, y + a + p));
  }
};

struct Noun {
  QString operator()(const ArrowAnnotation&) const { return QStringLiteral("Arrow"); }
  QString operator()(const RectAnnotation&) const { return QStringLiteral("Rectangle"); }
  QString operator()(const StrokeAnnotation&) const { return QStringLiteral("Highlight"); }
  QString operator()(const BlurAnnotation&) const { return QStringLiteral("Blur"); }
  QString operator()(const TextAnnotation&) const { return QStringLiteral("Text"); }
};

}  // namespace

QRectF boundingBox(const Annotation& a) { return std::visit(Box{}, a); }
QString actionNoun(const Annotation& a) { return std::visit(Noun{}, a); }

}  // namespace nimbo
