#include "app/single_instance.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include "util/instance_socket.h"

namespace nimbo {

QString SingleInstance::socketPath() {
  return QString::fromStdString(instance_socket::path());
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
