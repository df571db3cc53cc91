#include "capture/capture_history.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSaveFile>

#include <memory>

#include "core/seams.h"
#include "platform/platform.h"
#include "util/preferences.h"
#include "util/log.h"
#include "util/paths.h"

namespace nimbo {
namespace {

std::unique_ptr<CaptureHistory> g_shared;

// Failures are swallowed on purpose: the user learns of a missing file
// through the operation that later needs it.
bool writeFile(const QString& path, const QByteArray& bytes) {
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly)) return false;
  f.write(bytes);
  return f.commit();
}

void removeFile(const QString& path) { QFile::remove(path); }

// A recording's file is removed with its record only when it lies in our own
// folder: the path comes from history.json, which anything running as the
// user could have rewritten.
bool isInside(const QString& path, const QString& folder) {
  const QString file = QFileInfo(path).canonicalFilePath();
  const QString dir = QFileInfo(folder).canonicalFilePath();
  return !file.isEmpty() && !dir.isEmpty() && file.startsWith(dir + '/');
}

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

bool CaptureHistory::save() {
  // Written through a temporary file and renamed over the index, so a crash
  // mid-save leaves either the old or the new index, never half of one.
  QSaveFile f(historyFile());
  if (!f.open(QIODevice::WriteOnly)) return false;
  f.write(encodeHistory(items_));
  return f.commit();
}

// Records that go are dropped from the index first and their files deleted
// after, once the index on disk no longer names them: a crash in between
// leaves files nobody lists, never a record without its picture. While the
// index cannot be written the files stay, as the old index still names them.
void CaptureHistory::saveThenRemoveFilesOf(const std::vector<CaptureItem>& gone) {
  if (!save()) return;
  for (const CaptureItem& item : gone) removeFilesOf(item);
}

std::vector<CaptureItem> CaptureHistory::evictBeyondLimit() {
  std::vector<CaptureItem> evicted;
  while (int(items_.size()) > maxItems) {
    CaptureItem item = items_.back();
    items_.pop_back();
    // The record's recording stays: evicting is not deleting.
    item.videoPath.reset();
    evicted.push_back(std::move(item));
  }
  return evicted;
}

bool CaptureHistory::add(const CaptureItem& item, const std::optional<QByteArray>& originalPNG,
                         const QByteArray& thumbnailPNG) {
  // An id that is not a UUID would name files outside our folders.
  if (!isValidCaptureId(item.id)) return false;
  // A record whose picture could not be written is not filed: it would push
  // a good one out of the history for nothing.
  if (originalPNG && !writeFile(originalPath(item.id), *originalPNG)) return false;
  writeFile(thumbnailPath(item.id), thumbnailPNG);
  items_.insert(items_.begin(), item);
  saveThenRemoveFilesOf(evictBeyondLimit());
  Q_EMIT itemsChanged();
  return true;
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

bool CaptureHistory::replaceContents(const QString& id, const QByteArray& originalPNG,
                                     const QByteArray& thumbnail) {
  for (CaptureItem& item : items_) {
    if (item.id != id) continue;
    if (!writeFile(originalPath(id), originalPNG)) return false;
    writeFile(thumbnailPath(id), thumbnail);
    item.shareURL.reset();
    save();
    Q_EMIT itemsChanged();
    return true;
  }
  return false;
}

void CaptureHistory::removeFilesOf(const CaptureItem& item) {
  if (!isValidCaptureId(item.id)) return;
  removeFile(thumbnailPath(item.id));
  removeFile(originalPath(item.id));
  if (item.videoPath && isInside(*item.videoPath, base_)) removeFile(*item.videoPath);
}

void CaptureHistory::remove(const CaptureItem& which) {
  const CaptureItem item = which;  // `which` may be one of items_
  std::erase_if(items_, [&](const CaptureItem& i) { return i.id == item.id; });
  saveThenRemoveFilesOf({item});
  Q_EMIT itemsChanged();
}

void CaptureHistory::clearAll() {
  std::vector<CaptureItem> gone;
  gone.swap(items_);
  saveThenRemoveFilesOf(gone);
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

  Uploader& uploader = *seams().uploader;
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
