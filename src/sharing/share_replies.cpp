#include "sharing/share_replies.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace nimbo::ShareReplies {
namespace {

std::optional<QString> stringKey(const QJsonObject& o, const char* key) {
  const QJsonValue v = o.value(QLatin1String(key));
  if (!v.isString()) return std::nullopt;
  return v.toString();
}

QJsonObject object(const QByteArray& body) { return QJsonDocument::fromJson(body).object(); }

}  // namespace

std::optional<QString> uploadedImageUrl(const QByteArray& body) { return stringKey(object(body), "url"); }

std::optional<RecordingSlot> recordingSlot(const QByteArray& body) {
  const QJsonObject o = object(body);
  const auto slug = stringKey(o, "slug");
  const auto shareUrl = stringKey(o, "shareUrl");
  const auto uploadUrl = stringKey(o, "uploadUrl");
  if (!slug || !shareUrl || !uploadUrl) return std::nullopt;
  const QUrl target(*uploadUrl, QUrl::StrictMode);
  if (!target.isValid() || target.isRelative() || target.host().isEmpty()) return std::nullopt;
  return RecordingSlot{*slug, *shareUrl, target};
}

std::optional<QString> registeredToken(const QByteArray& body) {
  const std::optional<QString> token = stringKey(object(body), "token");
  if (!token || token->isEmpty()) return std::nullopt;
  return token;
}

}  // namespace nimbo::ShareReplies
