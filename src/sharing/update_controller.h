#pragma once
// Turns "an update is ready to install on quit" into what the user sees:
// the version is remembered (the popover shows its banner while it is set),
// a notification says "Nimbo <version> is ready", and a click on either
// restarts into the new version at once. Main thread.
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

#include "sharing/updater.h"

namespace nimbo {

class UpdateController : public QObject {
  Q_OBJECT
 public:
  inline static constexpr char kReadyNotification[] = "nimbo-update-ready";
  inline static constexpr char kCheckNotification[] = "nimbo-update-check";

  // Made on first use; `configure` first gives it the running build's facts
  // (without them it still works, as an unmanaged copy with no feed).
  static UpdateController& shared();
  static void configure(UpdaterConfig config);
  // Starts the updater's checks (at start-up).
  void start();

  const std::optional<QString>& readyVersion() const { return readyVersion_; }
  // Restarts into the ready version; unset until one is ready.
  const std::function<void()>& installNowBlock() const { return installNow_; }
  Updater& updater() { return *updater_; }
  // The popover's and the Updates pane's "check now".
  void checkForUpdates();

  // What the updater reports (public for tests).
  void updateReady(const QString& version, std::function<void()> installNow);
  void notificationClicked(const QString& identifier);

  // A fresh controller for tests, replacing the shared one.
  static UpdateController& resetForTesting(UpdaterConfig config = {});

 Q_SIGNALS:
  void readyVersionChanged();

 private:
  explicit UpdateController(UpdaterConfig config);
  void postReadyNotification(const QString& version);
  void postCheckResult(const QString& message);

  std::unique_ptr<Updater> updater_;
  std::optional<QString> readyVersion_;
  std::function<void()> installNow_;
  bool checkRequested_ = false;
};

}  // namespace nimbo
