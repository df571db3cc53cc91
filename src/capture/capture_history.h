#pragma once
#include <QObject>
#include <QString>

#include <optional>
#include <vector>

#include "capture/capture_item.h"
#include "util/result.h"

namespace nimbo {

// The newest-first list of captures, its index "history.json" and the PNG
// files of every record. Main thread only.
class CaptureHistory : public QObject {
  Q_OBJECT
 public:
  static constexpr int maxItems = 30;

  // The process-wide store under the XDG data folder, loaded on first use.
  static CaptureHistory& shared();
  // Tests point the shared store at another folder (or back, with "").
  static void resetSharedForTesting();

  explicit CaptureHistory(QString baseDir, QObject* parent = nullptr);

  const std::vector<CaptureItem>& items() const { return items_; }
  const CaptureItem* find(const QString& id) const;

  QString appSupportDir() const { return base_; }
  QString originalsDir() const;
  QString thumbnailsDir() const;
  QString historyFile() const { return base_ + "/history.json"; }
  QString originalPath(const QString& id) const { return originalsDir() + '/' + id + ".png"; }
  QString thumbnailPath(const QString& id) const { return thumbnailsDir() + '/' + id + ".png"; }

  // False, and nothing filed, when the original could not be written.
  bool add(const CaptureItem& item, const std::optional<QByteArray>& originalPNG,
           const QByteArray& thumbnailPNG);
  void updateShareURL(const QString& id, const QString& url);
  // False, and nothing written, when no record has that id any more (evicted
  // or deleted); false too when the original could not be written.
  bool replaceContents(const QString& id, const QByteArray& originalPNG, const QByteArray& thumbnail);
  void remove(const CaptureItem& item);  // the design's delete(_:)
  void clearAll();

  // Returns the record's link, uploading its original first when it has none.
  void uploadExisting(const QString& id, Callback<QString> done);

 Q_SIGNALS:
  void itemsChanged();

 private:
  void load();
  bool save();
  void saveThenRemoveFilesOf(const std::vector<CaptureItem>& gone);
  std::vector<CaptureItem> evictBeyondLimit();  // the records dropped
  void removeFilesOf(const CaptureItem& item);

  QString base_;
  std::vector<CaptureItem> items_;
};

}  // namespace nimbo
