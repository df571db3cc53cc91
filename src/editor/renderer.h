#pragma once
// How annotations paint, the blur tool's pixellated patch, and the flattened
// picture the editor saves. Painters handed to drawAnnotation are already set
// up for image pixels with y up (see imageSpace()).
#include <QByteArray>
#include <QImage>
#include <QTransform>

#include <optional>

#include "editor/annotation.h"

class QPainter;

namespace nimbo {

class Canvas;

// Maps image pixels, y up, onto a top-left-origin image of height `h`.
QTransform imageSpace(double imageHeight);
void drawAnnotation(QPainter& p, const Annotation& a);

namespace Flattener {
std::optional<QImage> image(const Canvas& canvas);
std::optional<QByteArray> pngData(const Canvas& canvas);
// The PNG of an image already flattened by image().
std::optional<QByteArray> pngData(const QImage& flattened);
}  // namespace Flattener

// The region under `rect` (image pixels, y up) of the canvas as it stands,
// pixellated in square cells of `cell` pixels aligned to the region's
// lower-left corner, each the average of the pixels it covers.
std::optional<QImage> bakePixelate(const Canvas& canvas, const QRectF& rect, int cell);

}  // namespace nimbo
