#include "sharing/bundled_server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageAuthenticationCode>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>

#include <memory>
#include <vector>

#include "sharing/share_api.h"
#include "util/log.h"
#include "util/paths.h"
#include "util/preferences.h"

namespace nimbo::BundledServer {
namespace {

enum class Answer { ours, foreign, nobody };

std::optional<int> g_port;  // our server, once found
bool g_looking = false;
std::vector<std::function<void(std::optional<int>)>> g_waiting;

QUrl defaultEndpoint() { return QUrl(QString::fromLatin1(Preferences::kDefaultUploadEndpoint)); }
QString portFile() { return dataDir() + "/port"; }

QByteArray readSmallFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.read(256).trimmed() : QByteArray();
}

// Asks the server on `port` to prove who it is.
void challenge(int port, std::function<void(Answer)> done) {
  const QByteArray key = readSmallFile(dataDir() + "/identity");
  QByteArray nonce(32, Qt::Uninitialized);
  for (char& c : nonce) c = char(QRandomGenerator::system()->bounded(256));
  nonce = nonce.toHex();
  QUrl url = defaultEndpoint();
  url.setPort(port);
  url.setPath(QStringLiteral("/api/identity"));
  url.setQuery("nonce=" + QString::fromLatin1(nonce));
  QNetworkRequest req(url);
  req.setTransferTimeout(3000);
  QNetworkReply* reply = ShareApi::network().get(req);
  QObject::connect(reply, &QNetworkReply::finished, reply, [reply, key, nonce, port, done] {
    reply->deleteLater();
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
      return done(Answer::nobody);
    const QByteArray proof = QJsonDocument::fromJson(reply->readAll()).object().value("proof").toString().toLatin1();
    // Without our key nobody can be ours, whatever it answers.
    const bool ours = key.size() == 64 && !proof.isEmpty() && proof == expectedProof(key, nonce, port);
    done(ours ? Answer::ours : Answer::foreign);
  });
}

// Starts our server; on a free port (written to the port file) when the
// default one is taken.
bool start(bool onFreePort) {
  const QString program = QCoreApplication::applicationDirPath() + "/nimbo-share-server";
  if (!QFile::exists(program)) return false;
  const QUrl def = defaultEndpoint();
  QStringList args{"--listen", def.host() + ':' + (onFreePort ? QStringLiteral("0") : QString::number(def.port())),
                   "--data", dataDir(), "--private"};
  if (onFreePort) {
    QFile::remove(portFile());
    args << "--port-file" << portFile();
  }
  QProcess p;
  p.setProgram(program);
  p.setArguments(args);
  p.setStandardInputFile(QProcess::nullDevice());
  p.setStandardOutputFile(QProcess::nullDevice());
  p.setStandardErrorFile(QProcess::nullDevice());
  // Detached on purpose: links already shared keep working after Quit.
  return p.startDetached();
}

void finish(std::optional<int> port) {
  g_port = port;
  g_looking = false;
  for (auto& done : std::exchange(g_waiting, {})) done(port);
}

// Polls (from the event loop) until our server answers on the port
// `portNow()` names, for at most five seconds.
void waitForOurs(std::function<std::optional<int>()> portNow, std::function<void(std::optional<int>)> done) {
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  auto attempt = std::make_shared<std::function<void()>>();
  *attempt = [clock, portNow, done, attempt] {
    auto retry = [clock, done, attempt] {
      if (clock->elapsed() > 5000) {
        *attempt = nullptr;  // breaks the cycle
        return done(std::nullopt);
      }
      QTimer::singleShot(100, QCoreApplication::instance(), [attempt] {
        if (*attempt) (*attempt)();
      });
    };
    const std::optional<int> port = portNow();
    if (!port) return retry();
    challenge(*port, [port, done, retry, attempt](Answer a) {
      if (a != Answer::ours) return retry();
      *attempt = nullptr;
      done(port);
    });
  };
  (*attempt)();
}

std::optional<int> portFromFile() {
  bool ok = false;
  const int port = readSmallFile(portFile()).toInt(&ok);
  return ok && port > 0 && port < 65536 ? std::optional<int>(port) : std::nullopt;
}

void startOnFreePort() {
  if (!start(true)) {
    logLine(QStringLiteral("Nimbo: the bundled share server could not be started"));
    return finish(std::nullopt);
  }
  waitForOurs(portFromFile, [](std::optional<int> port) {
    if (port) logLine(QStringLiteral("Nimbo: started the bundled share server on 127.0.0.1:%1").arg(*port));
    else logLine(QStringLiteral("Nimbo: the bundled share server did not answer"));
    finish(port);
  });
}

void lookElsewhere(int defaultPort) {
  logLine(QStringLiteral("Nimbo: the share server on 127.0.0.1:%1 is not this user's own; not using it")
              .arg(defaultPort));
  // Ours may already run on the port it took last time.
  const std::optional<int> last = portFromFile();
  if (!last || *last == defaultPort) return startOnFreePort();
  challenge(*last, [last](Answer a) {
    if (a == Answer::ours) return finish(last);
    startOnFreePort();
  });
}

}  // namespace

bool isDefaultEndpoint(const QUrl& url) {
  const QUrl def = defaultEndpoint();
  return url.scheme() == def.scheme() && url.host() == def.host() && url.port() == def.port();
}

QString dataDir() { return paths::appSupportDir() + "/share-server"; }

QByteArray expectedProof(const QByteArray& key, const QByteArray& nonce, int port) {
  return QMessageAuthenticationCode::hash(nonce + ':' + QByteArray::number(port), key, QCryptographicHash::Sha256)
      .toHex();
}

void ensure(std::function<void(std::optional<int>)> done) {
  g_waiting.push_back(std::move(done));
  if (g_looking) return;
  g_looking = true;
  // The server found before proves itself again for every request: it may
  // have ended and someone else taken its port. One round trip on loopback.
  if (const std::optional<int> known = std::exchange(g_port, std::nullopt)) {
    return challenge(*known, [known](Answer a) {
      if (a == Answer::ours) return finish(known);
      g_looking = false;
      std::vector<std::function<void(std::optional<int>)>> waiting = std::exchange(g_waiting, {});
      for (auto& w : waiting) ensure(std::move(w));
    });
  }
  const int defaultPort = defaultEndpoint().port();
  challenge(defaultPort, [defaultPort](Answer a) {
    if (a == Answer::ours) return finish(defaultPort);
    if (a == Answer::foreign) return lookElsewhere(defaultPort);
    // Nobody there: ours takes the default port.
    if (!start(false)) {
      logLine(QStringLiteral("Nimbo: the bundled share server could not be started"));
      return finish(std::nullopt);
    }
    waitForOurs([defaultPort] { return std::optional<int>(defaultPort); }, [defaultPort](std::optional<int> port) {
      if (port) {
        logLine(QStringLiteral("Nimbo: started the bundled share server on 127.0.0.1:%1").arg(defaultPort));
        return finish(port);
      }
      // Someone else took the port meanwhile, or ours could not bind it.
      lookElsewhere(defaultPort);
    });
  });
}

void forget() { g_port.reset(); }

}  // namespace nimbo::BundledServer
