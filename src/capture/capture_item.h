#pragma once
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <vector>

namespace nimbo {

enum class MediaType { image, video };

QString mediaTypeName(MediaType t);

struct CaptureItem {
  QString id;
  QDateTime createdAt;  // UTC, whole seconds
  qint64 width = 0;
  qint64 height = 0;
  std::optional<QString> shareURL;
  MediaType mediaType = MediaType::image;
  std::optional<qint64> durationMS;
  std::optional<QString> videoPath;

  bool operator==(const CaptureItem&) const = default;

  // A fresh canonical upper-case UUID text.
  static QString newId();
  // A new image record made now with a fresh id.
  static CaptureItem newImage(qint64 width, qint64 height);

  QString relativeTimeLabel(const QDateTime& now = QDateTime::currentDateTimeUtc()) const;

  QJsonObject toJson() const;
  // Nothing when a required key is missing or a value has the wrong type.
  static std::optional<CaptureItem> fromJson(const QJsonObject& o);
};

// The whole index: nothing when any record fails to decode.
// Whether `id` is a UUID in its hyphenated text form: the only ids that may
// name files in the history folders.
bool isValidCaptureId(const QString& id);
// Records whose id is not a UUID are left out; the rest still load.
std::optional<std::vector<CaptureItem>> decodeHistory(const QByteArray& json);
QByteArray encodeHistory(const std::vector<CaptureItem>& items);

// ISO 8601 in UTC with whole seconds and a trailing "Z".
QString isoDate(const QDateTime& t);
std::optional<QDateTime> parseIsoDate(const QString& s);

}  // namespace nimbo
