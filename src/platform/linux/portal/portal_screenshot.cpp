#include "platform/linux/portal/portal_screenshot.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QObject>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include <memory>

namespace nimbo::PortalScreenshot {
namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");

// The portal answers on a Request object whose path follows from our bus
// name and a token of ours; we listen there before asking, so the answer
// cannot come before we do.
class Waiter : public QObject {
  Q_OBJECT
 public:
  std::function<void(Result<QImage>)> done;
  QTimer timeout;

  void finish(Result<QImage> r) {
    if (!done) return;
    auto d = std::move(done);
    done = nullptr;
    timeout.stop();
    deleteLater();
    d(std::move(r));
  }

 public Q_SLOTS:
  void response(uint code, const QVariantMap& results) {
    if (code != 0) {
      finish(platformError(PlatformErrorCode::permissionDenied,
                           QStringLiteral("the screenshot portal said no (%1)").arg(code)));
      return;
    }
    const QUrl uri(results.value(QStringLiteral("uri")).toString());
    if (!uri.isLocalFile()) {
      finish(platformError(PlatformErrorCode::failed, QStringLiteral("the screenshot portal gave no file")));
      return;
    }
    const QString path = uri.toLocalFile();
    QImage image(path);
    // The portal saved a copy for us alone; it is not the user's to keep.
    QFile::remove(path);
    if (image.isNull()) {
      finish(platformError(PlatformErrorCode::failed, "the screenshot portal's file is not a picture: " + path));
      return;
    }
    finish(std::move(image));
  }
};

}  // namespace

bool available() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  return bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(kService).value();
}

void take(std::function<void(Result<QImage>)> done, int timeoutMs) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return done(platformError(PlatformErrorCode::failed, QStringLiteral("no session bus")));
  const QString token = QStringLiteral("nimbo%1").arg(QRandomGenerator::global()->generate());
  QString sender = bus.baseService().mid(1);
  sender.replace('.', '_');
  const QString requestPath = kPath + "/request/" + sender + '/' + token;
  auto* waiter = new Waiter;
  waiter->done = std::move(done);
  bus.connect(kService, requestPath, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"),
              waiter, SLOT(response(uint, QVariantMap)));
  waiter->timeout.setSingleShot(true);
  QObject::connect(&waiter->timeout, &QTimer::timeout, waiter, [waiter] {
    waiter->finish(platformError(PlatformErrorCode::failed, QStringLiteral("the screenshot portal did not answer")));
  });
  waiter->timeout.start(timeoutMs);

  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.portal.Screenshot"),
                                                     QStringLiteral("Screenshot"));
  QVariantMap options{{QStringLiteral("handle_token"), token}, {QStringLiteral("interactive"), false},
                      {QStringLiteral("modal"), false}};
  call << QString() << options;
  const QDBusMessage reply = bus.call(call, QDBus::Block, timeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage)
    waiter->finish(platformError(PlatformErrorCode::failed, "the screenshot portal failed: " + reply.errorMessage()));
}

}  // namespace nimbo::PortalScreenshot

#include "portal_screenshot.moc"
