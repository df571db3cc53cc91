#include "editor/renderer.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "capture/png_image.h"
#include "editor/canvas.h"

namespace nimbo {

QTransform imageSpace(double h) { return QTransform(1, 0, 0, -1, 0, h); }

namespace {

struct Draw {
  QPainter& p;
  void operator()(const ArrowAnnotation& a) const {
    const QPointF d = a.to - a.from;
    if (std::hypot(d.x(), d.y()) <= 0.5) return;
    const double angle = std::atan2(d.y(), d.x());
    const double t = a.thickness, h = 3.5 * t;
    const QPointF shaftEnd = a.to - 0.85 * h * QPointF(std::cos(angle), std::sin(angle));
    p.save();
    QPen pen(a.color, t);
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    p.drawLine(a.from, shaftEnd);
    const QPointF c1 = a.to - h * QPointF(std::cos(angle - M_PI / 7), std::sin(angle - M_PI / 7));
    const QPointF c2 = a.to - h * QPointF(std::cos(angle + M_PI / 7), std::sin(angle + M_PI / 7));
    QPainterPath head;
    head.setFillRule(Qt::WindingFill);
    head.moveTo(a.to);
    head.lineTo(c1);
    head.lineTo(c2);
    head.closeSubpath();
    p.fillPath(head, a.color);
    p.restore();
  }
  void operator()(const RectAnnotation& r) const {
    p.save();
    p.setOpacity(r.alpha);
    if (r.filled) {
      p.fillRect(r.rect, r.color);
    } else {
      QPen pen(r.color, r.thickness);
      pen.setJoinStyle(Qt::RoundJoin);
      p.setPen(pen);
      p.setBrush(Qt::NoBrush);
      const double in = r.thickness / 2;
      p.drawRect(r.rect.adjusted(in, in, -in, -in));
    }
    p.restore();
  }
  void operator()(const StrokeAnnotation& s) const {
    if (s.points.size() < 2) return;
    p.save();
    p.setOpacity(s.alpha);
    QPen pen(s.color, s.thickness);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    // One path, stroked once: the translucent line does not darken where it
    // crosses itself.
    QPainterPath path(s.points.front());
    for (size_t i = 1; i < s.points.size(); ++i) path.lineTo(s.points[i]);
    p.drawPath(path);
    p.restore();
  }
  void operator()(const BlurAnnotation& b) const {
    if (b.blurredImage.isNull()) return;
    // The patch is stored top row first; in y-up space it is drawn flipped
    // back so its rows land where they were cut.
    p.save();
    p.translate(b.rect.x(), b.rect.y() + b.rect.height());
    p.scale(1, -1);
    p.drawImage(QRectF(0, 0, b.rect.width(), b.rect.height()), b.blurredImage);
    p.restore();
  }
  void operator()(const TextAnnotation& t) const {
    const QFont font = annotationFont(t.fontSize);
    const QFontMetricsF fm(font);
    const double w = fm.horizontalAdvance(t.text), asc = fm.ascent(), desc = -fm.descent();
    p.save();
    if (t.hasPillBackground) {
      QPainterPath pill;
      pill.addRoundedRect(QRectF(t.baselinePosition.x() - 6, t.baselinePosition.y() + desc - 3, w + 12,
                                 (asc - desc) + 6),
                          4, 4);
      p.fillPath(pill, QColor(0, 0, 0, int(0.7 * 255 + 0.5)));
    }
    // Text is set upright: flip back around its baseline.
    p.translate(t.baselinePosition);
    p.scale(1, -1);
    p.setFont(font);
    p.setPen(t.color);
    p.drawText(QPointF(0, 0), t.text);
    p.restore();
  }
};

std::optional<QImage> composite(const Canvas& canvas) {
  const QImage& base = canvas.baseImage();
  if (base.width() < 1 || base.height() < 1) return std::nullopt;
  QImage out(base.size(), QImage::Format_ARGB32_Premultiplied);
  if (out.isNull()) return std::nullopt;
  out.fill(Qt::transparent);
  QPainter p(&out);
  p.drawImage(QPoint(0, 0), base);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  p.setTransform(imageSpace(base.height()));
  for (const Annotation& a : canvas.annotations()) drawAnnotation(p, a);
  p.end();
  return out;
}

}  // namespace

void drawAnnotation(QPainter& p, const Annotation& a) {
  p.save();
  std::visit(Draw{p}, a);
  p.restore();
}

std::optional<QImage> Flattener::image(const Canvas& canvas) { return composite(canvas); }

std::optional<QByteArray> Flattener::pngData(const Canvas& canvas) {
  std::optional<QImage> img = composite(canvas);
  if (!img) return std::nullopt;
  return pngData(*img);
}

std::optional<QByteArray> Flattener::pngData(const QImage& flattened) {
  QByteArray png = encodePng(flattened);
  if (png.isEmpty()) return std::nullopt;
  return png;
}

std::optional<QImage> bakePixelate(const Canvas& canvas, const QRectF& rect, int cell) {
  std::optional<QImage> full = composite(canvas);
  if (!full || cell < 1) return std::nullopt;
  const int W = full->width(), H = full->height();
  const QRectF inside = rect.intersected(QRectF(0, 0, W, H));
  if (inside.isEmpty() || inside.width() <= 0 || inside.height() <= 0) return std::nullopt;
  const int left = int(std::floor(inside.left())), right = int(std::ceil(inside.right()));
  const int bottom = int(std::floor(inside.top())), top = int(std::ceil(inside.bottom()));  // y up
  // Rows counted from the top of the image.
  QImage cut = full->copy(QRect(left, H - top, right - left, top - bottom)).convertToFormat(QImage::Format_ARGB32);
  if (cut.isNull()) return std::nullopt;
  const int w = cut.width(), h = cut.height();
  // Cells start at the lower-left corner: the bottom row of the cut is row h-1.
  for (int cy = 0; cy < h; cy += cell) {
    const int y1 = h - cy, y0 = std::max(0, y1 - cell);
    for (int x0 = 0; x0 < w; x0 += cell) {
      const int x1 = std::min(w, x0 + cell);
      quint64 r = 0, g = 0, b = 0, a = 0, n = 0;
      for (int y = y0; y < y1; ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(cut.constScanLine(y));
        for (int x = x0; x < x1; ++x, ++n) {
          r += qRed(row[x]), g += qGreen(row[x]), b += qBlue(row[x]), a += qAlpha(row[x]);
        }
      }
      const QRgb c = qRgba(int(r / n), int(g / n), int(b / n), int(a / n));
      for (int y = y0; y < y1; ++y) {
        QRgb* row = reinterpret_cast<QRgb*>(cut.scanLine(y));
        for (int x = x0; x < x1; ++x) row[x] = c;
      }
    }
  }
  return cut;
}

}  // namespace nimbo
