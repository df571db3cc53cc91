#include "capture/thumbnail_maker.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

#include "capture/png_image.h"
#include "platform/platform.h"

namespace nimbo::ThumbnailMaker {

QSize thumbnailSize(QSize source, int maxEdge) {
  const int longest = std::max(source.width(), source.height());
  const double s = longest > maxEdge ? double(maxEdge) / longest : 1.0;
  return QSize(std::max(1, int(source.width() * s)), std::max(1, int(source.height() * s)));
}

std::optional<QByteArray> pngData(const QImage& image, int maxEdge) {
  if (image.isNull()) return std::nullopt;
  const QSize size = thumbnailSize(image.size(), maxEdge);
  QImage canvas(size, QImage::Format_ARGB32_Premultiplied);
  if (canvas.isNull()) return std::nullopt;
  canvas.fill(Qt::transparent);
  {
    QPainter p(&canvas);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    // Qt's smooth scaling averages all source pixels when shrinking a lot,
    // where a single bilinear pass would alias text.
    const QImage scaled = size == image.size()
                              ? image
                              : image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    p.drawImage(QRect(QPoint(0, 0), size), scaled);
  }
  if (!image.hasAlphaChannel()) canvas = canvas.convertToFormat(QImage::Format_RGB32);
  QByteArray png = encodePng(canvas);
  if (png.isEmpty()) return std::nullopt;
  return png;
}

std::optional<VideoPoster> videoPoster(const QString& path) {
  MediaReader& media = *platform().media;
  const std::optional<VideoInfo> info = media.probe(path);
  if (!info || !std::isfinite(info->durationSeconds) || info->durationSeconds <= 0) return std::nullopt;
  if (info->width <= 0 || info->height <= 0) return std::nullopt;
  const double at = std::min(info->durationSeconds * 0.5, 0.5);
  const std::optional<QImage> frame = media.frameAt(path, at);
  if (!frame) return std::nullopt;
  std::optional<QByteArray> png = pngData(*frame, kMaxEdge);
  if (!png) return std::nullopt;
  return VideoPoster{*png, info->width, info->height, qint64(info->durationSeconds * 1000)};
}

}  // namespace nimbo::ThumbnailMaker
