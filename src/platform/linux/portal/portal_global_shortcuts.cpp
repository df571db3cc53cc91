#include "platform/linux/portal/portal_global_shortcuts.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QList>
#include <QRandomGenerator>

#include "util/log.h"

namespace nimbo::portal_detail {

// One entry of the portal's a(sa{sv}) shortcut lists.
struct Shortcut {
  QString id;
  QVariantMap properties;
};
using ShortcutList = QList<Shortcut>;

QDBusArgument& operator<<(QDBusArgument& a, const Shortcut& s) {
  a.beginStructure();
  a << s.id << s.properties;
  a.endStructure();
  return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, Shortcut& s) {
  a.beginStructure();
  a >> s.id >> s.properties;
  a.endStructure();
  return a;
}

}  // namespace nimbo::portal_detail

Q_DECLARE_METATYPE(nimbo::portal_detail::Shortcut)
Q_DECLARE_METATYPE(nimbo::portal_detail::ShortcutList)

namespace nimbo {
namespace {

using portal_detail::ShortcutList;

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");

QString newToken() { return QStringLiteral("nimbo%1").arg(QRandomGenerator::global()->generate()); }

// Our unique bus name as it appears in the portal's object paths.
QString senderElement(const QDBusConnection& bus) {
  QString sender = bus.baseService().mid(1);
  sender.replace('.', '_');
  return sender;
}

ShortcutList toPortal(const std::vector<SystemShortcuts::Binding>& bindings) {
  ShortcutList list;
  for (const SystemShortcuts::Binding& b : bindings) {
    QVariantMap properties{{QStringLiteral("description"), b.description}};
    if (!b.preferredTrigger.isEmpty()) properties.insert(QStringLiteral("preferred_trigger"), b.preferredTrigger);
    list.append({b.id, properties});
  }
  return list;
}

Error refused(const QString& what, uint code) {
  // 1: the user said no; anything else: the desktop failed or gave up.
  if (code == 1)
    return platformError(PlatformErrorCode::permissionDenied,
                         QStringLiteral("the desktop declined to %1 (the user cancelled)").arg(what));
  return platformError(PlatformErrorCode::failed, QStringLiteral("the desktop could not %1 (%2)").arg(what).arg(code));
}

}  // namespace

PortalGlobalShortcuts::PortalGlobalShortcuts(int answerMs, int userMs) : answerMs_(answerMs), userMs_(userMs) {
  qDBusRegisterMetaType<portal_detail::Shortcut>();
  qDBusRegisterMetaType<ShortcutList>();
  // QtDBus finds a slot's parameter types by name, and QDBusObjectPath has
  // none until registered: without this the Activated hook silently fails
  // when nothing else in the process used the type first.
  qRegisterMetaType<QDBusObjectPath>();
  timeout_.setSingleShot(true);
  connect(&timeout_, &QTimer::timeout, this, [this] {
    closeSession();
    finish(platformError(PlatformErrorCode::failed, QStringLiteral("the global shortcuts portal did not answer")));
  });
  // Every session's presses come on the portal object; ours are told apart
  // by the session handle.
  if (!QDBusConnection::sessionBus().connect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                                             SLOT(activatedSignal(QDBusObjectPath, QString, qulonglong, QVariantMap))))
    logLine(QStringLiteral("Nimbo: cannot listen for the GlobalShortcuts portal's Activated signal"));
}

PortalGlobalShortcuts::~PortalGlobalShortcuts() {
  stopListening();
  closeSession();
  QDBusConnection::sessionBus().disconnect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                                           SLOT(activatedSignal(QDBusObjectPath, QString, qulonglong, QVariantMap)));
}

bool PortalGlobalShortcuts::available(int timeoutMs) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusMessage get = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                    QStringLiteral("Get"));
  get << kInterface << QStringLiteral("version");
  const QDBusMessage reply = bus.call(get, QDBus::Block, timeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
  return reply.arguments().first().value<QDBusVariant>().variant().toUInt() > 0;
}

void PortalGlobalShortcuts::bind(std::vector<Binding> bindings, Done done) {
  if (done_) finish(platformError(PlatformErrorCode::failed, QStringLiteral("a newer set of shortcuts replaced this one")));
  stopListening();
  closeSession();
  bindings_ = std::move(bindings);
  done_ = std::move(done);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return finish(platformError(PlatformErrorCode::failed, QStringLiteral("no session bus")));
  const QString token = newToken();
  const QString sessionToken = newToken();
  // Where the portal puts the session; its answer names it too.
  session_ = kPath + "/session/" + senderElement(bus) + '/' + sessionToken;
  const QString request = listen(token, SLOT(sessionCreated(uint, QVariantMap)));
  timeout_.start(answerMs_);
  // Some desktops (Plasma 5.27) take the shortcuts only from here and open
  // their settings on BindShortcuts instead, so they go in both calls.
  const QVariantMap options{{QStringLiteral("handle_token"), token},
                            {QStringLiteral("session_handle_token"), sessionToken},
                            {QStringLiteral("shortcuts"), QVariant::fromValue(toPortal(bindings_))}};
  call(QStringLiteral("CreateSession"), {options}, request, SLOT(sessionCreated(uint, QVariantMap)));
}

QString PortalGlobalShortcuts::listen(const QString& token, const char* slot) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  request_ = kPath + "/request/" + senderElement(bus) + '/' + token;
  // Listening before asking: the answer cannot come before we do.
  bus.connect(kService, request_, kRequest, QStringLiteral("Response"), this, slot);
  return request_;
}

void PortalGlobalShortcuts::stopListening() {
  if (request_.isEmpty()) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.disconnect(kService, request_, kRequest, QStringLiteral("Response"), this,
                 SLOT(sessionCreated(uint, QVariantMap)));
  bus.disconnect(kService, request_, kRequest, QStringLiteral("Response"), this,
                 SLOT(shortcutsBound(uint, QVariantMap)));
  request_.clear();
}

void PortalGlobalShortcuts::call(const QString& method, const QList<QVariant>& arguments,
                                 const QString& expectedRequest, const char* slot) {
  QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
  message.setArguments(arguments);
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(message, answerMs_), this);
  const QByteArray slotName(slot);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, method, expectedRequest, slotName] {
    watcher->deleteLater();
    // A newer offer may have replaced this one while the call was out.
    if (request_ != expectedRequest) return;
    const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
    if (reply.isError()) {
      closeSession();
      return finish(platformError(PlatformErrorCode::failed,
                                  "the global shortcuts portal failed in " + method + ": " + reply.error().message()));
    }
    // Portals older than the handle_token option answer elsewhere.
    const QString path = reply.value().path();
    if (path != request_) {
      stopListening();
      request_ = path;
      QDBusConnection::sessionBus().connect(kService, request_, kRequest, QStringLiteral("Response"), this,
                                            slotName.constData());
    }
  });
}

void PortalGlobalShortcuts::sessionCreated(uint code, const QVariantMap& results) {
  stopListening();
  if (code != 0) {
    session_.clear();
    return finish(refused(QStringLiteral("open a global shortcuts session"), code));
  }
  // Documented as a string, sent as an object path by some.
  const QVariant handle = results.value(QStringLiteral("session_handle"));
  if (handle.metaType() == QMetaType::fromType<QDBusObjectPath>()) session_ = handle.value<QDBusObjectPath>().path();
  else if (!handle.toString().isEmpty()) session_ = handle.toString();
  bindInSession();
}

void PortalGlobalShortcuts::bindInSession() {
  const QString token = newToken();
  const QString request = listen(token, SLOT(shortcutsBound(uint, QVariantMap)));
  timeout_.start(userMs_);
  call(QStringLiteral("BindShortcuts"),
       {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(toPortal(bindings_)), QString(),
        QVariantMap{{QStringLiteral("handle_token"), token}}},
       request, SLOT(shortcutsBound(uint, QVariantMap)));
}

void PortalGlobalShortcuts::shortcutsBound(uint code, const QVariantMap& results) {
  stopListening();
  if (code != 0) {
    closeSession();
    return finish(refused(QStringLiteral("bind our shortcuts"), code));
  }
  std::vector<QString> bound;
  const auto listed = results.constFind(QStringLiteral("shortcuts"));
  if (listed == results.cend()) {
    // Some desktops accept without listing what they took: all of it.
    for (const Binding& b : bindings_) bound.push_back(b.id);
  } else {
    for (const portal_detail::Shortcut& s : qdbus_cast<ShortcutList>(*listed)) bound.push_back(s.id);
  }
  finish(std::move(bound));
}

void PortalGlobalShortcuts::activatedSignal(const QDBusObjectPath& session, const QString& id, qulonglong,
                                            const QVariantMap&) {
  if (session_.isEmpty() || session.path() != session_) return;
  if (activated) activated(id);
}

void PortalGlobalShortcuts::closeSession() {
  if (session_.isEmpty()) return;
  QDBusMessage close = QDBusMessage::createMethodCall(kService, session_, QStringLiteral("org.freedesktop.portal.Session"),
                                                      QStringLiteral("Close"));
  QDBusConnection::sessionBus().call(close, QDBus::NoBlock);
  session_.clear();
}

void PortalGlobalShortcuts::finish(Result<std::vector<QString>> result) {
  timeout_.stop();
  if (!done_) return;
  auto done = std::move(done_);
  done_ = nullptr;
  done(std::move(result));
}

}  // namespace nimbo
