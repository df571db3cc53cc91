#include "platform/linux/freedesktop/desktop_notifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "util/log.h"

namespace nimbo {

namespace {

const char kService[] = "org.freedesktop.Notifications";
const char kPath[] = "/org/freedesktop/Notifications";
const char kInterface[] = "org.freedesktop.Notifications";

QDBusMessage method(const char* name) {
  return QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                        QString::fromLatin1(kInterface), QString::fromLatin1(name));
}

}  // namespace

DesktopNotifications::DesktopNotifications(QString desktopEntry) : desktopEntry_(std::move(desktopEntry)) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.connect(QString::fromLatin1(kService), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
              QStringLiteral("ActionInvoked"), this, SLOT(onActionInvoked(uint, QString)));
  bus.connect(QString::fromLatin1(kService), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
              QStringLiteral("NotificationClosed"), this, SLOT(onClosed(uint, uint)));
}

void DesktopNotifications::requestAuthorization(std::function<void(bool)> answer) {
  // Linux has no per-application permission: notifications can be shown
  // when a server answers. Asking for its capabilities starts one that is
  // activated on demand.
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(method("GetCapabilities"), 5000), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, answer = std::move(answer)] {
    watcher->deleteLater();
    QDBusPendingReply<QStringList> reply = *watcher;
    if (reply.isError()) {
      logLine(QStringLiteral("Nimbo: no notification server: ") + reply.error().message());
      answer(false);
      return;
    }
    if (!reply.value().contains(QStringLiteral("actions")))
      logLine(QStringLiteral("Nimbo: the notification server shows no actions; clicking a notification may do nothing"));
    answer(true);
  });
}

void DesktopNotifications::post(const QString& identifier, const QString& title, const QString& body) {
  QDBusMessage call = method("Notify");
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), desktopEntry_);
  hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(1)));
  call << QStringLiteral("Nimbo") << ids_.value(identifier, 0u) << desktopEntry_ << title << body
       << QStringList{QStringLiteral("default"), title} << hints << qint32(-1);
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 5000), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, identifier] {
    watcher->deleteLater();
    QDBusPendingReply<uint> reply = *watcher;
    if (reply.isError()) {
      logLine(QStringLiteral("Nimbo: notification not shown: ") + reply.error().message());
      return;
    }
    ids_.insert(identifier, reply.value());
  });
}

void DesktopNotifications::onActionInvoked(uint id, const QString& actionKey) {
  // The server broadcasts every application's clicks; only ours count.
  const QString identifier = ids_.key(id);
  if (identifier.isEmpty() || actionKey != QLatin1String("default")) return;
  if (activated) activated(identifier);
}

void DesktopNotifications::onClosed(uint id, uint) {
  // A closed notification's id is not reused for replacing: the next post
  // of the same identifier makes a new one.
  const QString identifier = ids_.key(id);
  if (!identifier.isEmpty()) ids_.remove(identifier);
}

}  // namespace nimbo
