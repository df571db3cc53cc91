#include "platform/linux/portal/portal_request.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QObject>
#include <QTimer>

#include <atomic>

namespace nimbo::portal {
namespace {

class Waiter : public QObject {
  Q_OBJECT
 public:
  Answer answer;
  QTimer timeout;

  void finish(uint code, const QVariantMap& results) {
    if (!answer) return;
    Answer a = std::move(answer);
    answer = nullptr;
    timeout.stop();
    deleteLater();
    a(code, results);
  }

 public Q_SLOTS:
  void response(uint code, const QVariantMap& results) { finish(code, results); }
};

}  // namespace

QString newToken() {
  static std::atomic<int> counter{0};
  return QStringLiteral("nimbo_%1_%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

Error responseError(uint code, const QVariantMap& results, const QString& what) {
  if (code == 1) return platformError(PlatformErrorCode::permissionDenied, what + QStringLiteral(": the user said no"));
  const QString reason = results.value(QStringLiteral("error")).toString();
  return platformError(PlatformErrorCode::failed,
                       what + QStringLiteral(" failed") + (reason.isEmpty() ? QString() : ": " + reason));
}

void request(const QString& interface, const QString& method, const QVariantList& args, QVariantMap options,
             Answer answer, int timeoutMs) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return answer(2, {{QStringLiteral("error"), QStringLiteral("no session bus")}});
  const QString token = newToken();
  QString sender = bus.baseService().mid(1);
  sender.replace('.', '_');
  const QString requestPath = kPath + "/request/" + sender + '/' + token;
  auto* waiter = new Waiter;
  waiter->answer = std::move(answer);
  bus.connect(kService, requestPath, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"),
              waiter, SLOT(response(uint, QVariantMap)));
  waiter->timeout.setSingleShot(true);
  QObject::connect(&waiter->timeout, &QTimer::timeout, waiter, [waiter] {
    waiter->finish(2, {{QStringLiteral("error"), QStringLiteral("the desktop portal did not answer")}});
  });
  waiter->timeout.start(timeoutMs);

  options.insert(QStringLiteral("handle_token"), token);
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, interface, method);
  QVariantList all = args;
  all << options;
  call.setArguments(all);
  // Asynchronously: a portal showing the user a dialog answers the call at
  // once, but nothing says it must.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, timeoutMs), waiter);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, waiter, [waiter, watcher] {
    watcher->deleteLater();
    if (watcher->isError())
      waiter->finish(2, {{QStringLiteral("error"), watcher->error().message()}});
  });
}

}  // namespace nimbo::portal

#include "portal_request.moc"
