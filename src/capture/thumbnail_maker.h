#pragma once
#include <QByteArray>
#include <QImage>
#include <QString>

#include <optional>

namespace nimbo {

struct VideoPoster {
  QByteArray png;
  int width = 0;
  int height = 0;
  qint64 durationMS = 0;
};

namespace ThumbnailMaker {

inline constexpr int kMaxEdge = 320;

// The size a thumbnail of `source` gets: the longest edge at most maxEdge,
// never enlarged, each side at least 1.
QSize thumbnailSize(QSize source, int maxEdge);
std::optional<QByteArray> pngData(const QImage& image, int maxEdge);
// Runs on the calling thread; call it off the main thread.
std::optional<VideoPoster> videoPoster(const QString& path);

}  // namespace ThumbnailMaker
}  // namespace nimbo
