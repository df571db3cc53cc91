#pragma once
#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;

namespace nimbo {

// One Nimbo per user session. The running instance listens on a local socket
// in $XDG_RUNTIME_DIR; later invocations hand it their command and exit.
class SingleInstance : public QObject {
  Q_OBJECT
 public:
  static QString socketPath();

  // `handler` runs each command and returns an error text, or "" when done.
  using Handler = std::function<QString(const QString& command)>;
  SingleInstance(Handler handler, QObject* parent = nullptr);
  // Starts listening; false when another instance already answers.
  bool listen();

 private:
  Handler handler_;
  QLocalServer* server_;
};

}  // namespace nimbo
