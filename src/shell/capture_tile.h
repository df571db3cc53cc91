#pragma once
// What the popover's recent tiles and the history grid share: the
// thumbnails (read off the main thread), the link and duration texts, and
// what a click on a capture does.
#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QPixmap>
#include <QString>
#include <QUrl>

#include <optional>

#include "capture/capture_item.h"

class QPainter;

namespace nimbo {

// "m:ss" of a recording's length: whole minutes, then seconds 00 to 59.
QString durationLabel(qint64 milliseconds);

// A link shown in two tones: the host (with its port) and "/" when a path
// follows, then the path without its leading "/". A text without a host
// stays whole in the first part.
struct LinkSplit {
  QString first, second;
  bool operator==(const LinkSplit&) const = default;
};
LinkSplit splitLink(const QString& urlString);

// The record's share link when it parses as an absolute URL.
std::optional<QUrl> parsedShareLink(const CaptureItem& item);
// Only these go to the browser: a stored link is data from a file the user
// may not have written.
bool isWebLink(const QUrl& url);

// A click on a capture: a screenshot opens in the editor; a recording opens
// its link in the browser, else shows its file in the file manager; a
// recording with neither does nothing.
void openCapture(const CaptureItem& item);

// Thumbnail pictures by file path, read on the thread pool and kept while
// the file stays the same. Main thread.
class ThumbnailCache : public QObject {
  Q_OBJECT
 public:
  static ThumbnailCache& shared();
  // The picture, or a null image while it is read (`loaded` follows) or when
  // there is no readable file. A file changed on disk is read again.
  QImage image(const QString& path);
  void clear();

 Q_SIGNALS:
  void loaded(const QString& path);

 private:
  struct Entry {
    QImage image;
    QDateTime modified;
    qint64 size = -1;
    bool loading = false;
  };
  QHash<QString, Entry> entries_;
};

// Device pixels per point of what `p` paints on (a window at its screen's
// scale, or a picture rendered at another).
qreal paintScale(const QPainter& p);
// `image` cut to fill `size` (points) at `dpr`, centred, for painting 1:1.
QPixmap filledPixmap(const QImage& image, const QSizeF& size, qreal dpr);
// The thumbnail in a rounded frame: the picture, or bg2 without one.
void paintThumbnailFrame(QPainter& p, const QRectF& r, const QPixmap& picture, qreal radius);
// The accent "LINK" badge with its top-left corner at `at`; returns its box.
QRectF paintLinkBadge(QPainter& p, const QPointF& at);

}  // namespace nimbo
