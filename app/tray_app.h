#pragma once
#include <QObject>
#include <QString>

class QSystemTrayIcon;

namespace nimbo {

// The running application's tray icon and the commands it accepts from the
// command line (through the instance socket).
class TrayApp : public QObject {
  Q_OBJECT
 public:
  explicit TrayApp(QObject* parent = nullptr);
  // Runs one command line ("capture-to-clipboard", "shortcut set …",
  // "activate"); returns an error text, or "" when it ran.
  QString run(const QString& command);

 private:
  void setUpTrayIcon();
  void reopen();
  QString shortcutCommand(const QStringList& words);
  QString editCommand(const QStringList& words);
  bool showsRecording_ = false;
  QSystemTrayIcon* tray_ = nullptr;
};

}  // namespace nimbo
