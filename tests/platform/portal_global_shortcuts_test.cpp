// The GlobalShortcuts portal client against a stand-in portal on a private session bus.
#include <QDBusInterface>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include "platform/linux/portal/portal_global_shortcuts.h"
#include "platform/linux/portal/portal_screenshot.h"
#include "unit/support.h"

namespace nimbo {
namespace {

const std::vector<SystemShortcuts::Binding> kOffer{
    {"captureToClipboard", "Capture to clipboard", "CTRL+grave"},
    {"recordToFile", "Record to file", "CTRL+SHIFT+s"},
    {"pickColour", "Pick a colour", ""},  // no keys of ours to suggest
};
// kOffer as the portal sees it.
const QJsonArray kOffered = QJsonDocument::fromJson(R"([
    ["captureToClipboard", {"description": "Capture to clipboard", "preferred_trigger": "CTRL+grave"}],
    ["recordToFile", {"description": "Record to file", "preferred_trigger": "CTRL+SHIFT+s"}],
    ["pickColour", {"description": "Pick a colour"}]])").array();

class PortalGlobalShortcutsTest : public ::testing::Test {
 protected:
  void TearDown() override { stopPortal(); }
  void startPortal(const QString& program, const QStringList& arguments, const QString& bind = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("NIMBO_PORTAL_LOG", dir.filePath("asked.jsonl"));
    env.insert("NIMBO_PORTAL_BIND", bind);
    portal.setProcessEnvironment(env);
    portal.setProcessChannelMode(QProcess::ForwardedChannels);
    portal.start(program, arguments);
  }
  void startShortcutsPortal(const QString& answer, const QString& bind = {}) {
    startPortal(NIMBO_FAKE_SHORTCUTS_PORTAL, {answer}, bind);
    ASSERT_TRUE(test::waitUntil([] { return PortalGlobalShortcuts::available(500); }, 10000));
    shortcuts = std::make_unique<PortalGlobalShortcuts>(1500, 3000);
    shortcuts->activated = [this](const QString& id) { pressed << id; };
  }
  void stopPortal() {
    shortcuts.reset();
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
    for (const QByteArray& line : log.open(QIODevice::ReadOnly) ? log.readAll().split('\n') : QList<QByteArray>())
      if (!line.isEmpty()) calls.push_back(QJsonDocument::fromJson(line).object());
    return calls;
  }
  // Has the stand-in emit Activated for `session`.
  void activate(const QString& session, const QString& id) {
    const QDBusMessage reply =
        QDBusInterface("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", "org.nimbo.Test")
            .call("Activate", session, id);
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
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
  EXPECT_EQ(calls[0], (QJsonObject{{"call", "CreateSession"}, {"shortcuts", kOffered}}));
  EXPECT_EQ(calls[1], (QJsonObject{{"call", "BindShortcuts"}, {"session", shortcuts->sessionHandle()},
                                   {"shortcuts", kOffered}, {"parent_window", ""}}));
  EXPECT_TRUE(shortcuts->sessionHandle().startsWith("/org/freedesktop/portal/desktop/session/"));
}

// Accepted without a list: all bound; refused: nothing bound in a session
// that never was; no answer: a failure, not a hang.
TEST_F(PortalGlobalShortcutsTest, AnUnlistedARefusedAndASilentAnswer) {
  const std::pair<const char*, std::optional<PlatformErrorCode>> cases[] = {
      {"unlisted", std::nullopt}, {"deny", PlatformErrorCode::permissionDenied}, {"silent", PlatformErrorCode::failed}};
  for (const auto& [answer, error] : cases) {
    QFile::remove(dir.filePath("asked.jsonl"));
    startShortcutsPortal(answer);
    const Result<std::vector<QString>> r = bind();
    ASSERT_EQ(r.ok(), !error) << answer << ": " << r.error().description.toStdString();
    if (error) EXPECT_TRUE(isPlatformError(r.error(), *error)) << answer;
    else EXPECT_EQ(r.value(), (std::vector<QString>{"captureToClipboard", "recordToFile", "pickColour"}));
    EXPECT_EQ(asked().size(), error ? 1u : 2u) << answer;
    stopPortal();
  }
}

// Presses from a session not ours (here the closed first one) are ignored.
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
  EXPECT_EQ(calls[2], (QJsonObject{{"call", "Close"}, {"session", first}}));
  EXPECT_EQ(calls[3]["call"], "CreateSession");
  EXPECT_EQ(calls[4]["shortcuts"].toArray(), QJsonDocument::fromJson(R"([["recordToFile", {"description": "Record to file",)"
                                                                     R"( "preferred_trigger": "CTRL+ALT+s"}]])").array());

  // Signals from one sender arrive in order: once ours is in, the other has been seen too.
  activate(first, "captureToClipboard");
  activate(second, "recordToFile");
  ASSERT_TRUE(test::waitUntil([&] { return !pressed.isEmpty(); }));
  EXPECT_EQ(pressed, QStringList{"recordToFile"});

  // Going away closes the session too.
  shortcuts.reset();
  ASSERT_TRUE(test::waitUntil([&] { return asked().size() == 6u; }));
  EXPECT_EQ(asked()[5], (QJsonObject{{"call", "Close"}, {"session", second}}));
}

// Available where the stand-in runs (every test above); not on a portal without the interface.
TEST_F(PortalGlobalShortcutsTest, NotAvailableWhereThePortalLacksTheInterface) {
  EXPECT_FALSE(PortalGlobalShortcuts::available(500));
  startPortal(NIMBO_FAKE_PORTAL, {dir.filePath("none.png"), "ok"});  // the Screenshot stand-in
  ASSERT_TRUE(test::waitUntil([] { return PortalScreenshot::available(); }, 10000));
  EXPECT_FALSE(PortalGlobalShortcuts::available(500));
}

}  // namespace
}  // namespace nimbo
