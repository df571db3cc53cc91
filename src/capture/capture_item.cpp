#include "capture/capture_item.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>
#include <QUuid>

#include <cmath>

namespace nimbo {

QString mediaTypeName(MediaType t) {
  return t == MediaType::video ? QStringLiteral("video") : QStringLiteral("image");
}

QString CaptureItem::newId() {
  return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

CaptureItem CaptureItem::newImage(qint64 width, qint64 height) {
  CaptureItem item;
  item.id = newId();
  QDateTime now = QDateTime::currentDateTimeUtc();
  item.createdAt = now.addMSecs(-now.time().msec());
  item.width = width;
  item.height = height;
  return item;
}

QString CaptureItem::relativeTimeLabel(const QDateTime& now) const {
  const double age = createdAt.msecsTo(now) / 1000.0;
  if (age < 60) return QStringLiteral("just now");
  if (age < 3600) return QString::number(qint64(age / 60)) + 'm';
  if (age < 86400) return QString::number(qint64(age / 3600)) + 'h';
  if (age < 604800) return QString::number(qint64(age / 86400)) + 'd';
  return QStringLiteral("old");
}

QString isoDate(const QDateTime& t) {
  return t.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

std::optional<QDateTime> parseIsoDate(const QString& s) {
  // The internet date-time form: a date, 'T', a time with whole seconds, and
  // either 'Z' or a numeric offset.
  static const QRegularExpression re(
      QStringLiteral(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(Z|[+-]\d{2}:\d{2})$)"));
  if (!re.match(s).hasMatch()) return std::nullopt;
  QDateTime t = QDateTime::fromString(s, Qt::ISODate);
  if (!t.isValid()) return std::nullopt;
  return t.toUTC();
}

QJsonObject CaptureItem::toJson() const {
  QJsonObject o;
  o["id"] = id;
  o["createdAt"] = isoDate(createdAt);
  o["width"] = width;
  o["height"] = height;
  if (shareURL) o["shareURL"] = *shareURL;
  o["mediaType"] = mediaTypeName(mediaType);
  if (durationMS) o["durationMS"] = *durationMS;
  if (videoPath) o["videoPath"] = *videoPath;
  return o;
}

namespace {

// JSON numbers arrive as doubles; an integer field must hold a whole number.
std::optional<qint64> integer(const QJsonValue& v) {
  if (!v.isDouble()) return std::nullopt;
  const double d = v.toDouble();
  if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9.0e15) return std::nullopt;
  return qint64(d);
}

}  // namespace

std::optional<CaptureItem> CaptureItem::fromJson(const QJsonObject& o) {
  CaptureItem item;
  if (!o.value("id").isString()) return std::nullopt;
  item.id = o.value("id").toString();
  if (!o.value("createdAt").isString()) return std::nullopt;
  auto created = parseIsoDate(o.value("createdAt").toString());
  if (!created) return std::nullopt;
  item.createdAt = *created;
  auto w = integer(o.value("width"));
  auto h = integer(o.value("height"));
  if (!w || !h) return std::nullopt;
  item.width = *w;
  item.height = *h;

  if (o.contains("shareURL") && !o.value("shareURL").isNull()) {
    if (!o.value("shareURL").isString()) return std::nullopt;
    item.shareURL = o.value("shareURL").toString();
  }
  if (o.contains("mediaType") && !o.value("mediaType").isNull()) {
    const QJsonValue m = o.value("mediaType");
    if (m == QJsonValue("image")) item.mediaType = MediaType::image;
    else if (m == QJsonValue("video")) item.mediaType = MediaType::video;
    else return std::nullopt;
  }
  if (o.contains("durationMS") && !o.value("durationMS").isNull()) {
    auto d = integer(o.value("durationMS"));
    if (!d) return std::nullopt;
    item.durationMS = *d;
  }
  if (o.contains("videoPath") && !o.value("videoPath").isNull()) {
    if (!o.value("videoPath").isString()) return std::nullopt;
    item.videoPath = o.value("videoPath").toString();
  }
  return item;
}

bool isValidCaptureId(const QString& id) {
  static const QRegularExpression re(QStringLiteral(
      "^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
  return re.match(id).hasMatch();
}

std::optional<std::vector<CaptureItem>> decodeHistory(const QByteArray& json) {
  QJsonParseError err{};
  const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
  if (err.error != QJsonParseError::NoError || !doc.isArray()) return std::nullopt;
  std::vector<CaptureItem> items;
  for (const QJsonValue& v : doc.array()) {
    if (!v.isObject()) return std::nullopt;
    auto item = CaptureItem::fromJson(v.toObject());
    if (!item) return std::nullopt;
    if (!isValidCaptureId(item->id)) continue;
    items.push_back(std::move(*item));
  }
  return items;
}

QByteArray encodeHistory(const std::vector<CaptureItem>& items) {
  QJsonArray arr;
  for (const CaptureItem& item : items) arr.append(item.toJson());
  return QJsonDocument(arr).toJson(QJsonDocument::Indented);
}

}  // namespace nimbo
