// The GlobalShortcuts portal client against a stand-in portal on a private
// session bus (run under dbus-run-session).
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

#include "platform/linux/portal/portal_global_shortcuts.h"
#include "unit/support.h"

namespace nimbo {
namespace {

const std::vector<SystemShortcuts::Binding> kOffer{
    {"captureToClipboard", "Capture to clipboard", "CTRL+grave"},
    {"recordToFile", "Record to file", "CTRL+SHIFT+s"},
    {"pickColour", "Pick a colour", ""},  // no keys of ours to suggest
};

class PortalGlobalShortcutsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) << "run under dbus-run-session";
  }
  void TearDown() override {
    shortcuts.reset();
    stopPortal();
  }
  void startPortal(const QString& program, const QStringList& arguments, const QString& bind = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NIMBO_PORTAL_LOG", dir.filePath("asked.jsonl"));
    env.insert("NIMBO_PORTAL_BIND", bind);
    portal.setProcessEnvironment(env);
    portal.setProcessChannelMode(QProcess::ForwardedChannels);
    portal.start(program, arguments);
    ASSERT_TRUE(portal.waitForStarted());
  }
  void startShortcutsPortal(const QString& answer, const QString& bind = {}) {
    startPortal(NIMBO_FAKE_SHORTCUTS_PORTAL, {answer}, bind);
    ASSERT_TRUE(test::waitUntil([] { return PortalGlobalShortcuts::available(500); }, 10000));
    shortcuts = std::make_unique<PortalGlobalShortcuts>(1500, 3000);
    shortcuts->activated = [this](const QString& id) { pressed << id; };
  }
  void stopPortal() {
    portal.kill();
    portal.waitForFinished();
  }
  Result<std::vector<QString>> bind(std::vector<SystemShortcuts::Binding> offer = kOffer) {
    std::optional<Result<std::vector<QString>>> got;
    shortcuts->bind(std::move(offer), [&](Result<std::vector<QString>> r) { got = std::move(r); });
    EXPECT_TRUE(test::waitUntil([&] { return got.has_value(); }, 6000));
    return got.value_or(Result<std::vector<QString>>(Error{"no answer"}));
  }
  // What the stand-in was asked, one JSON object per call.
  std::vector<QJsonObject> asked() {
    std::vector<QJsonObject> calls;
    QFile log(dir.filePath("asked.jsonl"));
    if (!log.open(QIODevice::ReadOnly)) return calls;
    for (const QByteArray& line : log.readAll().split('\n'))
      if (!line.isEmpty()) calls.push_back(QJsonDocument::fromJson(line).object());
    return calls;
  }
  // Has the stand-in emit Activated for `session` (empty: its newest).
  void activate(const QString& session, const QString& id) {
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                                                       "org.nimbo.Test", "Activate");
    call << session << id;
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
  }
  static QJsonArray offered(const std::vector<SystemShortcuts::Binding>& offer) {
    QJsonArray list;
    for (const auto& b : offer) {
      QJsonObject properties{{"description", b.description}};
      if (!b.preferredTrigger.isEmpty()) properties["preferred_trigger"] = b.preferredTrigger;
      list.append(QJsonArray{b.id, properties});
    }
    return list;
  }

  QTemporaryDir dir;
  QProcess portal;
  std::unique_ptr<PortalGlobalShortcuts> shortcuts;
  QStringList pressed;
};

TEST_F(PortalGlobalShortcutsTest, TheOfferReachesBothCallsAndTheBoundSetComesBack) {
  startShortcutsPortal("ok", "captureToClipboard,pickColour");
  const Result<std::vector<QString>> r = bind();
  ASSERT_TRUE(r.ok()) << r.error().description.toStdString();
  EXPECT_EQ(r.value(), (std::vector<QString>{"captureToClipboard", "pickColour"}));
  const std::vector<QJsonObject> calls = asked();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0]["call"], "CreateSession");
  EXPECT_EQ(calls[0]["shortcuts"].toArray(), offered(kOffer));
  EXPECT_EQ(calls[1]["call"], "BindShortcuts");
  EXPECT_EQ(calls[1]["shortcuts"].toArray(), offered(kOffer));
  EXPECT_EQ(calls[1]["parent_window"], "");
  EXPECT_EQ(calls[1]["session"].toString(), shortcuts->sessionHandle());
  EXPECT_TRUE(shortcuts->sessionHandle().startsWith("/org/freedesktop/portal/desktop/session/"));
}

TEST_F(PortalGlobalShortcutsTest, ADesktopThatAcceptsWithoutListingBoundEverything) {
  startShortcutsPortal("unlisted");
  const Result<std::vector<QString>> r = bind();
  ASSERT_TRUE(r.ok()) << r.error().description.toStdString();
  EXPECT_EQ(r.value(), (std::vector<QString>{"captureToClipboard", "recordToFile", "pickColour"}));
}

TEST_F(PortalGlobalShortcutsTest, PressesInOurSessionArriveAndOthersDoNot) {
  startShortcutsPortal("ok");
  ASSERT_TRUE(bind().ok());
  // Signals from one sender arrive in order: once ours is in, the other
  // session's press, sent first, has been seen too.
  activate("/org/freedesktop/portal/desktop/session/1_99/someone_else", "captureToClipboard");
  activate(shortcuts->sessionHandle(), "recordToFile");
  ASSERT_TRUE(test::waitUntil([&] { return !pressed.isEmpty(); }));
  EXPECT_EQ(pressed, QStringList{"recordToFile"});
}

TEST_F(PortalGlobalShortcutsTest, ARefusedSessionIsPermissionDeniedAndASilentPortalFails) {
  startShortcutsPortal("deny");
  Result<std::vector<QString>> r = bind();
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(isPlatformError(r.error(), PlatformErrorCode::permissionDenied)) << r.error().description.toStdString();
  EXPECT_EQ(asked().size(), 1u);  // nothing bound in a session that never was
  shortcuts.reset();
  stopPortal();

  startShortcutsPortal("silent");
  r = bind();
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(isPlatformError(r.error(), PlatformErrorCode::failed)) << r.error().description.toStdString();
}

TEST_F(PortalGlobalShortcutsTest, RebindingClosesTheOldSessionAndPressesFollowTheNewOne) {
  startShortcutsPortal("ok");
  ASSERT_TRUE(bind().ok());
  const QString first = shortcuts->sessionHandle();
  const std::vector<SystemShortcuts::Binding> changed{{"recordToFile", "Record to file", "CTRL+ALT+s"}};
  const Result<std::vector<QString>> r = bind(changed);
  ASSERT_TRUE(r.ok()) << r.error().description.toStdString();
  EXPECT_EQ(r.value(), std::vector<QString>{"recordToFile"});
  const QString second = shortcuts->sessionHandle();
  EXPECT_NE(first, second);
  const std::vector<QJsonObject> calls = asked();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[2]["call"], "Close");
  EXPECT_EQ(calls[2]["session"].toString(), first);
  EXPECT_EQ(calls[3]["call"], "CreateSession");
  EXPECT_EQ(calls[4]["shortcuts"].toArray(), offered(changed));

  activate(first, "captureToClipboard");
  activate(second, "recordToFile");
  ASSERT_TRUE(test::waitUntil([&] { return !pressed.isEmpty(); }));
  EXPECT_EQ(pressed, QStringList{"recordToFile"});

  // Going away closes the session too.
  shortcuts.reset();
  ASSERT_TRUE(test::waitUntil([&] { return asked().size() == 6u; }));
  EXPECT_EQ(asked()[5]["call"], "Close");
  EXPECT_EQ(asked()[5]["session"].toString(), second);
}

TEST_F(PortalGlobalShortcutsTest, AvailableOnlyWhereThePortalHasTheInterface) {
  EXPECT_FALSE(PortalGlobalShortcuts::available(500));
  // The Screenshot stand-in is a portal without GlobalShortcuts.
  startPortal(NIMBO_FAKE_PORTAL, {dir.filePath("none.png"), "ok"});
  ASSERT_TRUE(test::waitUntil(
      [] { return QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.portal.Desktop").value(); },
      10000));
  EXPECT_FALSE(PortalGlobalShortcuts::available(500));
  stopPortal();
  startPortal(NIMBO_FAKE_SHORTCUTS_PORTAL, {"ok"});
  EXPECT_TRUE(test::waitUntil([] { return PortalGlobalShortcuts::available(500); }, 10000));
}

}  // namespace
}  // namespace nimbo
