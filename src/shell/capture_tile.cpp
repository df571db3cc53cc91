#include "shell/capture_tile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QFuture>
#include <QPainter>
#include <QPainterPath>
#include <QtConcurrent/QtConcurrentRun>

#include "core/seams.h"
#include "platform/platform.h"
#include "ui/design_system.h"

namespace nimbo {

QString durationLabel(qint64 milliseconds) {
  const qint64 seconds = std::max<qint64>(0, milliseconds) / 1000;
  return QString::asprintf("%d:%02d", int(seconds / 60), int(seconds % 60));
}

LinkSplit splitLink(const QString& urlString) {
  const QUrl url(urlString, QUrl::StrictMode);
  if (!url.isValid() || url.host().isEmpty()) return {urlString, {}};
  // The port stays: without it the text would name another address.
  QString host = url.host();
  if (url.port() != -1) host += ':' + QString::number(url.port());
  QString rest = url.path(QUrl::FullyEncoded);
  if (url.hasQuery()) rest += '?' + url.query(QUrl::FullyEncoded);
  if (rest.isEmpty() || rest == QLatin1String("/")) return {host, {}};
  return {host + '/', rest.startsWith('/') ? rest.mid(1) : rest};
}

std::optional<QUrl> parsedShareLink(const CaptureItem& item) {
  if (!item.shareURL) return std::nullopt;
  const QUrl url(item.shareURL->trimmed(), QUrl::StrictMode);
  if (!url.isValid() || url.isRelative()) return std::nullopt;
  return url;
}

bool isWebLink(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty();
}

void openCapture(const CaptureItem& item) {
  if (item.mediaType == MediaType::image) return seams().editorHost->open(item.id);
  if (const std::optional<QUrl> link = parsedShareLink(item); link && isWebLink(*link))
    return platform().workspace->openUrl(*link);
  if (item.videoPath && QFileInfo(*item.videoPath).isFile()) platform().workspace->revealFile(*item.videoPath);
}

ThumbnailCache& ThumbnailCache::shared() {
  static ThumbnailCache* cache = new ThumbnailCache;
  return *cache;
}

QImage ThumbnailCache::image(const QString& path) {
  const QFileInfo info(path);
  if (!info.isFile()) {
    entries_.remove(path);
    return {};
  }
  // A history holds 30 records; anything far beyond is left over from
  // records long gone.
  if (entries_.size() > 4 * 30 && !entries_.contains(path)) {
    for (auto it = entries_.begin(); it != entries_.end();)
      it = QFileInfo::exists(it.key()) ? std::next(it) : entries_.erase(it);
  }
  Entry& e = entries_[path];
  const QDateTime modified = info.lastModified();
  if (e.modified == modified && e.size == info.size()) return e.image;
  if (e.loading) return e.image;  // the newer file is read once this read is in
  e.loading = true;
  QtConcurrent::run([path] { return QImage(path); })
      .then(this, [this, path, modified, size = info.size()](QImage img) {
        auto it = entries_.find(path);
        if (it == entries_.end()) return;
        it->loading = false;
        it->image = img;
        it->modified = modified;
        it->size = size;
        Q_EMIT loaded(path);
      });
  return e.image;
}

void ThumbnailCache::clear() { entries_.clear(); }

qreal paintScale(const QPainter& p) {
  const QTransform t = p.deviceTransform();
  return std::max(1.0, std::hypot(t.m11(), t.m12()));
}

QPixmap filledPixmap(const QImage& image, const QSizeF& size, qreal dpr) {
  if (image.isNull() || size.isEmpty()) return {};
  const QSize pixels = (size * dpr).toSize();
  // Cut the picture to the frame's shape first, so scaling never stretches.
  const qreal frame = size.width() / size.height(), picture = qreal(image.width()) / image.height();
  QRect cut = image.rect();
  if (picture > frame) {
    const int w = std::max(1, int(std::round(image.height() * frame)));
    cut = QRect((image.width() - w) / 2, 0, w, image.height());
  } else if (picture < frame) {
    const int h = std::max(1, int(std::round(image.width() / frame)));
    cut = QRect(0, (image.height() - h) / 2, image.width(), h);
  }
  QPixmap pm = QPixmap::fromImage(image.copy(cut).scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  pm.setDevicePixelRatio(dpr);
  return pm;
}

void paintThumbnailFrame(QPainter& p, const QRectF& r, const QPixmap& picture, qreal radius) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath clip;
  clip.addRoundedRect(r, radius, radius);
  p.setClipPath(clip);
  p.fillRect(r, NimboTokens::bg2);
  if (!picture.isNull()) p.drawPixmap(r.topLeft(), picture);
  p.restore();
}

QRectF paintLinkBadge(QPainter& p, const QPointF& at) {
  const QFont f = nimboFont(FontFamily::mono, 9, QFont::Medium);
  const QFontMetricsF fm(f);
  const QString text = QStringLiteral("LINK");
  const QRectF box(at, QSizeF(std::ceil(fm.horizontalAdvance(text)) + 8, std::ceil(fm.height()) + 2));
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(NimboTokens::accent);
  p.drawRoundedRect(box, 3, 3);
  p.setFont(f);
  p.setPen(NimboTokens::accentInk);
  p.drawText(box, Qt::AlignCenter, text);
  p.restore();
  return box;
}

}  // namespace nimbo
