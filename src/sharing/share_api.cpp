#include "sharing/share_api.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>

#include "util/preferences.h"
#include "sharing/bundled_server.h"
#include "util/log.h"
#include "util/paths.h"

namespace nimbo {

Error uploadError(UploadErrorKind kind, int status, const QByteArray& body) {
  switch (kind) {
    case UploadErrorKind::badStatus: {
      // The whole body as UTF-8; a body that is not UTF-8 shows as nothing.
      QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
      QString text = utf8(body);
      if (utf8.hasError()) text.clear();
      return Error{QStringLiteral("Upload failed (HTTP %1): ").arg(status) + text};
    }
    case UploadErrorKind::notConfigured:
      return Error{QStringLiteral("Nimbo couldn't reach the server. Try again in a moment.")};
    case UploadErrorKind::invalidEndpoint:
      return Error{QStringLiteral("The server URL in Settings isn't valid. Clear it or fix the typo.")};
    case UploadErrorKind::malformedResponse:
      return Error{QStringLiteral("The server returned something Nimbo didn't understand. Try again.")};
  }
  return {};
}

namespace ShareApi {
namespace {

double g_timeoutScale = 1.0;

void sendTo(const HttpRequest& r, const QUrl& url, std::function<void(HttpResult)> done) {
  QNetworkRequest req(url);
  for (const auto& [k, v] : r.headers) req.setRawHeader(k, v);
  req.setTransferTimeout(std::max(1, int(r.timeoutSeconds * 1000 * g_timeoutScale)));
  QNetworkReply* reply = nullptr;
  if (!r.bodyFile.isEmpty()) {
    auto* file = new QFile(r.bodyFile);
    if (!file->open(QIODevice::ReadOnly)) {
      HttpResult res;
      res.transportError = file->errorString();
      delete file;
      return done(res);
    }
    // Streamed: QNetworkAccessManager reads the file as it sends.
    req.setHeader(QNetworkRequest::ContentLengthHeader, file->size());
    reply = network().sendCustomRequest(req, r.verb, file);
    file->setParent(reply);
  } else {
    req.setHeader(QNetworkRequest::ContentLengthHeader, r.body.size());
    reply = network().sendCustomRequest(req, r.verb, r.body);
  }
  QObject::connect(reply, &QNetworkReply::finished, reply, [reply, done] {
    reply->deleteLater();
    HttpResult res;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
      res.isHttp = true;
      res.status = status.toInt();
      res.body = reply->readAll();
      return done(res);
    }
    res.transportError = reply->errorString();
    res.refused = reply->error() == QNetworkReply::ConnectionRefusedError;
    done(res);
  });
}

// Requests for the default endpoint go to this user's own bundled server,
// wherever it listens; one that stopped answering is looked for again once.
void sendToBundled(const HttpRequest& r, bool mayRetry, std::function<void(HttpResult)> done) {
  BundledServer::ensure([r, mayRetry, done](std::optional<int> port) {
    if (!port) {
      HttpResult res;
      res.transportError = QStringLiteral("the bundled share server is not available");
      return done(res);
    }
    QUrl url = r.url;
    url.setPort(*port);
    sendTo(r, url, [r, mayRetry, done](HttpResult res) {
      if (res.refused && mayRetry) {
        BundledServer::forget();
        return sendToBundled(r, false, done);
      }
      done(res);
    });
  });
}

}  // namespace

void setTimeoutScaleForTesting(double scale) { g_timeoutScale = scale; }

QNetworkAccessManager& network() {
  static QNetworkAccessManager* nam = new QNetworkAccessManager(QCoreApplication::instance());
  return *nam;
}

QString trimSpacesAndTabs(const QString& s) {
  qsizetype a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.mid(a, b - a);
}

std::optional<QUrl> parseEndpoint(const QString& raw) {
  const QString t = trimSpacesAndTabs(raw);
  if (t.isEmpty()) return std::nullopt;
  const QUrl url(t, QUrl::StrictMode);
  if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) return std::nullopt;
  return url;
}

QUrl apiUrl(const QUrl& base, const QString& path) {
  QUrl u = base;
  QString p = u.path();
  if (!p.endsWith('/')) p += '/';
  u.setPath(p + path);
  return u;
}

void send(const HttpRequest& request, std::function<void(HttpResult)> done) {
  if (BundledServer::isDefaultEndpoint(request.url)) return sendToBundled(request, true, std::move(done));
  sendTo(request, request.url, std::move(done));
}

}  // namespace ShareApi
}  // namespace nimbo
