#include "capture/capture_history.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSaveFile>

#include <memory>

#include "platform/platform.h"
#include "shell/preferences.h"
#include "util/log.h"
#include "util/paths.h"

namespace nimbo {
namespace {

std::unique_ptr<CaptureHistory> g_shared;

// Failures are swallowed on purpose: the user learns of a missing file
// through the operation that later needs it.
void writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(bytes);
}

void removeFile(const QString& path) { QFile::remove(path); }

QString ensureDir(const QString& path) {
  QDir().mkpath(path);
  return path;
}

}  // namespace

CaptureHistory& CaptureHistory::shared() {
  if (!g_shared) g_shared = std::make_unique<CaptureHistory>(paths::appSupportDir());
  return *g_shared;
}

void CaptureHistory::resetSharedForTesting() { g_shared.reset(); }

CaptureHistory::CaptureHistory(QString baseDir, QObject* parent)
    : QObject(parent), base_(std::move(baseDir)) {
  // Made once here, not on every path lookup; failures show up later as
  // writes that fail silently.
  ensureDir(originalsDir());
  ensureDir(thumbnailsDir());
  load();
}

QString CaptureHistory::originalsDir() const { return base_ + "/originals"; }
QString CaptureHistory::thumbnailsDir() const { return base_ + "/thumbnails"; }

const CaptureItem* CaptureHistory::find(const QString& id) const {
  for (const CaptureItem& item : items_)
    if (item.id == id) return &item;
  return nullptr;
}

void CaptureHistory::load() {
  items_.clear();
  QFile f(historyFile());
  if (!f.exists() || !f.open(QIODevice::ReadOnly)) return;
  const QByteArray bytes = f.readAll();
  f.close();
  if (auto decoded = decodeHistory(bytes)) {
    items_ = std::move(*decoded);
    return;
  }
  // The next save would replace the index with an empty list and the user's
  // records would be gone for good; keep the old file beside it instead.
  const QString aside = historyFile() + ".unreadable-" +
                        QDateTime::currentDateTimeUtc().toString("yyyyMMdd'T'HHmmss'Z'");
  if (QFile::rename(historyFile(), aside))
    logLine("Nimbo: history index could not be read; set aside as " + aside);
  else
    logLine("Nimbo: history index could not be read and could not be set aside");
}

void CaptureHistory::save() {
  // Written through a temporary file and renamed over the index, so a crash
  // mid-save leaves either the old or the new index, never half of one.
  QSaveFile f(historyFile());
  if (!f.open(QIODevice::WriteOnly)) return;
  f.write(encodeHistory(items_));
  f.commit();
}

void CaptureHistory::evictBeyondLimit() {
  while (int(items_.size()) > maxItems) {
    const QString id = items_.back().id;
    items_.pop_back();
    removeFile(thumbnailPath(id));
    removeFile(originalPath(id));
  }
}

void CaptureHistory::add(const CaptureItem& item, const std::optional<QByteArray>& originalPNG,
                         const QByteArray& thumbnailPNG) {
  if (originalPNG) writeFile(originalPath(item.id), *originalPNG);
  writeFile(thumbnailPath(item.id), thumbnailPNG);
  items_.insert(items_.begin(), item);
  evictBeyondLimit();
  save();
  Q_EMIT itemsChanged();
}

void CaptureHistory::updateShareURL(const QString& id, const QString& url) {
  for (CaptureItem& item : items_) {
    if (item.id != id) continue;
    item.shareURL = url;
    save();
    Q_EMIT itemsChanged();
    return;
  }
}

void CaptureHistory::replaceContents(const QString& id, const QByteArray& originalPNG,
                                     const QByteArray& thumbnail) {
  for (CaptureItem& item : items_) {
    if (item.id != id) continue;
    writeFile(originalPath(id), originalPNG);
    writeFile(thumbnailPath(id), thumbnail);
    item.shareURL.reset();
    save();
    Q_EMIT itemsChanged();
    return;
  }
}

void CaptureHistory::remove(const CaptureItem& item) {
  std::erase_if(items_, [&](const CaptureItem& i) { return i.id == item.id; });
  removeFile(thumbnailPath(item.id));
  removeFile(originalPath(item.id));
  if (item.videoPath) removeFile(*item.videoPath);
  save();
  Q_EMIT itemsChanged();
}

void CaptureHistory::clearAll() {
  for (const CaptureItem& item : items_) {
    removeFile(thumbnailPath(item.id));
    removeFile(originalPath(item.id));
    if (item.videoPath) removeFile(*item.videoPath);
  }
  items_.clear();
  save();
  Q_EMIT itemsChanged();
}

void CaptureHistory::uploadExisting(const QString& id, Callback<QString> done) {
  const CaptureItem* item = find(id);
  if (!item) return done(Error{"Capture is no longer in history.", "Nimbo", -1});
  if (item->shareURL) return done(*item->shareURL);

  // The history may change while the upload runs; the link is stored by id.
  QPointer<CaptureHistory> self(this);
  auto store = [self, id, done](Result<QString> r) {
    if (r.ok() && self) {
      self->updateShareURL(id, r.value());
      Preferences::setValue(Preferences::kLastShareURL, r.value());
    }
    done(std::move(r));
  };

  Uploader& uploader = *platform().uploader;
  if (item->mediaType == MediaType::video) {
    if (!item->videoPath || !QFileInfo(*item->videoPath).isFile())
      return done(Error{"The video file for this recording is gone.", "Nimbo", -3});
    return uploader.uploadVideo(*item->videoPath, std::move(store));
  }
  QFile f(originalPath(id));
  if (!f.open(QIODevice::ReadOnly))
    return done(Error{"Couldn't read the original PNG for this capture.", "Nimbo", -2});
  uploader.uploadImage(f.readAll(), std::move(store));
}

}  // namespace nimbo
