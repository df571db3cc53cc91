#include "editor/renderer.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <QThread>
#include <QtConcurrent/QtConcurrentMap>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

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

// Bands smaller than this are painted on the calling thread.
constexpr qint64 kParallelPixels = 1 << 20;
// Strokes, heads and pills never reach further than this beyond an
// annotation's bounding box.
constexpr double kPaintMargin = 64;

// The flattened canvas for `region` (image rows counted from the top), the
// full canvas when `region` is empty. Horizontal bands are painted on the
// thread pool, each clipped to its rows and given only the annotations that
// can reach them.
std::optional<QImage> composite(const Canvas& canvas, QRect region = {}) {
  const QImage& base = canvas.baseImage();
  if (base.width() < 1 || base.height() < 1) return std::nullopt;
  const QRect whole = base.rect();
  region = region.isEmpty() ? whole : region.intersected(whole);
  if (region.isEmpty()) return std::nullopt;
  QImage out = region == whole ? base : base.copy(region);
  out = std::move(out).convertToFormat(QImage::Format_ARGB32_Premultiplied);
  if (out.isNull() || out.size() != region.size()) return std::nullopt;
  const std::vector<Annotation>& annotations = canvas.annotations();
  if (annotations.empty()) return out;

  const int bands = out.width() * qint64(out.height()) >= 2 * kParallelPixels
                        ? std::max(1, std::min(QThread::idealThreadCount() * 2, out.height() / 64))
                        : 1;
  const int H = base.height();
  auto paintBand = [&](int band) {
    const int y0 = out.height() * band / bands, y1 = out.height() * (band + 1) / bands;
    if (y1 <= y0) return;
    QImage rows(out.scanLine(y0), out.width(), y1 - y0, out.bytesPerLine(), out.format());
    // The band's rows in image pixels with y up.
    const QRectF reach(region.x(), H - (region.y() + y1), region.width(), y1 - y0);
    QPainter p(&rows);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.translate(-region.x(), -(region.y() + y0));
    p.setTransform(imageSpace(H), true);
    for (const Annotation& a : annotations) {
      const QRectF box = boundingBox(a).adjusted(-kPaintMargin, -kPaintMargin, kPaintMargin, kPaintMargin);
      if (box.intersects(reach)) drawAnnotation(p, a);
    }
  };
  if (bands == 1) {
    paintBand(0);
  } else {
    std::vector<int> indices(bands);
    std::iota(indices.begin(), indices.end(), 0);
    QtConcurrent::blockingMap(indices, paintBand);
  }
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
  const QImage& base = canvas.baseImage();
  const int W = base.width(), H = base.height();
  if (cell < 1 || W < 1 || H < 1) return std::nullopt;
  const QRectF inside = rect.intersected(QRectF(0, 0, W, H));
  if (inside.isEmpty() || inside.width() <= 0 || inside.height() <= 0) return std::nullopt;
  const int left = int(std::floor(inside.left())), right = int(std::ceil(inside.right()));
  const int bottom = int(std::floor(inside.top())), top = int(std::ceil(inside.bottom()));  // y up
  // Only the cut-out is flattened; rows counted from the top of the image.
  std::optional<QImage> cutOut = composite(canvas, QRect(left, H - top, right - left, top - bottom));
  if (!cutOut) return std::nullopt;
  QImage& cut = *cutOut;
  const int w = cut.width(), h = cut.height();
  // Cells start at the lower-left corner: the bottom row of the cut is row
  // h-1. Each cell is the mean of its premultiplied pixels.
  const int cellRows = (h + cell - 1) / cell;
  auto pixelateRow = [&](int cy) {
    const int y1 = h - cy * cell, y0 = std::max(0, y1 - cell);
    for (int x0 = 0; x0 < w; x0 += cell) {
      const int x1 = std::min(w, x0 + cell);
      quint32 r = 0, g = 0, b = 0, a = 0;
      for (int y = y0; y < y1; ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(cut.constScanLine(y));
        for (int x = x0; x < x1; ++x) {
          const QRgb c = row[x];
          r += qRed(c), g += qGreen(c), b += qBlue(c), a += qAlpha(c);
        }
      }
      const quint32 n = quint32((y1 - y0) * (x1 - x0)), half = n / 2;
      const QRgb c = qRgba(int((r + half) / n), int((g + half) / n), int((b + half) / n), int((a + half) / n));
      for (int y = y0; y < y1; ++y) {
        QRgb* row = reinterpret_cast<QRgb*>(cut.scanLine(y));
        std::fill(row + x0, row + x1, c);
      }
    }
  };
  if (w * qint64(h) < kParallelPixels) {
    for (int cy = 0; cy < cellRows; ++cy) pixelateRow(cy);
  } else {
    std::vector<int> rows(cellRows);
    std::iota(rows.begin(), rows.end(), 0);
    QtConcurrent::blockingMap(rows, pixelateRow);
  }
  return cut;
}

}  // namespace nimbo
