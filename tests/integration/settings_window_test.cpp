// The settings window of the real app, driven from the keyboard through XTest; pictures kept as artifacts.
#include <gtest/gtest.h>

#include "integration/desktop_support.h"

namespace {

using namespace nimbo::desktoptest;

// The window's own area on the X screen (xdotool's geometry is the frame's place with the client's size).
QRect geometry(const QString& window) {
  const QString info = QString::fromUtf8(run("xwininfo", {"-id", window}).out);
  auto value = [&](const QString& key) {
    const QRegularExpression re("^\\s*" + key + ":\\s*(-?\\d+)$", QRegularExpression::MultilineOption);
    return re.match(info).captured(1).toInt();
  };
  return QRect(value("Absolute upper-left X"), value("Absolute upper-left Y"), value("Width"), value("Height"));
}

class SettingsWindowDesktop : public AppTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home.isValid());
    env = privateAppEnvironment(home);
    run("secret-tool", {"clear", "service", "com.vantori.screenshot", "account", "upload-device-token"});
    xdotool({"mousemove", "960", "540"});  // on the first monitor (scale 1)
  }

  // Starting nimbo again (nothing else of ours shown) opens the settings, not a note.
  QString openByReopening() {
    const int opened = count("Screenshot: opening settings window");
    EXPECT_EQ(cli({}).exitCode, 0);
    QString id;
    EXPECT_TRUE(waitFor([&] { return !(id = visibleWindow("^Nimbo Settings$")).isEmpty(); })) << log().toStdString();
    EXPECT_TRUE(waitFor([&] { return count("Screenshot: opening settings window") == opened + 1; }));
    EXPECT_TRUE(visibleWindow("^Nimbo toast$").isEmpty());
    activate(id);
    return id;
  }
  void activate(const QString& window) {
    if (window.isEmpty()) return;
    xdotool({"windowactivate", "--sync", window});
    QTest::qWait(200);
  }
  void key(const QString& keys) { xdotool(QStringList{"key", "--clearmodifiers"} + keys.split(' ')); }
  // Starts the recorder of the focused "Rebind": our own grabs are let go.
  void startRecording() {
    const int let = count("Nimbo: global shortcuts let go while a new one is typed");
    key("space");
    ASSERT_TRUE(waitFor([&] { return count("Nimbo: global shortcuts let go while a new one is typed") == let + 1; }))
        << log().toStdString();
  }
  // Types into the recorder, which ends it: our grabs are taken again.
  void typeCombination(const QString& keys) {
    const int taken = count("Nimbo: global shortcuts taken again");
    key(keys);
    ASSERT_TRUE(waitFor([&] { return count("Nimbo: global shortcuts taken again") == taken + 1; }))
        << log().toStdString();
  }
  void keepPicture(const QString& window, const QString& name) {
    const QString dir = QStringLiteral(NIMBO_ARTIFACTS_DIR);
    QDir().mkpath(dir);
    const QString file = dir + "/" + name + ".png";
    ASSERT_EQ(run("import", {"-window", window, file}).exitCode, 0);
    EXPECT_FALSE(QImage(file).isNull()) << file.toStdString();
  }
};

// That Ctrl+W hides it is checked in popover_history_test.cpp.
TEST_F(SettingsWindowDesktop, TheTrayMenuOpensItOnTheFirstMonitor) {
  if (qEnvironmentVariable("NIMBO_WITH_TRAY") != QLatin1String("1")) GTEST_SKIP() << "needs the tray host";
  startApp();
  ASSERT_TRUE(waitFor([&] { return log().contains("Nimbo: tray icon shown"); })) << log().toStdString();
  std::optional<QPoint> icon;
  ASSERT_TRUE(waitFor([&] { return (icon = trayIcon()).has_value(); }));
  xdotool({"mousemove", QString::number(icon->x()), QString::number(icon->y()), "click", "3"});
  QTest::qWait(500);
  // "Settings…" is the one before "Quit", at the menu's end.
  xdotool({"key", "Up", "Up", "Return"});
  ASSERT_TRUE(waitFor([] { return !visibleWindow("^Nimbo Settings$").isEmpty(); })) << log().toStdString();
  EXPECT_TRUE(log().contains("Screenshot: opening settings window"));
  const QString id = visibleWindow("^Nimbo Settings$");
  const QRect g = geometry(id);
  EXPECT_EQ(g.size(), QSize(920, 620));
  EXPECT_TRUE(QRect(0, 0, 1920, 1080).contains(g)) << g.x() << "," << g.y();
  EXPECT_TRUE(run("xprop", {"-id", id, "_NET_WM_STATE"}).out.contains("_NET_WM_STATE_SKIP_TASKBAR"));
  activate(id);
  keepPicture(id, "desktop-settings-general");
}

// Our grabs are let go while the recorder runs and taken back after: a combination another application
// holds is refused, a free one works at once, and Escape and "Reset" keep or restore the binding.
TEST_F(SettingsWindowDesktop, ARebindThroughTheRecorderWorksAtOnceAndEscapeAndResetTakeOurGrabsBack) {
  KeyHolder other;
  ASSERT_TRUE(other.grab(0x74 /* t */, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
  startApp();
  const QString window = openByReopening();
  key("Down");  // Shortcuts
  key("Tab");   // "Rebind" of "Capture to clipboard"
  startRecording();
  typeCombination("ctrl+alt+t");
  ASSERT_TRUE(waitFor([&] { return log().contains("Nimbo: shortcut Ctrl+Alt+T for captureToClipboard could not be registered"); }))
      << log().toStdString();
  QTest::qWait(300);
  keepPicture(window, "desktop-settings-shortcut-taken");
  EXPECT_FALSE(settingsText().contains("captureToClipboard"));
  expectFired("ctrl+grave", "captureToClipboard", 1, true);

  activate(window);
  startRecording();
  key("shift+k");  // Shift alone does not count: still recording
  typeCombination("ctrl+alt+k");
  ASSERT_TRUE(waitFor([&] { return settingsText().contains("captureToClipboard"); }));
  EXPECT_TRUE(settingsText().contains(R"(\"keyCode\":40,\"modifiers\":786432)")) << settingsText().toStdString();
  // Without a restart the old combination is inert (presses arrive in order) and the new one fires.
  key("ctrl+grave");
  expectFired("ctrl+alt+k", "captureToClipboard", 2, true);

  activate(window);
  startRecording();
  typeCombination("Escape");
  EXPECT_TRUE(settingsText().contains(R"(\"keyCode\":40,\"modifiers\":786432)"));
  expectFired("ctrl+alt+k", "captureToClipboard", 3, true);

  // A custom binding has "Reset" right after "Rebind".
  activate(window);
  keepPicture(window, "desktop-settings-shortcuts-custom");
  key("Tab");
  key("space");
  ASSERT_TRUE(waitFor([&] { return !settingsText().contains("captureToClipboard"); })) << settingsText().toStdString();
  expectFired("ctrl+grave", "captureToClipboard", 4, true);
}

// A pasted token saved trimmed to the keyring: checked on the pane (unit) and by the Sharing tests (desktop_test.cpp).
TEST_F(SettingsWindowDesktop, OnTheScaledMonitorUnderThePointerItOpensAtTwiceThePixels) {
  startApp();
  // The second monitor is at scale 2: the window opens there, crisp, within its 540 points of height.
  xdotool({"mousemove", "2880", "540"});
  const QString window = openByReopening();
  ASSERT_FALSE(window.isEmpty());
  const QRect g = geometry(window);
  EXPECT_TRUE(QRect(1920, 0, 1920, 1080).contains(g)) << g.x() << "," << g.y() << " " << g.width() << "x" << g.height();
  EXPECT_EQ(g.width(), 1840);
  key("Down Down Down");  // Sharing
  QTest::qWait(300);
  keepPicture(window, "desktop-settings-sharing@2x");
}

}  // namespace
