#pragma once
// Our small updater. It checks the update feed at start-up and then at the
// chosen interval, downloads a newer release in the background when allowed,
// checks its length, its Ed25519 signature and the version inside it,
// unpacks it beside the running one and reports it ready to install on quit,
// with a callback that installs it at once and restarts.
//
// Only a user-local install (see `nimbo install-local`) is updated in place:
//   DATA/nimbo/versions/<version>/   one whole release each (bin/, lib/nimbo/, share/)
//   DATA/nimbo/current               relative link to the version in use
// so installing is replacing one link. A Debian-package install is left to
// the package manager: checks still report what is available. Main thread.
#include <QDateTime>
#include <QObject>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

#include "sharing/update_feed.h"

class QNetworkReply;
class QTimer;

namespace nimbo {

struct UpdaterConfig {
  QString version;        // the running build's version, "0.1.0"
  QString build;          // and its build number, "1"
  QUrl feedURL;           // built in; the settings key updates.feedURL overrides it
  QByteArray publicKey;   // raw Ed25519 key archives must be signed with
  QString executable;     // the running launcher's real path
};

enum class InstallKind { userLocal, systemPackage, unmanaged };

class Updater : public QObject {
  Q_OBJECT
 public:
  explicit Updater(UpdaterConfig config, QObject* parent = nullptr);
  ~Updater() override;

  inline static constexpr int kDefaultInterval = 86400;
  inline static constexpr char kAutomaticDownloadsKey[] = "updates.automaticallyDownloads";
  inline static constexpr char kIntervalKey[] = "updates.checkInterval";
  inline static constexpr char kLastCheckKey[] = "updates.lastCheck";
  inline static constexpr char kFeedKey[] = "updates.feedURL";

  const UpdaterConfig& config() const { return config_; }
  InstallKind installKind() const;
  // DATA/nimbo: where user-local releases live.
  static QString installRoot();
  // The path that keeps starting this program across updates: for a
  // user-local install DATA/nimbo/current/bin/nimbo rather than one version's
  // own copy (which goes when it is two versions old); else `executable`.
  static QString lastingProgramPath(const QString& executable);

  bool automaticallyDownloadsUpdates() const;
  void setAutomaticallyDownloadsUpdates(bool on);
  // Seconds between checks (at least 60).
  int updateCheckInterval() const;
  void setUpdateCheckInterval(int seconds);
  std::optional<QDateTime> lastUpdateCheckDate() const;
  QUrl feedURL() const;

  // Cleans what an interrupted update left, checks soon, then every interval.
  void start();
  // Checks now. A check the user asked for downloads what it finds even when
  // automatic downloads are off; its outcome is also reported by `checkDone`.
  void checkForUpdates(bool userInitiated = true);
  bool busy() const { return busy_; }
  // One sentence on where updating stands, for the Updates pane.
  QString statusText() const { return status_; }
  // The newest release the last check found, whether or not it can be installed here.
  std::optional<UpdateItem> available() const { return available_; }

  // Makes `displayVersion` the version in use by replacing the `current`
  // link at once. The running program is not touched.
  Result<bool> switchTo(const QString& displayVersion);

 Q_SIGNALS:
  void statusChanged();
  // A verified release waits in versions/: it becomes current when the
  // application quits, or at once through `installNow` (which restarts).
  void readyToInstallOnQuit(const QString& displayVersion, std::function<void()> installNow);
  // A check the user asked for has ended without a release made ready (that
  // is said by readyToInstallOnQuit); `message` says how, in a sentence.
  void checkDone(const QString& message);

 private:
  void setStatus(const QString& status);
  void finishCheck(bool userInitiated, const QString& message);
  void refuse(const UpdateItem& item, bool userInitiated, const QString& why);
  void onFeed(QNetworkReply* reply, bool userInitiated);
  void download(const UpdateItem& item, bool userInitiated);
  void unpack(const UpdateItem& item, const QString& archive, bool userInitiated);
  void checkUnpacked(const UpdateItem& item, const QString& dir, bool userInitiated);
  void becomeReady(const UpdateItem& item);
  void installNowAndRestart(const QString& displayVersion);
  void scheduleNext();
  void removeLeftovers();
  QString runningVersionDir() const;

  UpdaterConfig config_;
  QTimer* timer_ = nullptr;
  bool started_ = false;
  bool busy_ = false;
  QString status_;
  std::optional<UpdateItem> available_;
  std::optional<UpdateItem> ready_;
  bool installedForQuit_ = false;
};

}  // namespace nimbo
