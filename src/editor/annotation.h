#pragma once
// The five kinds of annotation: immutable values in image pixels, origin at
// the bottom-left of the image, y up.
#include <QColor>
#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QString>

#include <variant>
#include <vector>

namespace nimbo {

struct ArrowAnnotation {
  QPointF from, to;
  QColor color;
  double thickness = 5;
};

struct RectAnnotation {
  QRectF rect;  // y up: y() is the bottom edge
  QColor color;
  double thickness = 4;
  bool filled = false;
  double alpha = 1;
};

struct StrokeAnnotation {
  std::vector<QPointF> points;
  QColor color;
  double thickness = 14;
  double alpha = 0.4;
};

struct BlurAnnotation {
  QRect rect;           // whole pixels
  QImage blurredImage;  // made when the annotation was created
};

struct TextAnnotation {
  QPointF baselinePosition;
  QString text;
  double fontSize = 18;
  QColor color;
  bool hasPillBackground = true;
};

using Annotation = std::variant<ArrowAnnotation, RectAnnotation, StrokeAnnotation, BlurAnnotation, TextAnnotation>;

// The rectangle used for hit testing and the selection outline, grown so a
// click near a thin shape still hits it.
QRectF boundingBox(const Annotation& a);
// The noun in undo action names ("Arrow", "Rectangle", "Highlight", "Blur", "Text").
QString actionNoun(const Annotation& a);
// Containment with the minimum edges inside and the maximum edges outside.
bool rectContains(const QRectF& r, const QPointF& p);
// The text font: "Inter" medium at `size` pixels, or the system font.
QFont annotationFont(double size);

}  // namespace nimbo
