#include "capture/png_image.h"

#include "capture/png_writer.h"

namespace nimbo {

QByteArray encodePng(const QImage& image) {
  if (image.isNull()) return {};
  QImage src = image;
  const bool opaque = !src.hasAlphaChannel();
  const QImage::Format want = opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32;
  if (src.format() != want) src = src.convertToFormat(want);
  if (src.isNull()) return {};
  const std::vector<uint8_t> bytes =
      png::encode(src.constBits(), src.width(), src.height(), int(src.bytesPerLine()), opaque);
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

}  // namespace nimbo
