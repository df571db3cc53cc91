#include "sharing/device_token.h"
#include "sharing/share_replies.h"

#include <QStringDecoder>

#include "platform/platform.h"
#include "sharing/share_api.h"
#include "util/preferences.h"
#include "util/log.h"

namespace nimbo {
namespace DeviceToken {

std::optional<QString> get() {
  const std::optional<QByteArray> raw = platform().secrets->read(kService, kAccount);
  if (!raw) return std::nullopt;
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString token = utf8(*raw);
  if (utf8.hasError()) return std::nullopt;
  return token;
}

void set(const QString& token) {
  SecretStore& s = *platform().secrets;
  const QByteArray value = token.toUtf8();
  if (s.update(kService, kAccount, value) == SecretStore::Status::notFound) s.add(kService, kAccount, value);
}

QString maskedPreview(const std::optional<QString>& token) {
  // An empty stored token is no token: registration replaces it too.
  if (!token || token->isEmpty()) return QStringLiteral("(not set)");
  if (token->size() <= 8) return QString(token->size(), QChar(0x2022));
  return QString(8, QChar(0x2022)) + token->right(4);
}

}  // namespace DeviceToken

namespace DeviceRegistration {

void ensureTokenIfNeeded() {
  const std::optional<QString> t = DeviceToken::get();
  if (t && !t->isEmpty()) return;
  registerDevice([](std::optional<QString>) {});
}

void registerDevice(std::function<void(std::optional<QString>)> done) {
  const std::optional<QUrl> base = ShareApi::parseEndpoint(Preferences::stringValue(Preferences::kUploadEndpoint));
  if (!base) {
    logLine(QString::fromUtf8("Nimbo: device registration skipped — no valid endpoint"));
    return done(std::nullopt);
  }
  ShareApi::HttpRequest r;
  r.verb = "POST";
  r.url = ShareApi::apiUrl(*base, QStringLiteral("api/register"));
  r.headers = {{"Accept", "application/json"}};
  r.timeoutSeconds = ShareApi::kRegisterTimeout;
  ShareApi::send(r, [done](ShareApi::HttpResult res) {
    if (!res.isHttp && !res.transportError.isEmpty()) {
      logLine("Nimbo: registration request errored: " + res.transportError);
      return done(std::nullopt);
    }
    if (!res.isHttp || res.status != 200) {
      logLine(QStringLiteral("Nimbo: registration failed (http %1)").arg(res.isHttp ? res.status : -1));
      return done(std::nullopt);
    }
    const std::optional<QString> reply = ShareReplies::registeredToken(res.body);
    if (!reply) {
      logLine(QStringLiteral("Nimbo: registration response malformed"));
      return done(std::nullopt);
    }
    const QString token = *reply;
    DeviceToken::set(token);
    logLine(QString::fromUtf8("Nimbo: device registered (token prefix %1…)").arg(token.left(8)));
    done(token);
  });
}

}  // namespace DeviceRegistration
}  // namespace nimbo
