#include "platform/linux/portal/portal_screenshot.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QUrl>

#include "platform/linux/portal/portal_request.h"

namespace nimbo::PortalScreenshot {

bool available() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  return bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(portal::kService).value();
}

void take(std::function<void(Result<QImage>)> done, int timeoutMs) {
  const QVariantMap options{{QStringLiteral("interactive"), false}, {QStringLiteral("modal"), false}};
  portal::request(
      QStringLiteral("org.freedesktop.portal.Screenshot"), QStringLiteral("Screenshot"), {QString()}, options,
      [done = std::move(done)](uint code, const QVariantMap& results) {
        if (code != 0) {
          if (code == 1)
            return done(platformError(PlatformErrorCode::permissionDenied,
                                      QStringLiteral("the screenshot portal said no (%1)").arg(code)));
          return done(portal::responseError(code, results, QStringLiteral("the screenshot portal")));
        }
        const QUrl uri(results.value(QStringLiteral("uri")).toString());
        if (!uri.isLocalFile())
          return done(platformError(PlatformErrorCode::failed, QStringLiteral("the screenshot portal gave no file")));
        const QString path = uri.toLocalFile();
        QImage image(path);
        // The portal saved a copy for us alone; it is not the user's to keep.
        QFile::remove(path);
        if (image.isNull())
          return done(
              platformError(PlatformErrorCode::failed, "the screenshot portal's file is not a picture: " + path));
        done(std::move(image));
      },
      timeoutMs);
}

}  // namespace nimbo::PortalScreenshot
