#pragma once
// What the client relies on from the share server: the endpoint rules, the
// calls' URLs and time-outs, the upload errors, and one HTTP exchange helper.
#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

#include "util/result.h"

class QIODevice;
class QNetworkAccessManager;

namespace nimbo {

enum class UploadErrorKind { badStatus, notConfigured, invalidEndpoint, malformedResponse };
Error uploadError(UploadErrorKind kind, int status = 0, const QByteArray& body = {});

namespace ShareApi {

// Spaces and tabs at either end go; newlines stay (and then fail to parse).
QString trimSpacesAndTabs(const QString& s);
// The trimmed endpoint as a URL, or nothing when it is empty or not a URL.
std::optional<QUrl> parseEndpoint(const QString& raw);
// `path` appended as a path component, one "/" between.
QUrl apiUrl(const QUrl& base, const QString& path);

// Time-outs in seconds; tests shrink them with setTimeoutScale.
inline constexpr double kRegisterTimeout = 15, kUploadTimeout = 30, kVideoTimeout = 300;
void setTimeoutScaleForTesting(double scale);

struct HttpResult {
  bool isHttp = false;      // an HTTP response arrived
  int status = -1;
  QByteArray body;
  QString transportError;   // the network layer's own description, when !isHttp
  bool refused = false;     // nobody listened
};

struct HttpRequest {
  QByteArray verb;          // "POST", "PUT"
  QUrl url;
  QList<std::pair<QByteArray, QByteArray>> headers;
  QByteArray body;          // used when `bodyFile` is empty
  QString bodyFile;         // streamed from disk
  double timeoutSeconds = 30;
};

// Sends one request from the main thread; `done` runs on the main thread.
// Requests for the default endpoint go to this user's own bundled server
// (see BundledServer), started when needed.
void send(const HttpRequest& request, std::function<void(HttpResult)> done);

QNetworkAccessManager& network();

}  // namespace ShareApi
}  // namespace nimbo
