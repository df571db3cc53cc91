#pragma once
#include <QHash>
#include <QObject>

#include "platform/platform.h"

class QDBusMessage;

namespace nimbo {

// org.freedesktop.Notifications on the session bus (GNOME Shell, Plasma,
// dunst, mako…). Each notification carries the "default" action, which the
// server invokes when the notification itself is clicked. Identifiers map to
// the server's numeric ids, so posting one again replaces it on screen.
class DesktopNotifications : public QObject, public UserNotifications {
  Q_OBJECT
 public:
  // `desktopEntry` names our .desktop file (the server shows its icon and
  // name, and may group by it).
  explicit DesktopNotifications(QString desktopEntry);
  void requestAuthorization(std::function<void(bool granted)> answer) override;
  void post(const QString& identifier, const QString& title, const QString& body) override;

 private Q_SLOTS:
  void onActionInvoked(uint id, const QString& actionKey);
  void onClosed(uint id, uint reason);

 private:
  QString desktopEntry_;
  QHash<QString, uint> ids_;  // our identifier → the server's id
};

}  // namespace nimbo
