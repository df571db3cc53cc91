#include "app/single_instance.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include "util/instance_socket.h"

namespace nimbo {

QString SingleInstance::socketPath() {
  return QString::fromStdString(instance_socket::path());
}

SingleInstance::SingleInstance(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)), server_(new QLocalServer(this)) {
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* s = server_->nextPendingConnection()) {
      connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
      connect(s, &QLocalSocket::readyRead, this, [this, s] {
        while (s->canReadLine()) {
          const QString command = QString::fromUtf8(s->readLine()).trimmed();
          const QString error = handler_(command);
          s->write(error.isEmpty() ? QByteArray("ok\n") : "error " + error.toUtf8() + '\n');
          s->flush();
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
