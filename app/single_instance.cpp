#include "app/single_instance.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include "util/paths.h"

namespace nimbo {

QString SingleInstance::socketPath() {
  return paths::runtimeDir() + "/" + paths::kAppId + ".sock";
}

bool SingleInstance::send(const QString& command, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(socketPath());
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(command.toUtf8() + '\n');
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  while (!socket.canReadLine()) {
    if (!socket.waitForReadyRead(timeoutMs)) return false;
  }
  return socket.readLine().trimmed() == "ok";
}

SingleInstance::SingleInstance(QObject* parent) : QObject(parent), server_(new QLocalServer(this)) {
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* s = server_->nextPendingConnection()) {
      connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
      connect(s, &QLocalSocket::readyRead, this, [this, s] {
        while (s->canReadLine()) {
          const QString command = QString::fromUtf8(s->readLine()).trimmed();
          s->write("ok\n");
          s->flush();
          Q_EMIT commandReceived(command);
        }
      });
    }
  });
}

bool SingleInstance::listen() {
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (server_->listen(socketPath())) return true;
  // A socket file left by a crashed instance answers nobody: take it over.
  QLocalSocket probe;
  probe.connectToServer(socketPath());
  if (probe.waitForConnected(500)) return false;
  QLocalServer::removeServer(socketPath());
  return server_->listen(socketPath());
}

}  // namespace nimbo
