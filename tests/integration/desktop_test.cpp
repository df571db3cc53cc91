// Drives the real app in the virtual desktop of scripts/with-desktop: known
// pixels on both monitors, captures requested from the command line, drags
// and keys through XTest (xdotool), the clipboard read back with xclip.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QWidget>

#include <xcb/xcb.h>

#include "integration/desktop_support.h"

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

#include "capture/capture_item.h"
#include "recording/media_probe.h"

namespace {

// A colour for every pixel of the X screen, so a crop that is off by one
// pixel in any direction cannot match.
QRgb pattern(int x, int y) {
  return qRgb((x * 7 + y * 3) & 255, ((x * 13) ^ (y * 5)) & 255, ((x >> 8) * 40 + (y >> 8) * 90 + x + y) & 255);
}

QImage patternImage(QRect pixels) {
  QImage img(pixels.size(), QImage::Format_RGB32);
  for (int y = 0; y < pixels.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
    for (int x = 0; x < pixels.width(); ++x) row[x] = pattern(pixels.x() + x, pixels.y() + y);
  }
  return img;
}

// Covers one monitor with the pattern, drawn in device pixels.
class PatternWindow : public QWidget {
 public:
  explicit PatternWindow(QScreen* s)
      : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::Tool) {
    setScreen(s);
    setGeometry(s->geometry());
    const qreal dpr = s->devicePixelRatio();
    // Monitors sit side by side from the origin, so a monitor's pixel origin
    // is its logical origin.
    image_ = patternImage(QRect(s->geometry().topLeft(), s->geometry().size() * dpr));
    image_.setDevicePixelRatio(dpr);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.drawImage(QPointF(0, 0), image_);
  }

 private:
  QImage image_;
};

using namespace nimbo::desktoptest;

void drag(QPoint from, QPoint to) {
  const QPoint mid = (from + to) / 2;
  xdotool({"mousemove", QString::number(from.x()), QString::number(from.y()), "mousedown", "1", "mousemove",
           QString::number(mid.x()), QString::number(mid.y()), "mousemove", QString::number(to.x()),
           QString::number(to.y()), "mouseup", "1"});
}

QByteArray clipboard(const QString& type) {
  return run("xclip", {"-selection", "clipboard", "-t", type, "-o"}).out;
}

// Something takes connections on `port` of the loopback address.
bool listening(quint16 port) {
  QTcpSocket s;
  s.connectToHost("127.0.0.1", port);
  return s.waitForConnected(100);
}

// The app under test, with its own data, settings and temporary folders.
class AppFixture : public AppTest {
 protected:
  static void SetUpTestSuite() {
    for (QScreen* s : QGuiApplication::screens()) {
      auto* w = new PatternWindow(s);
      w->show();
      patterns().push_back(std::unique_ptr<QWidget>(w));
    }
    QTest::qWait(500);
  }
  static void TearDownTestSuite() { patterns().clear(); }
  static std::vector<std::unique_ptr<QWidget>>& patterns() {
    static std::vector<std::unique_ptr<QWidget>> p;
    return p;
  }

  void SetUp() override {
    ASSERT_TRUE(home.isValid());
    env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("TMPDIR", home.filePath("tmp"));
    QDir().mkpath(home.filePath("tmp"));
    // The welcome window has its own test; elsewhere it would cover the
    // pattern the captures are checked against.
    writeSettings("nimbo.welcomeAgreedAt=2026-01-01T00:00:00Z\n");
    // Every test starts as a new installation: no device token in the
    // session's keyring from an earlier test.
    run("secret-tool", {"clear", "service", "com.vantori.screenshot", "account", "upload-device-token"});
    // No uploads unless a test brings its own server: an empty endpoint keeps
    // the app from starting the bundled one on the shared port.
    writeSettings("uploadEndpoint=" + shareEndpoint + "\n");
  }
  void writeSettings(const QByteArray& lines) {
    QDir().mkpath(QFileInfo(settingsFile).path());
    QFile f(settingsFile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Append));
    if (f.size() == 0) f.write("[General]\n");
    f.write(lines);
  }

  // Puts one capture in the history before the app starts.
  QString seed(const QImage& img) {
    nimbo::CaptureItem item = nimbo::CaptureItem::newImage(img.width(), img.height());
    QDir().mkpath(dataDir + "/originals");
    QDir().mkpath(dataDir + "/thumbnails");
    EXPECT_TRUE(img.save(dataDir + "/originals/" + item.id + ".png"));
    EXPECT_TRUE(img.scaled(320, 213).save(dataDir + "/thumbnails/" + item.id + ".png"));
    QFile index(dataDir + "/history.json");
    EXPECT_TRUE(index.open(QIODevice::WriteOnly));
    index.write(nimbo::encodeHistory({item}));
    return item.id;
  }

  void expectCapture(QRect pixels, const QString& logLine) {
    ASSERT_TRUE(waitFor([&] { return log().contains(logLine); })) << log().toStdString();
    QImage png;
    ASSERT_TRUE(waitFor([&] {
      png = QImage::fromData(clipboard("image/png"), "PNG");
      return !png.isNull() && png.size() == pixels.size();
    })) << "clipboard holds " << png.width() << "x" << png.height();
    EXPECT_EQ(png.convertToFormat(QImage::Format_RGB32), patternImage(pixels));
  }

  // Captures and uploads a region; returns the link copied.
  QString uploadCapture() {
    const int before = count("Screenshot: selection 200x150 on DUMMY0");
    requestCapture("capture-and-upload");
    drag({100, 120}, {300, 270});
    EXPECT_TRUE(waitFor([&] { return count("Screenshot: selection 200x150 on DUMMY0") > before; }));
    QString text;
    EXPECT_TRUE(waitFor([&] {
      text = QString::fromUtf8(clipboard("UTF8_STRING"));
      return text.contains("/i/");
    })) << text.toStdString() << log().toStdString();
    return text;
  }
  // The same on new settings, with no endpoint: the default one on
  // 127.0.0.1:8787.
  QString uploadThroughTheDefaultEndpoint(const QString& serverLine) {
    QFile::remove(settingsFile);
    writeSettings("nimbo.welcomeAgreedAt=2026-01-01T00:00:00Z\n");
    startApp();
    EXPECT_TRUE(waitFor([&] { return log().contains("Nimbo: device registered"); }, 15000)) << log().toStdString();
    EXPECT_TRUE(log().contains(serverLine)) << log().toStdString();
    return uploadCapture();
  }

  QByteArray shareEndpoint;
};

TEST_F(AppFixture, CaptureOnEachMonitorLandsOnTheClipboardAndInTheHistory) {
  startApp();
  requestCapture();
  drag({100, 120}, {300, 270});
  expectCapture(QRect(100, 120, 200, 150), "Screenshot: selection 200x150 on DUMMY0");
  EXPECT_TRUE(log().contains("Screenshot: CaptureFlow.run(mode: clipboardOnly) invoked"));

  auto items = history();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].width, 200);
  EXPECT_EQ(items[0].height, 150);
  QFile original(dataDir + "/originals/" + items[0].id + ".png");
  ASSERT_TRUE(original.open(QIODevice::ReadOnly));
  EXPECT_EQ(original.readAll(), clipboard("image/png"));
  const QImage thumb(dataDir + "/thumbnails/" + items[0].id + ".png");
  EXPECT_EQ(thumb.size(), QSize(200, 150));
  // The copy offered to file managers is the same PNG.
  const QString uri = QString::fromUtf8(clipboard("text/uri-list")).trimmed();
  QFile copy(QUrl(uri).toLocalFile());
  ASSERT_TRUE(copy.open(QIODevice::ReadOnly)) << uri.toStdString();
  EXPECT_EQ(copy.readAll(), clipboard("image/png"));

  // The second monitor sits at x 1920 and is scaled x2: a 100-point drag is
  // 200 pixels.
  requestCapture();
  drag({2000, 100}, {2200, 300});
  expectCapture(QRect(2000, 100, 200, 200), "Screenshot: selection 100x100 on DUMMY1");
  items = history();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].width, 200);
  EXPECT_EQ(QImage(dataDir + "/thumbnails/" + items[0].id + ".png").size(), QSize(200, 200));
}

// The shutter sound opens a connection to the sound server (a thread and
// shared memory of its own); a quiet tray app lets it go again.
TEST_F(AppFixture, TheSoundServerIsLetGoOnceTheShutterHasPlayed) {
  startApp();
  const QByteArray mine = "application.process.id = \"" + QByteArray::number(app->processId()) + "\"";
  auto connected = [&] { return run("pactl", {"list", "clients"}).out.contains(mine); };
  EXPECT_FALSE(connected());
  requestCapture();
  drag({100, 120}, {300, 270});
  expectCapture(QRect(100, 120, 200, 150), "Screenshot: selection 200x150 on DUMMY0");
  ASSERT_TRUE(waitFor(connected, 5000)) << "the shutter never reached the sound server";
  EXPECT_TRUE(waitFor([&] { return !connected(); }, 20000));
  EXPECT_EQ(app->state(), QProcess::Running);
}

TEST_F(AppFixture, EscapeClickAndTinyDragCancelWithoutTouchingTheClipboard) {
  startApp();
  // xclip keeps serving this text until someone else takes the clipboard.
  ASSERT_EQ(run("xclip", {"-selection", "clipboard", "-i"}, {}, "sentinel").exitCode, 0);
  ASSERT_EQ(clipboard("UTF8_STRING"), "sentinel");

  const std::vector<std::function<void()>> cancels = {[] { xdotool({"key", "Escape"}); },
                                                      [] { xdotool({"mousemove", "600", "400", "click", "1"}); },
                                                      [] { drag({600, 300}, {603, 600}); }};
  for (int i = 0; i < int(cancels.size()); ++i) {
    requestCapture();
    cancels[size_t(i)]();
    ASSERT_TRUE(waitFor([&] { return count("Screenshot: selection cancelled") == i + 1; })) << i << "\n" << log().toStdString();
  }

  EXPECT_EQ(clipboard("UTF8_STRING"), "sentinel");
  EXPECT_TRUE(history().empty());
  // Focus never stays on the vanished overlay.
  EXPECT_TRUE(visibleWindow("Nimbo selection").isEmpty());
}

TEST_F(AppFixture, AnActionStartsTheAppWhenItIsNotRunning) {
  ASSERT_EQ(cli({"capture-to-clipboard"}).exitCode, 0);
  ASSERT_TRUE(waitFor(overlayShown));
  QTest::qWait(150);
  drag({40, 40}, {140, 90});
  ASSERT_TRUE(waitFor([&] { return history().size() == 1; }));
  EXPECT_EQ(QImage::fromData(clipboard("image/png"), "PNG").size(), QSize(100, 50));
  run("pkill", {"-f", QString(NIMBO_BINARY) + " --then"});
}

TEST_F(AppFixture, OneShotScreenshotWritesExactPixels) {
  const QString out = home.filePath("shot.png");
  ProcResult r = cli({"screenshot", "--screen", "DUMMY1", "-o", out});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(QImage(out).convertToFormat(QImage::Format_RGB32), patternImage(QRect(1920, 0, 1920, 1080)));

  r = cli({"screenshot", "--region", "1900,10,50,40", "-o", out});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(QImage(out).convertToFormat(QImage::Format_RGB32), patternImage(QRect(1900, 10, 50, 40)));

  r = cli({"screenshot", "-o", out});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(QImage(out).size(), QSize(3840, 1080));

  r = cli({"screenshot", "--screen", "HDMI-9", "-o", out});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("no screen named 'HDMI-9' (screens: DUMMY0, DUMMY1)")) << r.err.toStdString();
  r = cli({"screenshot", "--region", "1,2,0,4", "-o", out});
  EXPECT_EQ(r.exitCode, 1);
  r = cli({"screenshot", "-o", "/nonexistent/dir/x.png"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("cannot write /nonexistent/dir/x.png"));
}

TEST_F(AppFixture, WithoutADisplayTheAppSaysWhatToDo) {
  QProcessEnvironment bare = env;
  bare.remove("DISPLAY");
  bare.remove("WAYLAND_DISPLAY");
  for (const QStringList& args : {QStringList{}, QStringList{"capture-to-clipboard"}}) {
    ProcResult r = run(NIMBO_BINARY, args, bare);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("no display found (neither WAYLAND_DISPLAY nor DISPLAY is set)")) << r.err.toStdString();
  }
  ProcResult bad = cli({"capture-everything"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_TRUE(bad.err.contains("unknown action 'capture-everything'"));
}

TEST_F(AppFixture, TrayIconFollowsTheTrayHost) {
  startApp();
  const bool hasTray = qEnvironmentVariable("NIMBO_WITH_TRAY") == "1";
  ASSERT_TRUE(waitFor([&] {
    return log().contains(hasTray ? "Nimbo: tray icon shown" : "Nimbo: no system tray; running without an icon");
  })) << log().toStdString();
  // Without an icon, the command line still reaches the app.
  requestCapture();
  drag({700, 100}, {760, 160});
  expectCapture(QRect(700, 100, 60, 60), "Screenshot: selection 60x60 on DUMMY0");
}

// Shortcuts pressed through XTest reach the app's passive grabs.
class Shortcuts : public AppFixture {
 protected:
  void key(const QString& combo) { xdotool({"key", "--clearmodifiers", combo}); }
  void expectFired(const QString& action, int times) {
    ASSERT_TRUE(waitFor([&] { return count("Nimbo: " + action + " fired") == times; }, 5000))
        << action.toStdString() << "\n" << log().toStdString();
  }
  void expectOverlayThenEscape() {
    ASSERT_TRUE(waitFor(overlayShown));
    const int cancelled = count("Screenshot: selection cancelled");
    xdotool({"key", "Escape"});
    ASSERT_TRUE(waitFor([&] { return count("Screenshot: selection cancelled") == cancelled + 1; }));
  }
  static bool lockOn(const char* name) {
    return QRegularExpression(QString(name) + R"(:\s+on\b)").match(QString::fromUtf8(run("xset", {"q"}).out)).hasMatch();
  }
};

TEST_F(Shortcuts, DefaultsFireWhateverTheLockKeys) {
  startApp();
  EXPECT_FALSE(settingsText().contains("hotkeyShortcuts"));
  key("ctrl+grave");
  expectFired("captureToClipboard", 1);
  expectOverlayThenEscape();
  key("shift+super+u");
  expectFired("captureAndUpload", 1);
  expectOverlayThenEscape();
  key("ctrl+shift+r");
  expectFired("recordAndUpload", 1);
  key("ctrl+shift+s");
  expectFired("recordToFile", 1);

  xdotool({"key", "Caps_Lock"});
  ASSERT_TRUE(lockOn("Caps Lock"));
  key("ctrl+grave");
  expectFired("captureToClipboard", 2);
  expectOverlayThenEscape();
  xdotool({"key", "Caps_Lock", "Num_Lock"});
  ASSERT_TRUE(lockOn("Num Lock"));
  key("ctrl+shift+r");
  expectFired("recordAndUpload", 2);
  xdotool({"key", "Num_Lock"});
  ASSERT_FALSE(lockOn("Num Lock"));
}

TEST_F(Shortcuts, UnsupportedStoredKeyAndTakenCombinationAreReportedAndTheAppRunsOn) {
  writeSettings(R"x(hotkeyShortcuts="@ByteArray({\"captureToClipboard\":{\"keyCode\":127,\"modifiers\":262144,\"character\":\"x\"}})")x"
                "\n");
  // Another client holds Ctrl+Shift+S before Nimbo starts.
  KeyHolder other;
  ASSERT_TRUE(other.grab(0x73 /* s */, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT));
  startApp();
  ASSERT_TRUE(waitFor([&] { return log().contains("Nimbo: unsupported keyCode 127 for captureToClipboard"); }))
      << log().toStdString();
  ASSERT_TRUE(waitFor([&] {
    return log().contains("Nimbo: shortcut Ctrl+Shift+S for recordToFile could not be registered");
  })) << log().toStdString();
  // Moving an action onto the taken combination keeps its old binding, now
  // and after the next start.
  ProcResult r = cli({"shortcut", "set", "recordAndUpload", "Ctrl+Shift+S"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("Ctrl+Shift+R stays")) << r.err.toStdString();
  EXPECT_FALSE(settingsText().contains("recordAndUpload"));
  key("ctrl+shift+r");
  expectFired("recordAndUpload", 1);
  stopApp();
  startApp();
  ASSERT_TRUE(waitFor([&] { return count("Nimbo: Hotkeys registered") == 2; }));
  key("ctrl+shift+r");
  expectFired("recordAndUpload", 2);
  other.release();
  EXPECT_EQ(app->state(), QProcess::Running);
}

TEST_F(Shortcuts, FirstStartShowsTheWelcomeUntilAgreed) {
  // Fresh settings: this fixture's SetUp agreed already, so start over
  // (keeping uploads off).
  QFile::remove(settingsFile);
  writeSettings("uploadEndpoint=\n");
  startApp();
  ASSERT_TRUE(waitFor([] { return !visibleWindow("Welcome to Nimbo").isEmpty(); })) << log().toStdString();
  const QString id = visibleWindow("Welcome to Nimbo");
  EXPECT_TRUE(run("xprop", {"-id", id, "_NET_WM_STATE"}).out.contains("_NET_WM_STATE_SKIP_TASKBAR"));
  xdotool({"windowactivate", "--sync", id});
  xdotool({"key", "Return"});
  // Agreed for good: every other test starts with this setting and never
  // sees the welcome.
  ASSERT_TRUE(waitFor([&] { return settingsText().contains("nimbo.welcomeAgreedAt="); }));
  EXPECT_TRUE(waitFor([] { return visibleWindow("Welcome to Nimbo").isEmpty(); }));
}

TEST_F(Shortcuts, ReopeningTheRunningAppShowsWhereItIs) {
  startApp();
  ASSERT_EQ(cli({}).exitCode, 0);
  // No window of ours is open: the settings window opens (without a tray
  // it is the way in).
  ASSERT_TRUE(waitFor([] { return !visibleWindow("^Nimbo Settings$").isEmpty(); }));
  EXPECT_TRUE(log().contains("Screenshot: opening settings window"));
  EXPECT_TRUE(visibleWindow("Welcome to Nimbo").isEmpty());  // agreed before the start
  EXPECT_EQ(app->state(), QProcess::Running);
  EXPECT_EQ(count("Nimbo: applicationDidFinishLaunching fired"), 1);  // still the one instance
}

TEST_F(Shortcuts, LaunchAtLoginFollowsTheSetting) {
  const QString entry = home.filePath("config/autostart/com.vantori.screenshot.desktop");
  writeSettings("launchAtLogin=true\n");
  startApp();
  ASSERT_TRUE(waitFor([&] { return QFile::exists(entry); }));
  QFile f(entry);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_TRUE(f.readAll().contains("Exec=\"" NIMBO_BINARY "\""));
  stopApp();
  QString text = settingsText().replace("launchAtLogin=true", "launchAtLogin=false");
  QFile s(settingsFile);
  ASSERT_TRUE(s.open(QIODevice::WriteOnly | QIODevice::Truncate));
  s.write(text.toUtf8());
  s.close();
  startApp();
  ASSERT_TRUE(waitFor([&] { return !QFile::exists(entry); }));
}

// The real app against the real share server on loopback.
class Sharing : public AppFixture {
 protected:
  void SetUp() override {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    port = probe.serverPort();
    probe.close();
    shareEndpoint = "http://127.0.0.1:" + QByteArray::number(port) + "/";
    AppFixture::SetUp();
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(NIMBO_SHARE_SERVER, {"--listen", "127.0.0.1:" + QString::number(port), "--data",
                                      home.filePath("server")});
    ASSERT_TRUE(server.waitForStarted());
    ASSERT_TRUE(waitFor([&] { return listening(port); }));
  }
  void TearDown() override {
    AppFixture::TearDown();
    server.terminate();
    server.waitForFinished();
  }
  QByteArray fetch(const QString& url) { return run("curl", {"-sf", url}).out; }
  quint16 port = 0;
  QProcess server;
};

TEST_F(Sharing, CaptureAndUploadCopiesTheLinkAndTheServerHoldsTheSameBytes) {
  startApp();
  ASSERT_TRUE(waitFor([&] { return log().contains("Nimbo: device registered (token prefix "); }))
      << log().toStdString();
  const QByteArray token = run("secret-tool", {"lookup", "service", "com.vantori.screenshot", "account",
                                               "upload-device-token"}).out;
  EXPECT_GE(token.size(), 22) << "the token is in the keyring";

  const QString link = uploadCapture();
  ASSERT_TRUE(link.startsWith(QString::fromLatin1(shareEndpoint) + "i/")) << link.toStdString();
  auto items = history();
  ASSERT_EQ(items.size(), 1u);
  ASSERT_TRUE(items[0].shareURL);
  EXPECT_EQ(*items[0].shareURL, link);
  EXPECT_TRUE(waitFor([&] { return settingsText().contains("lastShareURL=" + link); }));
  QFile original(dataDir + "/originals/" + items[0].id + ".png");
  ASSERT_TRUE(original.open(QIODevice::ReadOnly));
  EXPECT_EQ(fetch(link + ".png"), original.readAll());
}

TEST_F(Sharing, WithoutASecretServiceTheTokenGoesToAPrivateFile) {
  env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
  startApp();
  ASSERT_TRUE(waitFor([&] { return log().contains("Nimbo: device registered"); })) << log().toStdString();
  EXPECT_TRUE(log().contains("Nimbo: no Secret Service ("));
  const QString file = home.filePath("config/com.vantori.screenshot/secrets/com.vantori.screenshot.upload-device-token");
  QFileInfo info(file);
  ASSERT_TRUE(info.exists());
  EXPECT_EQ(info.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther), 0);
  const QString link = uploadCapture();
  EXPECT_TRUE(link.startsWith(QString::fromLatin1(shareEndpoint) + "i/")) << link.toStdString();
}

// Recording from the keyboard: the panel, the countdown, the pill, and the
// result on the clipboard.
class Recording : public Sharing {
 protected:
  // A plain desktop: the pattern windows of the capture tests would sit
  // above the panel and take its clicks.
  static void SetUpTestSuite() {}
  static void TearDownTestSuite() {}
  static bool visible(const char* title) { return !visibleWindow(title).isEmpty(); }
  // An application window of one colour, shown.
  static std::unique_ptr<QWidget> solid(const char* title, QColor colour, QRect at, Qt::WindowFlags flags = {}) {
    auto w = std::make_unique<QWidget>(nullptr, flags);
    w->setWindowTitle(title);
    QPalette p = w->palette();
    p.setColor(QPalette::Window, colour);
    w->setPalette(p);
    w->setAutoFillBackground(true);
    w->setGeometry(at);
    w->show();
    return w;
  }
  void openPanelAndStart(const QString& action) {
    ASSERT_EQ(cli({action}).exitCode, 0);
    ASSERT_TRUE(waitFor([] { return visible("^New Recording$"); })) << log().toStdString();
    xdotool({"windowactivate", "--sync", visibleWindow("^New Recording$")});
    xdotool({"key", "Return"});
    ASSERT_TRUE(waitFor([] { return visible("^Nimbo countdown$"); })) << log().toStdString();
    ASSERT_TRUE(waitFor([] { return visible("^Nimbo recording$"); }, 8000)) << log().toStdString();
    EXPECT_FALSE(visible("^Nimbo countdown$"));
  }
  std::optional<nimbo::CaptureItem> waitForVideo() {
    std::optional<nimbo::CaptureItem> video;
    waitFor([&] {
      const auto items = history();
      if (!items.empty() && items[0].mediaType == nimbo::MediaType::video) video = items[0];
      return video.has_value();
    }, 20000);
    return video;
  }
};

TEST_F(Recording, RecordToFilePutsThePlayableFileOnTheClipboardAndRecordsWhatLiesUnderThePill) {
  // A plain magenta application window over the first monitor; not the
  // whole monitor: a window manager may take that for full screen and put it
  // above everything.
  const auto backdrop = solid("Backdrop", QColor(230, 0, 200), QRect(200, 0, 1500, 700),
                              Qt::FramelessWindowHint | Qt::WindowStaysOnBottomHint);
  ASSERT_TRUE(waitFor([] { return visible("^Backdrop$"); }));
  xdotool({"mousemove", "1800", "1000"});

  startApp();
  openPanelAndStart("record-to-file");
  EXPECT_TRUE(waitFor([&] { return log().contains("Nimbo: tray icon shows a recording"); }));
  const QString pillWindow = visibleWindow("^Nimbo recording$");
  QTest::qWait(2000);
  const QRect pill = windowRect(pillWindow);
  // The pill is really on screen, over the backdrop…
  ASSERT_TRUE(QRect(0, 0, 1920, 1080).contains(QRect(pill.topLeft(), QSize(196, 40)))) << pill.x() << "," << pill.y();
  auto magentaShare = [&](const QImage& picture) {
    int magentaPixels = 0, checked = 0;
    for (int py = pill.y() + 4; py < pill.y() + 36; py += 4)
      for (int px = pill.x() + 4; px < pill.x() + 192; px += 8) {
        const QColor c = picture.pixelColor(px, py);
        ++checked;
        magentaPixels += std::abs(c.red() - 230) < 30 && c.green() < 40 && std::abs(c.blue() - 200) < 30;
      }
    return double(magentaPixels) / checked;
  };
  const QString live = home.filePath("live.png");
  run("import", {"-window", "root", live});
  EXPECT_LT(magentaShare(QImage(live)), 0.2) << "the pill is not on top on screen";
  ASSERT_EQ(cli({"record-to-file"}).exitCode, 0);  // the same command stops it
  const std::optional<nimbo::CaptureItem> video = waitForVideo();
  ASSERT_TRUE(video && video->videoPath) << log().toStdString();
  EXPECT_FALSE(visible("^Nimbo recording$"));
  EXPECT_TRUE(log().contains("Nimbo: tray icon back to idle"));
  const auto probe = nimbo::MediaProbe::read(*video->videoPath);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->videoTracks, 1);
  EXPECT_GE(probe->durationSeconds, 1.5);
  EXPECT_TRUE(QFile::exists(dataDir + "/thumbnails/" + video->id + ".png"));
  QByteArray uris;
  EXPECT_TRUE(waitFor([&] {
    uris = clipboard("text/uri-list");
    return uris.contains(QUrl::fromLocalFile(*video->videoPath).toEncoded());
  })) << uris.toStdString();
  // …but the recording shows the backdrop where it was.
  const QString frame = home.filePath("frame.png");
  run("ffmpeg", {"-y", "-loglevel", "error", "-ss", "1.5", "-i", *video->videoPath, "-frames:v", "1", frame});
  const QImage picture(frame);
  ASSERT_FALSE(picture.isNull());
  EXPECT_EQ(magentaShare(picture), 1.0) << "pixels where the pill was that show something else";
}

TEST_F(Recording, TheShortcutStartsAndStopsEvenWithTheEditorInFrontAndAPickedWindowIsRecordedWhole) {
  // A window of another application to pick.
  const auto target = solid("Picker target", QColor(30, 140, 200), QRect(300, 200, 500, 300));
  ASSERT_TRUE(waitFor([] { return visible("^Picker target$"); }));
  QTest::qWait(200);
  // A screenshot in the history, to have something in the editor.
  QImage shot(400, 300, QImage::Format_RGB32);
  shot.fill(Qt::darkGreen);
  seed(shot);

  startApp();
  xdotool({"key", "--clearmodifiers", "ctrl+shift+r"});
  ASSERT_TRUE(waitFor([] { return visible("^New Recording$"); })) << log().toStdString();
  const QString panel = visibleWindow("^New Recording$");
  // The "Window" tile, in the middle of the panel's first row of tiles.
  const QPoint tile = windowRect(panel).topLeft() + QPoint(190, 95);
  clickAt(tile);
  ASSERT_TRUE(waitFor([] { return visible("^Nimbo window picker$"); }))
      << "clicked at " << tile.x() << "," << tile.y() << "\n" << log().toStdString();
  xdotool({"mousemove", "550", "350"});
  QTest::qWait(100);  // a hover tick
  xdotool({"click", "1"});
  ASSERT_TRUE(waitFor([] { return visible("^New Recording$") && !visible("^Nimbo window picker$"); }));
  xdotool({"windowactivate", "--sync", panel});
  xdotool({"key", "Return"});
  ASSERT_TRUE(waitFor([] { return visible("^Nimbo recording$"); }, 8000)) << log().toStdString();

  // The editor in front holds Ctrl+Shift+S ("save as new") for itself, but
  // not while a recording runs: the record shortcut stops it.
  ASSERT_EQ(cli({"edit"}).exitCode, 0);
  ASSERT_TRUE(waitFor([] { return visible("Nimbo — Edit"); })) << log().toStdString();
  xdotool({"windowactivate", "--sync", visibleWindow("Nimbo — Edit")});
  QTest::qWait(1000);
  xdotool({"key", "--clearmodifiers", "ctrl+shift+s"});
  QString link;
  ASSERT_TRUE(waitFor([&] {
    link = QString::fromUtf8(clipboard("UTF8_STRING"));
    return link.contains("/v/");
  }, 30000)) << log().toStdString();
  EXPECT_FALSE(log().contains("keys taken by the focused window")) << log().toStdString();
  // Uploaded: the link is the recording's page on our server.
  EXPECT_TRUE(link.startsWith(QString::fromLatin1(shareEndpoint))) << link.toStdString();
  EXPECT_TRUE(run("curl", {"-sf", link}).out.contains("<video"));
  const auto items = history();
  ASSERT_EQ(items.size(), 2u);  // the recording, and the screenshot not saved again
  EXPECT_EQ(items[0].mediaType, nimbo::MediaType::video);
  EXPECT_EQ(items[0].shareURL.value_or(QString()), link);
  ASSERT_TRUE(items[0].videoPath);
  const auto probe = nimbo::MediaProbe::read(*items[0].videoPath);
  ASSERT_TRUE(probe);
  EXPECT_EQ(QSize(probe->width, probe->height), QSize(500, 300));
  // Its own colour, not what lies around it (away from the middle, where
  // the pointer is drawn).
  const QImage poster(dataDir + "/thumbnails/" + items[0].id + ".png");
  ASSERT_FALSE(poster.isNull());
  const QColor middle = poster.pixelColor(poster.width() / 4, poster.height() / 4);
  EXPECT_NEAR(middle.red(), 30, 16);
  EXPECT_NEAR(middle.green(), 140, 16);
  EXPECT_NEAR(middle.blue(), 200, 16);
}

TEST_F(AppFixture, AFreshInstallationUploadsThroughTheBundledServer) {
  // Nothing runs on the default port yet.
  const QString serverData = dataDir + "/share-server";
  const QString link = uploadThroughTheDefaultEndpoint("Nimbo: started the bundled share server on 127.0.0.1:8787");
  EXPECT_TRUE(link.startsWith("http://127.0.0.1:8787/i/")) << link.toStdString();
  const QStringList images = QDir(serverData + "/images").entryList(QDir::Files);
  EXPECT_FALSE(images.isEmpty());
  // The user's screenshots on the server are the user's alone.
  const auto others = QFile::ReadGroup | QFile::ReadOther | QFile::ExeGroup | QFile::ExeOther;
  EXPECT_EQ(QFileInfo(serverData).permissions() & others, 0);
  if (!images.isEmpty()) {
    EXPECT_EQ(QFileInfo(serverData + "/images/" + images[0]).permissions() & others, 0);
  }
  // Whatever port it ended up on.
  run("pkill", {"-f", "nimbo-share-server --listen [^ ]+ --data " + serverData});
}

TEST_F(AppFixture, AnotherUsersServerOnTheDefaultPortGetsNothing) {
  // Someone else's server (another data folder, another key) holds the
  // default port before Nimbo starts.
  QProcess foreign;
  foreign.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  foreign.start(NIMBO_SHARE_SERVER, {"--listen", "127.0.0.1:8787", "--data", home.filePath("foreign")});
  ASSERT_TRUE(foreign.waitForStarted());
  ASSERT_TRUE(waitFor([] { return listening(8787); }));
  ASSERT_EQ(foreign.state(), QProcess::Running) << "the default port was taken already";
  const QString serverData = dataDir + "/share-server";
  const QString link =
      uploadThroughTheDefaultEndpoint("Nimbo: the share server on 127.0.0.1:8787 is not this user's own; not using it");
  EXPECT_TRUE(link.startsWith("http://127.0.0.1:")) << link.toStdString();
  EXPECT_FALSE(link.startsWith("http://127.0.0.1:8787/")) << link.toStdString();
  EXPECT_EQ(run("curl", {"-s", "-o", "/dev/null", "-w", "%{http_code}", link + ".png"}).out, "200");
  EXPECT_FALSE(QDir(serverData + "/images").entryList(QDir::Files).isEmpty());
  EXPECT_TRUE(QDir(home.filePath("foreign") + "/images").entryList(QDir::Files).isEmpty());
  // Nothing of ours reached it: not even a device registration.
  EXPECT_EQ(run("sqlite3", {home.filePath("foreign") + "/share.db", "select count(*) from tokens"}).out.trimmed(), "0");
  foreign.terminate();
  foreign.waitForFinished();
  run("pkill", {"-f", "nimbo-share-server --listen [^ ]+ --data " + serverData});
}

}  // namespace

// The editor on a plain desktop (no pattern windows): a seeded capture is
// opened with `nimbo edit`, drawn on with XTest and saved both ways.
class Editor : public AppFixture {
 protected:
  static void SetUpTestSuite() {}
  static void TearDownTestSuite() {}

  static constexpr int W = 600, H = 400;

  // `nimbo edit last`, and the editor's window once it has the focus.
  QByteArray openEditor() {
    EXPECT_EQ(cli({"edit", "last"}).exitCode, 0);
    QByteArray win;
    EXPECT_TRUE(waitFor([&] { return !(win = visibleWindow("Nimbo — Edit").toLatin1()).isEmpty(); }))
        << log().toStdString();
    if (!win.isEmpty()) xdotool({"windowactivate", "--sync", win});
    QTest::qWait(300);
    return win;
  }
  QImage screen() { return QImage::fromData(run(NIMBO_BINARY, {"screenshot", "--screen", "DUMMY0", "-o", "-"}).out); }
  // Chooses the arrow tool; where the capture then shows. The colour strip
  // shows for the drawing tools and hides for select and blur, moving the
  // centred image, so it is found both ways; `plain` gets where it shows
  // without the strip.
  std::optional<QPoint> chooseArrow(const QImage& base, QPoint* plain = nullptr) {
    std::optional<QPoint> at;
    keys("b");
    if (!waitFor([&] { return (at = locate(screen(), base)).has_value(); })) return std::nullopt;
    const QPoint without = *at;
    if (plain) *plain = without;
    keys("a");
    if (!waitFor([&] { return (at = locate(screen(), base)) && *at != without; })) return std::nullopt;
    return at;
  }
  // The screen point of an image point (image pixels count y upwards from
  // the bottom edge, so the pointer at a row's top edge is at H - row).
  QPoint on(int x, int y) const { return origin + QPoint(x, H - y); }
  void dragIn(QPoint from, QPoint to, int steps = 4) {
    QStringList a{"mousemove", QString::number(from.x()), QString::number(from.y()), "mousedown", "1"};
    for (int i = 1; i <= steps; ++i) {
      const QPoint p = from + (to - from) * i / steps;
      a << "mousemove" << QString::number(p.x()) << QString::number(p.y()) << "sleep" << "0.03";
    }
    a << "mouseup" << "1";
    xdotool(a);
  }
  void keys(const QString& k) { xdotool({"key", "--clearmodifiers", k}); }
  // What a window manager's close button sends; waits for the editor's
  // question.
  void askToClose(const QByteArray& window) {
    askWindowToClose(QString::fromLatin1(window));
    EXPECT_TRUE(waitFor([&] { return !(prompt = nimboDialog()).isEmpty(); })) << "no close prompt";
  }
  QByteArray bytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  QPoint origin;
  QString prompt;
};

TEST_F(Editor, DrawEveryKindSaveBothWaysAndDiscardOnClose) {
  const QImage base = patternImage(QRect(300, 200, W, H));
  const QString id = seed(base);
  startApp();
  const QByteArray win = openEditor();
  ASSERT_FALSE(win.isEmpty());
  EXPECT_TRUE(run("xdotool", {"getwindowname", win}).out.contains("600×400"));
  QPoint withoutStrip;
  const std::optional<QPoint> at = chooseArrow(base, &withoutStrip);
  ASSERT_TRUE(at) << "the capture is not on screen";
  origin = *at;

  dragIn(on(40, 360), on(240, 260));
  keys("r");
  dragIn(on(300, 100), on(500, 300));
  keys("h");
  dragIn(on(40, 60), on(260, 60), 10);
  keys("b");
  origin = withoutStrip;
  dragIn(on(16, 120), on(16 + 160, 120 + 96));
  keys("t");
  origin = *at;
  clickAt(on(320, 40));
  QTest::qWait(200);
  xdotool({"type", "--delay", "30", "Hi there"});
  keys("Return");
  QTest::qWait(200);

  keys("ctrl+s");
  ASSERT_TRUE(waitFor([&] { return log().contains("Editor: saved over " + id); })) << log().toStdString();
  const QByteArray savedBytes = bytes(dataDir + "/originals/" + id + ".png");
  const QImage saved = QImage::fromData(savedBytes).convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(saved.size(), QSize(W, H));
  auto px = [&](int x, int y) { return QColor(saved.pixel(x, H - 1 - y)); };
  const QColor coral(255, 107, 107);
  // The arrow's shaft (coral, drawn 5 wide) midway along it.
  EXPECT_EQ(px(140, 310), coral);
  // The rectangle's 4-pixel outline runs inside its edge; its middle is the base.
  EXPECT_EQ(px(301, 200), coral);
  EXPECT_EQ(px(400, 200), QColor(base.pixel(400, H - 1 - 200)));
  // The highlighter tints in yellow without hiding what is under it.
  const QColor hl = px(150, 60), under = QColor(base.pixel(150, H - 1 - 60));
  EXPECT_NE(hl, under);
  EXPECT_GT(hl.red() + hl.green(), under.red() + under.green() - 40);
  // The blur is 16-pixel cells of one colour from the lower-left corner.
  for (int cy = 0; cy < 6; ++cy)
    for (int cx = 0; cx < 10; ++cx) {
      const QColor c = px(16 + cx * 16, 120 + cy * 16);
      for (QPoint d : {QPoint(15, 0), QPoint(0, 15), QPoint(15, 15), QPoint(7, 9)})
        ASSERT_EQ(px(16 + cx * 16 + d.x(), 120 + cy * 16 + d.y()), c) << cx << "," << cy;
    }
  // The typed text changed the pixels to the right of the click.
  int changed = 0;
  for (int x = 320; x < 380; ++x) changed += px(x, 44) != QColor(base.pixel(x, H - 1 - 44));
  EXPECT_GT(changed, 30);
  EXPECT_EQ(QImage(dataDir + "/thumbnails/" + id + ".png").size(), QSize(320, 213));

  // Ctrl+Shift+S reaches the focused editor, not the record shortcut; the
  // editor stays on the capture it opened.
  keys("ctrl+shift+s");
  ASSERT_TRUE(waitFor([&] { return log().contains("as new capture"); })) << log().toStdString();
  auto items = history();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_NE(items[0].id, id);
  EXPECT_EQ(items[1].id, id);
  EXPECT_EQ(QSize(items[0].width, items[0].height), QSize(W, H));
  EXPECT_EQ(QImage(dataDir + "/originals/" + items[0].id + ".png").convertToFormat(QImage::Format_RGB32), saved);
  EXPECT_EQ(bytes(dataDir + "/originals/" + id + ".png"), savedBytes);
  EXPECT_TRUE(run("xdotool", {"getwindowname", win}).out.contains("600×400"));

  // One more arrow, then close: "Discard" leaves every file as it was.
  keys("a");
  dragIn(on(400, 380), on(560, 340));
  QTest::qWait(100);
  askToClose(win);
  ASSERT_FALSE(prompt.isEmpty());
  xdotool({"windowactivate", "--sync", prompt});
  // Save is the default; Discard is the fourth button.
  for (int i = 0; i < 3; ++i) keys("Tab");
  keys("space");
  ASSERT_TRUE(waitFor([&] { return visibleWindow("Nimbo — Edit").isEmpty(); })) << "the editor stayed open";
  QTest::qWait(300);
  EXPECT_EQ(bytes(dataDir + "/originals/" + id + ".png"), savedBytes);
  EXPECT_EQ(history().size(), 2u);
  EXPECT_EQ(count("Editor: saved over " + id), 1);

  // An unknown id is refused with a reason.
  const ProcResult unknown = cli({"edit", "NOT-AN-ID"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_TRUE(unknown.err.contains("no capture NOT-AN-ID in the history")) << unknown.err.toStdString();
}

// A termination signal (a logout, `kill`) ends the app even while the editor
// asks whether to save its edits; the capture on disk stays as it was.
TEST_F(Editor, ATermSignalEndsTheAppWhileTheSavePromptIsUp) {
  const QImage base = patternImage(QRect(300, 200, W, H));
  const QString id = seed(base);
  const QByteArray before = bytes(dataDir + "/originals/" + id + ".png");
  startApp();
  const QByteArray win = openEditor();
  ASSERT_FALSE(win.isEmpty());
  const std::optional<QPoint> at = chooseArrow(base);
  ASSERT_TRUE(at) << "the capture is not on screen";
  origin = *at;
  dragIn(on(100, 300), on(300, 200));
  // An edit to ask about: the arrow is on the canvas.
  ASSERT_TRUE(waitFor([&] { return !locate(screen(), base); })) << "the arrow was not drawn";
  askToClose(win);
  ASSERT_FALSE(prompt.isEmpty());
  app->terminate();
  ASSERT_TRUE(app->waitForFinished(5000)) << "still running 5 s after SIGTERM\n" << log().toStdString();
  EXPECT_EQ(app->exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(app->exitCode(), 0) << log().toStdString();
  app.reset();
  EXPECT_EQ(bytes(dataDir + "/originals/" + id + ".png"), before);
}

TEST_F(Editor, TheCaptureToastsMarkupButtonOpensTheCaptureInTheEditor) {
  startApp();
  requestCapture();
  drag({100, 120}, {300, 270});
  ASSERT_TRUE(waitFor([&] { return log().contains("Screenshot: selection 200x150 on DUMMY0"); })) << log().toStdString();
  QString toast;
  ASSERT_TRUE(waitFor([&] { return !(toast = visibleWindow("Nimbo toast")).isEmpty(); }));
  // "Markup" is the last button, at the panel's right end.
  const QRect panel = windowRect(toast);
  clickAt(QPoint(panel.x() + panel.width() - 32, panel.y() + panel.height() / 2));
  ASSERT_TRUE(waitFor([] { return !visibleWindow("Nimbo — Edit · 200×150").isEmpty(); }))
      << "the editor did not open\n" << log().toStdString();
}

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
