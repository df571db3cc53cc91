#include "sharing/update_controller.h"

#include <QCoreApplication>
#include <QPointer>

#include "platform/platform.h"
#include "util/log.h"

namespace nimbo {

namespace {

UpdaterConfig& pendingConfig() {
  static UpdaterConfig config;
  return config;
}

std::unique_ptr<UpdateController>& instance() {
  static std::unique_ptr<UpdateController> shared;
  return shared;
}

}  // namespace

UpdateController::UpdateController(UpdaterConfig config) : updater_(std::make_unique<Updater>(std::move(config))) {
  connect(updater_.get(), &Updater::readyToInstallOnQuit, this,
          [this](const QString& version, std::function<void()> installNow) { updateReady(version, std::move(installNow)); });
  connect(updater_.get(), &Updater::checkDone, this, [this](const QString& message) {
    if (!checkRequested_) return;
    checkRequested_ = false;
    postCheckResult(message);
  });
  if (UserNotifications* n = platform().notifications.get()) {
    QPointer<UpdateController> self(this);
    n->activated = [self](const QString& identifier) {
      if (self) self->notificationClicked(identifier);
    };
  }
}

UpdateController& UpdateController::shared() {
  if (!instance()) instance().reset(new UpdateController(pendingConfig()));
  return *instance();
}

void UpdateController::configure(UpdaterConfig config) { pendingConfig() = std::move(config); }

UpdateController& UpdateController::resetForTesting(UpdaterConfig config) {
  instance().reset(new UpdateController(std::move(config)));
  return *instance();
}

void UpdateController::start() { updater_->start(); }

void UpdateController::checkForUpdates() {
  checkRequested_ = true;
  updater_->checkForUpdates(true);
}

void UpdateController::updateReady(const QString& version, std::function<void()> installNow) {
  installNow_ = std::move(installNow);
  if (readyVersion_ == version) return;  // the same release again: no second notification
  readyVersion_ = version;
  Q_EMIT readyVersionChanged();
  postReadyNotification(version);
}

void UpdateController::postReadyNotification(const QString& version) {
  UserNotifications* n = platform().notifications.get();
  if (!n) return;
  n->requestAuthorization([version](bool granted) {
    // Refused: the popover's banner still offers the restart.
    if (!granted) return;
    if (UserNotifications* now = platform().notifications.get())
      now->post(QString::fromLatin1(kReadyNotification), QStringLiteral("Nimbo ") + version + QStringLiteral(" is ready"),
                QStringLiteral("Click to restart and update."));
  });
}

void UpdateController::postCheckResult(const QString& message) {
  UserNotifications* n = platform().notifications.get();
  if (!n) return;
  n->requestAuthorization([message](bool granted) {
    if (!granted) return;
    if (UserNotifications* now = platform().notifications.get())
      now->post(QString::fromLatin1(kCheckNotification), QStringLiteral("Nimbo updates"), message);
  });
}

void UpdateController::notificationClicked(const QString& identifier) {
  if (identifier != QLatin1String(kReadyNotification)) return;
  // Off the notification's own call, on the main loop.
  QPointer<UpdateController> self(this);
  QMetaObject::invokeMethod(
      this,
      [self] {
        if (self && self->installNow_) self->installNow_();
      },
      Qt::QueuedConnection);
}

}  // namespace nimbo
