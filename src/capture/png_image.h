#pragma once
#include <QByteArray>
#include <QImage>

namespace nimbo {

// PNG bytes of a Qt image through the project's encoder; empty on failure.
// Opaque images are written as RGB.
QByteArray encodePng(const QImage& image);

}  // namespace nimbo
