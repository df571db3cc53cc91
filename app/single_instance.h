#pragma once
#include <QObject>
#include <QString>

class QLocalServer;

namespace nimbo {

// One Nimbo per user session. The running instance listens on a local socket
// in $XDG_RUNTIME_DIR; later invocations hand it their command and exit.
class SingleInstance : public QObject {
  Q_OBJECT
 public:
  static QString socketPath();

  explicit SingleInstance(QObject* parent = nullptr);
  // Starts listening; false when another instance already answers.
  bool listen();

 Q_SIGNALS:
  void commandReceived(const QString& command);

 private:
  QLocalServer* server_;
};

}  // namespace nimbo
