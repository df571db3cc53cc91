#include "platform/linux/portal/portal_screencast.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>

#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/portal/portal_request.h"

namespace nimbo::ScreenCastPortal {
namespace {

const QString kInterface = QStringLiteral("org.freedesktop.portal.ScreenCast");

std::optional<std::pair<int, int>> pairOf(const QVariant& v) {
  if (!v.canConvert<QDBusArgument>()) return std::nullopt;
  const QDBusArgument arg = v.value<QDBusArgument>();
  int a = 0, b = 0;
  arg.beginStructure();
  arg >> a >> b;
  arg.endStructure();
  return std::make_pair(a, b);
}

std::vector<Stream> streamsOf(const QVariant& v) {
  std::vector<Stream> out;
  if (!v.canConvert<QDBusArgument>()) return out;
  const QDBusArgument arg = v.value<QDBusArgument>();
  arg.beginArray();
  while (!arg.atEnd()) {
    Stream s;
    QVariantMap props;
    arg.beginStructure();
    arg >> s.node >> props;
    arg.endStructure();
    if (auto p = pairOf(props.value(QStringLiteral("position")))) s.position = QPoint(p->first, p->second);
    if (auto p = pairOf(props.value(QStringLiteral("size")))) s.size = QSize(p->first, p->second);
    s.id = props.value(QStringLiteral("id")).toString();
    out.push_back(s);
  }
  arg.endArray();
  return out;
}

// One exchange, step by step on the main thread; `done` is called once.
struct Exchange : std::enable_shared_from_this<Exchange> {
  Request request;
  std::function<void(Result<Session>)> done;
  Session session;

  void fail(const Error& e) {
    if (!session.handle.isEmpty()) close(session.handle);
    done(e);
  }

  void begin() {
    auto self = shared_from_this();
    portal::request(kInterface, QStringLiteral("CreateSession"), {},
                    {{QStringLiteral("session_handle_token"), portal::newToken()}},
                    [self](uint code, const QVariantMap& results) {
                      if (code != 0) return self->fail(portal::responseError(code, results, "the screen cast portal"));
                      const QVariant h = results.value(QStringLiteral("session_handle"));
                      self->session.handle =
                          h.canConvert<QDBusObjectPath>() ? h.value<QDBusObjectPath>().path() : h.toString();
                      self->selectSources();
                    });
  }

  void selectSources() {
    auto self = shared_from_this();
    const uint modes = availableCursorModes();
    // Embedded where offered; hidden otherwise (a cursor drawn from
    // metadata would be ours to paint).
    const uint cursor = request.embedCursor && (modes & 2) ? 2 : 1;
    QVariantMap options{{QStringLiteral("types"), uint(request.source)},
                        {QStringLiteral("multiple"), false},
                        {QStringLiteral("cursor_mode"), cursor}};
    if (request.persist) options.insert(QStringLiteral("persist_mode"), uint(2));  // until revoked
    if (!request.restoreToken.isEmpty()) options.insert(QStringLiteral("restore_token"), request.restoreToken);
    portal::request(kInterface, QStringLiteral("SelectSources"), {QVariant::fromValue(QDBusObjectPath(session.handle))},
                    options, [self](uint code, const QVariantMap& results) {
                      if (code != 0) return self->fail(portal::responseError(code, results, "choosing what to record"));
                      self->start();
                    });
  }

  void start() {
    auto self = shared_from_this();
    portal::request(kInterface, QStringLiteral("Start"),
                    {QVariant::fromValue(QDBusObjectPath(session.handle)), QString()}, {},
                    [self](uint code, const QVariantMap& results) {
                      if (code != 0) return self->fail(portal::responseError(code, results, "starting the screen cast"));
                      self->session.streams = streamsOf(results.value(QStringLiteral("streams")));
                      self->session.restoreToken = results.value(QStringLiteral("restore_token")).toString();
                      if (self->session.streams.empty())
                        return self->fail(platformError(PlatformErrorCode::failed,
                                                        QStringLiteral("the screen cast portal gave no stream")));
                      self->openRemote();
                    });
  }

  void openRemote() {
    Result<int> fd = pipeWireRemote(session.handle);
    if (!fd.ok()) return fail(fd.error());
    session.pipeWireFd = fd.value();
    done(session);
  }
};

}  // namespace

Result<int> pipeWireRemote(const QString& sessionHandle) {
  QDBusMessage call = QDBusMessage::createMethodCall(portal::kService, portal::kPath, kInterface,
                                                     QStringLiteral("OpenPipeWireRemote"));
  call << QVariant::fromValue(QDBusObjectPath(sessionHandle)) << QVariantMap();
  const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 10000);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
    return platformError(PlatformErrorCode::failed, "no PipeWire connection from the portal: " + reply.errorMessage());
  const QDBusUnixFileDescriptor fd = reply.arguments().first().value<QDBusUnixFileDescriptor>();
  // The descriptor object closes its copy; this one is ours.
  const int own = fd.isValid() ? ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 3) : -1;
  if (own < 0)
    return platformError(PlatformErrorCode::failed, QStringLiteral("the portal's PipeWire connection is not usable"));
  return own;
}

uint availableCursorModes() {
  QDBusMessage call = QDBusMessage::createMethodCall(portal::kService, portal::kPath,
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("Get"));
  call << kInterface << QStringLiteral("AvailableCursorModes");
  const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return 1;
  return reply.arguments().first().value<QDBusVariant>().variant().toUInt();
}

void openAsync(const Request& request, std::function<void(Result<Session>)> done) {
  auto exchange = std::make_shared<Exchange>();
  exchange->request = request;
  exchange->done = std::move(done);
  exchange->begin();
}

Result<Session> open(const Request& request) {
  return portal::await<Session>(
      [request](std::function<void(Result<Session>)> done) { openAsync(request, std::move(done)); });
}

void close(const QString& sessionHandle) {
  if (sessionHandle.isEmpty()) return;
  QDBusMessage call = QDBusMessage::createMethodCall(portal::kService, sessionHandle,
                                                     QStringLiteral("org.freedesktop.portal.Session"),
                                                     QStringLiteral("Close"));
  QDBusConnection::sessionBus().asyncCall(call);
}

}  // namespace nimbo::ScreenCastPortal
