#include "sharing/updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <QFutureWatcher>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "sharing/share_api.h"
#include "sharing/update_signature.h"
#include "util/log.h"
#include "util/preferences.h"

namespace nimbo {

namespace {

constexpr int kFeedTimeoutMs = 30000;
constexpr int kDownloadTimeoutMs = 15 * 60 * 1000;
constexpr int kToolTimeoutMs = 120000;
constexpr int kStartupDelayMs = 2000;

void log(const QString& line) { logLine(QStringLiteral("Updates: ") + line); }

QString versionsDir() { return Updater::installRoot() + QStringLiteral("/versions"); }

QString canonical(const QString& path) {
  const QString c = QFileInfo(path).canonicalFilePath();
  return c.isEmpty() ? QDir::cleanPath(path) : c;
}

bool isInside(const QString& path, const QString& dir) {
  const QString d = canonical(dir);
  return !d.isEmpty() && canonical(path).startsWith(d + QLatin1Char('/'));
}

QNetworkRequest request(const QUrl& url, int timeoutMs) {
  QNetworkRequest r(url);
  // Never from HTTPS down to HTTP.
  r.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
  r.setTransferTimeout(timeoutMs);
  r.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Nimbo updater"));
  return r;
}

bool removeTree(const QString& path) { return !QFileInfo::exists(path) || QDir(path).removeRecursively(); }

}  // namespace

Updater::Updater(UpdaterConfig config, QObject* parent) : QObject(parent), config_(std::move(config)) {
  timer_ = new QTimer(this);
  timer_->setSingleShot(true);
  connect(timer_, &QTimer::timeout, this, [this] { checkForUpdates(false); });
  if (QCoreApplication::instance()) {
    // A release that is ready becomes the one in use when the application
    // quits: the next start runs it.
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] {
      if (!ready_ || installedForQuit_) return;
      const Result<bool> r = switchTo(ready_->displayVersion);
      log(r.ok() ? QStringLiteral("Nimbo ") + ready_->displayVersion + QStringLiteral(" installed on quit")
                 : QStringLiteral("installing on quit failed: ") + r.error().description);
    });
  }
}

Updater::~Updater() = default;

QString Updater::installRoot() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/nimbo");
}

QString Updater::lastingProgramPath(const QString& executable) {
  if (isInside(executable, versionsDir())) return installRoot() + QStringLiteral("/current/bin/nimbo");
  return executable;
}

InstallKind Updater::installKind() const {
  if (config_.executable.isEmpty()) return InstallKind::unmanaged;
  if (isInside(config_.executable, versionsDir())) return InstallKind::userLocal;
  if (config_.executable.startsWith(QLatin1String("/usr/"))) return InstallKind::systemPackage;
  return InstallKind::unmanaged;
}

QString Updater::runningVersionDir() const {
  // versions/<version>/bin/nimbo
  return canonical(QFileInfo(config_.executable).absolutePath() + QStringLiteral("/.."));
}

bool Updater::automaticallyDownloadsUpdates() const { return Preferences::boolValue(kAutomaticDownloadsKey, true); }
void Updater::setAutomaticallyDownloadsUpdates(bool on) { Preferences::setValue(kAutomaticDownloadsKey, on); }

int Updater::updateCheckInterval() const {
  bool ok = false;
  const int v = Preferences::store().value(kIntervalKey).toInt(&ok);
  return ok && v >= 60 ? v : kDefaultInterval;
}

void Updater::setUpdateCheckInterval(int seconds) {
  Preferences::setValue(kIntervalKey, std::max(60, seconds));
  scheduleNext();
}

std::optional<QDateTime> Updater::lastUpdateCheckDate() const {
  const QDateTime d = QDateTime::fromString(Preferences::stringValue(kLastCheckKey), Qt::ISODateWithMs);
  if (!d.isValid()) return std::nullopt;
  return d;
}

QUrl Updater::feedURL() const {
  const QString stored = Preferences::stringValue(kFeedKey).trimmed();
  return stored.isEmpty() ? config_.feedURL : QUrl(stored);
}

void Updater::start() {
  started_ = true;
  removeLeftovers();
  timer_->start(kStartupDelayMs);
}

void Updater::scheduleNext() {
  if (!started_ || busy_) return;  // a check running schedules the next when it ends
  const qint64 interval = qint64(updateCheckInterval()) * 1000;
  qint64 wait = interval;
  if (const auto last = lastUpdateCheckDate())
    wait = std::clamp<qint64>(QDateTime::currentDateTimeUtc().msecsTo(last->addSecs(updateCheckInterval())), 1000,
                              interval);
  timer_->start(int(std::min<qint64>(wait, std::numeric_limits<int>::max())));
}

void Updater::setStatus(const QString& status) {
  status_ = status;
  Q_EMIT statusChanged();
}

void Updater::finishCheck(bool userInitiated, const QString& message) {
  busy_ = false;
  setStatus(message);
  if (userInitiated) Q_EMIT checkDone(message);
  scheduleNext();
}

void Updater::refuse(const UpdateItem& item, bool userInitiated, const QString& why) {
  log(QStringLiteral("refused Nimbo ") + item.displayVersion + QStringLiteral(" (build ") + item.version +
      QStringLiteral("): ") + why);
  finishCheck(userInitiated, QStringLiteral("The update to Nimbo ") + item.displayVersion +
                                 QStringLiteral(" was refused: ") + why + QLatin1Char('.'));
}

void Updater::checkForUpdates(bool userInitiated) {
  if (busy_) return;
  const QUrl url = feedURL();
  if (!url.isValid() || !UpdateFeed::transportAllowed(url)) {
    log(QStringLiteral("not checking: the feed address must be HTTPS: ") + url.toString());
    finishCheck(userInitiated, QStringLiteral("Could not check for updates: the feed address is not HTTPS."));
    return;
  }
  busy_ = true;
  timer_->stop();
  setStatus(QStringLiteral("Checking for updates…"));
  QNetworkReply* reply = ShareApi::network().get(request(url, kFeedTimeoutMs));
  // A feed larger than any real one is cut off rather than buffered whole.
  connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
    if (received > UpdateFeed::kMaxFeedBytes) reply->abort();
  });
  connect(reply, &QNetworkReply::finished, this, [this, reply, userInitiated] { onFeed(reply, userInitiated); });
}

void Updater::onFeed(QNetworkReply* reply, bool userInitiated) {
  reply->deleteLater();
  if (reply->error() != QNetworkReply::NoError) {
    log(QStringLiteral("checking failed: ") + reply->errorString());
    finishCheck(userInitiated, QStringLiteral("Could not check for updates: ") + reply->errorString() + u'.');
    return;
  }
  Result<std::vector<UpdateItem>> items = UpdateFeed::parse(reply->readAll());
  if (!items.ok()) {
    log(QStringLiteral("checking failed: ") + items.error().description);
    finishCheck(userInitiated, QStringLiteral("Could not check for updates: ") + items.error().description + u'.');
    return;
  }
  Preferences::setValue(kLastCheckKey, QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
  available_ = UpdateFeed::newest(items.value(), config_.build);
  if (!available_) {
    log(QStringLiteral("Nimbo ") + config_.version + QStringLiteral(" is the newest"));
    finishCheck(userInitiated, QStringLiteral("Nimbo is up to date."));
    return;
  }
  const UpdateItem item = *available_;
  log(QStringLiteral("Nimbo ") + item.displayVersion + QStringLiteral(" (build ") + item.version +
      QStringLiteral(") is available"));
  if (ready_ && ready_->version == item.version) {
    // Already waiting: say so again (the controller keeps quiet about it).
    becomeReady(item);
    return;
  }
  switch (installKind()) {
    case InstallKind::systemPackage:
      finishCheck(userInitiated, QStringLiteral("Nimbo ") + item.displayVersion +
                                     QStringLiteral(" is available from your system's package manager."));
      return;
    case InstallKind::unmanaged:
      finishCheck(userInitiated, QStringLiteral("Nimbo ") + item.displayVersion +
                                     QStringLiteral(" is available. This copy is not installed, so it is not "
                                                    "updated in place (see nimbo install-local)."));
      return;
    case InstallKind::userLocal:
      break;
  }
  if (!userInitiated && !automaticallyDownloadsUpdates()) {
    finishCheck(false, QStringLiteral("Nimbo ") + item.displayVersion +
                           QStringLiteral(" is available. Check now to download it."));
    return;
  }
  if (!UpdateFeed::transportAllowed(item.url)) {
    refuse(item, userInitiated, QStringLiteral("its archive is not offered over HTTPS"));
    return;
  }
  download(item, userInitiated);
}

void Updater::download(const UpdateItem& item, bool userInitiated) {
  if (!QDir().mkpath(versionsDir())) {
    finishCheck(userInitiated, QStringLiteral("Could not download the update: cannot create ") + versionsDir() + u'.');
    return;
  }
  const QString part = versionsDir() + QStringLiteral("/.download-") + item.displayVersion + QStringLiteral(".part");
  auto file = std::make_shared<QFile>(part);
  if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    finishCheck(userInitiated, QStringLiteral("Could not download the update: ") + file->errorString() + u'.');
    return;
  }
  setStatus(QStringLiteral("Downloading Nimbo ") + item.displayVersion + QStringLiteral("…"));
  log(QStringLiteral("downloading ") + item.url.toString());
  QNetworkReply* reply = ShareApi::network().get(request(item.url, kDownloadTimeoutMs));
  auto tooLong = std::make_shared<bool>(false);
  auto writeFailed = std::make_shared<QString>();
  connect(reply, &QNetworkReply::readyRead, this, [reply, file, item, tooLong, writeFailed] {
    const QByteArray chunk = reply->readAll();
    if (file->size() + chunk.size() > item.length) {
      *tooLong = true;
      reply->abort();
      return;
    }
    if (file->write(chunk) != chunk.size()) {
      *writeFailed = file->errorString();
      reply->abort();
    }
  });
  connect(reply, &QNetworkReply::finished, this, [this, reply, file, part, item, userInitiated, tooLong, writeFailed] {
    reply->deleteLater();
    const bool flushed = file->flush() && ::fsync(file->handle()) == 0;
    const qint64 size = file->size();
    file->close();
    QString why;
    if (*tooLong) why = QStringLiteral("the download is longer than announced");
    else if (!writeFailed->isEmpty()) why = QStringLiteral("cannot save the download: ") + *writeFailed;
    else if (reply->error() != QNetworkReply::NoError) why = QStringLiteral("the download failed: ") + reply->errorString();
    else if (!flushed) why = QStringLiteral("cannot save the download");
    else if (size != item.length)
      why = QStringLiteral("the download is %1 bytes, not the %2 announced").arg(size).arg(item.length);
    if (!why.isEmpty()) {
      QFile::remove(part);
      refuse(item, userInitiated, why);
      return;
    }
    // Checking a signature reads the whole archive: off the main thread.
    auto* watcher = new QFutureWatcher<Result<bool>>(this);
    connect(watcher, &QFutureWatcher<Result<bool>>::finished, this, [this, watcher, part, item, userInitiated] {
      watcher->deleteLater();
      const Result<bool> verified = watcher->result();
      if (!verified.ok()) {
        QFile::remove(part);
        refuse(item, userInitiated, verified.error().description);
        return;
      }
      log(QStringLiteral("the signature of Nimbo ") + item.displayVersion + QStringLiteral(" verifies"));
      unpack(item, part, userInitiated);
    });
    watcher->setFuture(QtConcurrent::run([part, key = config_.publicKey, sig = item.signature] {
      return UpdateSignature::verifyFile(part, key, sig);
    }));
  });
}

void Updater::unpack(const UpdateItem& item, const QString& archive, bool userInitiated) {
  const QString dir = versionsDir() + QStringLiteral("/.unpack-") + item.displayVersion + u'-' +
                      QString::number(QCoreApplication::applicationPid());
  removeTree(dir);
  if (!QDir().mkpath(dir)) {
    QFile::remove(archive);
    refuse(item, userInitiated, QStringLiteral("cannot create ") + dir);
    return;
  }
  setStatus(QStringLiteral("Preparing Nimbo ") + item.displayVersion + QStringLiteral("…"));
  auto* tar = new QProcess(this);
  tar->setProgram(QStringLiteral("tar"));
  tar->setArguments({QStringLiteral("--extract"), QStringLiteral("--xz"), QStringLiteral("--file"), archive,
                     QStringLiteral("--directory"), dir, QStringLiteral("--strip-components=1"),
                     QStringLiteral("--no-same-owner")});
  tar->setProcessChannelMode(QProcess::MergedChannels);
  auto done = std::make_shared<bool>(false);
  auto finish = [this, tar, item, archive, dir, userInitiated, done](const QString& why) {
    if (*done) return;
    *done = true;
    tar->deleteLater();
    QFile::remove(archive);
    if (!why.isEmpty()) {
      removeTree(dir);
      refuse(item, userInitiated, why);
      return;
    }
    checkUnpacked(item, dir, userInitiated);
  };
  connect(tar, &QProcess::errorOccurred, this, [finish, tar](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) finish(QStringLiteral("cannot run tar: ") + tar->errorString());
  });
  connect(tar, &QProcess::finished, this, [finish, tar](int code, QProcess::ExitStatus status) {
    if (status != QProcess::NormalExit || code != 0)
      finish(QStringLiteral("the archive does not unpack: ") + QString::fromLocal8Bit(tar->readAll()).trimmed());
    else
      finish({});
  });
  tar->start();
}

void Updater::checkUnpacked(const UpdateItem& item, const QString& dir, bool userInitiated) {
  const QString launcher = dir + QStringLiteral("/bin/nimbo");
  for (const QString& needed : {launcher, dir + QStringLiteral("/lib/nimbo/libnimbo_app.so")}) {
    if (!QFileInfo(needed).isFile()) {
      removeTree(dir);
      refuse(item, userInitiated, QStringLiteral("the archive has no ") + needed.mid(dir.size() + 1));
      return;
    }
  }
  // The signature covers the archive, not the feed's words about it: the
  // program inside must be the version announced, so an older signed
  // archive cannot come back under a newer number.
  auto* probe = new QProcess(this);
  probe->setProgram(launcher);
  probe->setArguments({QStringLiteral("--version")});
  auto done = std::make_shared<bool>(false);
  auto finish = [this, probe, item, dir, userInitiated, done](const QString& why) {
    if (*done) return;
    *done = true;
    probe->deleteLater();
    if (!why.isEmpty()) {
      removeTree(dir);
      refuse(item, userInitiated, why);
      return;
    }
    const QString target = versionsDir() + u'/' + item.displayVersion;
    const QString old = versionsDir() + QStringLiteral("/.replaced-") + item.displayVersion + u'-' +
                        QString::number(QCoreApplication::applicationPid());
    // A copy of the same version already there (an earlier try) is replaced,
    // unless it is the one running.
    if (QFileInfo::exists(target) && canonical(target) == runningVersionDir()) {
      removeTree(dir);
      refuse(item, userInitiated, QStringLiteral("that version is the one running"));
      return;
    }
    if (QFileInfo::exists(target) && !QDir().rename(target, old)) {
      removeTree(dir);
      refuse(item, userInitiated, QStringLiteral("cannot replace ") + target);
      return;
    }
    if (!QDir().rename(dir, target)) {
      removeTree(dir);
      refuse(item, userInitiated, QStringLiteral("cannot move the new version into place"));
      return;
    }
    removeTree(old);
    becomeReady(item);
  };
  connect(probe, &QProcess::errorOccurred, this, [finish, probe](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) finish(QStringLiteral("its program does not start: ") + probe->errorString());
  });
  connect(probe, &QProcess::finished, this, [finish, probe, item](int code, QProcess::ExitStatus status) {
    const QString said = QString::fromUtf8(probe->readAllStandardOutput()).trimmed();
    const QString expected = QStringLiteral("nimbo ") + item.displayVersion + QStringLiteral(" (build ") +
                             item.version + u')';
    if (status != QProcess::NormalExit || code != 0) finish(QStringLiteral("its program does not run"));
    else if (said != expected)
      finish(QStringLiteral("the archive holds \"") + said + QStringLiteral("\", not the version announced"));
    else
      finish({});
  });
  QTimer::singleShot(kToolTimeoutMs, probe, [probe] { probe->kill(); });
  probe->start();
}

void Updater::becomeReady(const UpdateItem& item) {
  const bool first = !ready_ || ready_->version != item.version;
  ready_ = item;
  installedForQuit_ = false;
  if (first) log(QStringLiteral("Nimbo ") + item.displayVersion + QStringLiteral(" is ready to install on quit"));
  busy_ = false;
  setStatus(QStringLiteral("Nimbo ") + item.displayVersion + QStringLiteral(" is ready to install."));
  const QString version = item.displayVersion;
  QPointer<Updater> self(this);
  Q_EMIT readyToInstallOnQuit(version, [self, version] {
    if (self) self->installNowAndRestart(version);
  });
  scheduleNext();
}

Result<bool> Updater::switchTo(const QString& displayVersion) {
  const QString root = installRoot();
  const QString target = QStringLiteral("versions/") + displayVersion;
  if (!QFileInfo(root + u'/' + target + QStringLiteral("/bin/nimbo")).isFile())
    return Error{QStringLiteral("Nimbo ") + displayVersion + QStringLiteral(" is not unpacked"), QStringLiteral("Nimbo.Updates"), -3};
  // A new link beside the old one, renamed over it: whoever starts Nimbo
  // meanwhile finds one version or the other, never none.
  const QByteArray temp = QFile::encodeName(root + QStringLiteral("/.current-") +
                                            QString::number(QCoreApplication::applicationPid()));
  ::unlink(temp.constData());
  if (::symlink(QFile::encodeName(target).constData(), temp.constData()) != 0 ||
      ::rename(temp.constData(), QFile::encodeName(root + QStringLiteral("/current")).constData()) != 0) {
    const QString why = QString::fromLocal8Bit(std::strerror(errno));
    ::unlink(temp.constData());
    return Error{QStringLiteral("cannot switch to Nimbo ") + displayVersion + QStringLiteral(": ") + why,
                 QStringLiteral("Nimbo.Updates"), -3};
  }
  installedForQuit_ = ready_ && ready_->displayVersion == displayVersion;
  log(QStringLiteral("Nimbo ") + displayVersion + QStringLiteral(" is now the version in use"));
  return true;
}

void Updater::installNowAndRestart(const QString& displayVersion) {
  const Result<bool> r = switchTo(displayVersion);
  if (!r.ok()) {
    log(r.error().description);
    setStatus(QStringLiteral("Could not install the update: ") + r.error().description + u'.');
    return;
  }
  // The new version starts once this process has gone (it would otherwise
  // find us running and only bring us forward).
  const QString program = installRoot() + QStringLiteral("/current/bin/nimbo");
  const bool started = QProcess::startDetached(
      QStringLiteral("/bin/sh"),
      {QStringLiteral("-c"),
       QStringLiteral("while kill -0 \"$1\" 2>/dev/null; do sleep 0.1; done; exec \"$2\""),
       QStringLiteral("nimbo-restart"), QString::number(QCoreApplication::applicationPid()), program});
  log(QStringLiteral("restarting into Nimbo ") + displayVersion + (started ? QString() : QStringLiteral(" failed")));
  if (started) QCoreApplication::quit();
}

void Updater::removeLeftovers() {
  // Downloads and unpacked folders of an update that was interrupted; the
  // versions themselves stay: the one in use, the one running and the
  // newest other one, to go back to.
  QDir versions(versionsDir());
  if (!versions.exists()) return;
  for (const QFileInfo& f : versions.entryInfoList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot)) {
    const QString name = f.fileName();
    if (name.startsWith(QLatin1String(".download-")) || name.startsWith(QLatin1String(".unpack-")) ||
        name.startsWith(QLatin1String(".replaced-"))) {
      log(QStringLiteral("removing what an interrupted update left: ") + name);
      if (f.isDir() && !f.isSymLink()) removeTree(f.absoluteFilePath());
      else QFile::remove(f.absoluteFilePath());
    }
  }
  if (installKind() != InstallKind::userLocal) return;
  const QString current = canonical(installRoot() + QStringLiteral("/current"));
  const QString running = runningVersionDir();
  QStringList others;
  for (const QString& name : versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    const QString path = canonical(versions.absoluteFilePath(name));
    if (path != current && path != running) others << name;
  }
  std::sort(others.begin(), others.end(), [](const QString& a, const QString& b) {
    return UpdateFeed::compareVersions(a, b) > 0;
  });
  for (qsizetype i = 1; i < others.size(); ++i) {
    log(QStringLiteral("removing the old version ") + others[i]);
    removeTree(versions.absoluteFilePath(others[i]));
  }
}

}  // namespace nimbo
