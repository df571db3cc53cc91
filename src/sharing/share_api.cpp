#include "sharing/share_api.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QStringDecoder>
#include <QTcpSocket>
#include <QTimer>

#include "util/preferences.h"
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

bool isBundledServer(const QUrl& url) {
  const QUrl def(QString::fromLatin1(Preferences::kDefaultUploadEndpoint));
  return url.scheme() == def.scheme() && url.host() == def.host() && url.port() == def.port();
}

// Starts the bundled server (data under the app's data folder) and calls
// `ready` with whether it accepts connections within 5 seconds. The wait
// polls from the event loop, so the app stays responsive meanwhile.
void startBundledServer(std::function<void(bool)> ready) {
  const QString program = QCoreApplication::applicationDirPath() + "/nimbo-share-server";
  const QUrl def(QString::fromLatin1(Preferences::kDefaultUploadEndpoint));
  QProcess p;
  p.setProgram(program);
  p.setArguments({"--listen", def.host() + ':' + QString::number(def.port()), "--data",
                  paths::appSupportDir() + "/share-server"});
  p.setStandardInputFile(QProcess::nullDevice());
  p.setStandardOutputFile(QProcess::nullDevice());
  p.setStandardErrorFile(QProcess::nullDevice());
  if (!QFile::exists(program) || !p.startDetached()) return ready(false);
  logLine("Nimbo: started the bundled share server on " + def.host() + ':' + QString::number(def.port()));
  auto* timer = new QTimer(QCoreApplication::instance());
  auto* clock = new QElapsedTimer;
  clock->start();
  QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, def, ready] {
    QTcpSocket s;
    s.connectToHost(def.host(), quint16(def.port()));
    const bool up = s.waitForConnected(50);
    if (!up && clock->elapsed() < 5000) return;
    timer->deleteLater();
    delete clock;
    ready(up);
  });
  timer->start(100);
}

void sendOnce(const HttpRequest& r, bool mayStartServer, std::function<void(HttpResult)> done) {
  QNetworkRequest req(r.url);
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
  QObject::connect(reply, &QNetworkReply::finished, reply, [reply, r, mayStartServer, done] {
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
    if (mayStartServer && reply->error() == QNetworkReply::ConnectionRefusedError && isBundledServer(r.url)) {
      return startBundledServer([r, done, res](bool up) {
        if (up) sendOnce(r, false, done);
        else done(res);
      });
    }
    done(res);
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
  sendOnce(request, true, std::move(done));
}

}  // namespace ShareApi
}  // namespace nimbo
