#pragma once
#include <QObject>
#include <QString>

class QSystemTrayIcon;

namespace nimbo {

// The running application: tray icon, command dispatch and start-up.
class TrayApp : public QObject {
  Q_OBJECT
 public:
  explicit TrayApp(QObject* parent = nullptr);
  // Runs one command-line action ("capture-to-clipboard", …); false when the
  // action is unknown.
  bool dispatch(const QString& action);

 private:
  void setUpTrayIcon();
  QSystemTrayIcon* tray_ = nullptr;
};

// The actions accepted on the command line and over the instance socket.
bool isKnownAction(const QString& action);

}  // namespace nimbo
