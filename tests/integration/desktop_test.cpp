// The real app in the virtual desktop of scripts/with-desktop: known pixels on both monitors, XTest input.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHostAddress>
#include <QPainter>
#include <QScreen>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QWidget>

#include "integration/desktop_support.h"
#include "recording/media_probe.h"

namespace {

using namespace nimbo::desktoptest;

// A colour for every pixel of the X screen: a crop off by one pixel cannot match.
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

// Covers one monitor with the pattern in device pixels (monitors sit side by side from the origin).
class PatternWindow : public QWidget {
 public:
  explicit PatternWindow(QScreen* s)
      : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::Tool) {
    setScreen(s);
    setGeometry(s->geometry());
    image_ = patternImage(QRect(s->geometry().topLeft(), s->geometry().size() * s->devicePixelRatio()));
    image_.setDevicePixelRatio(s->devicePixelRatio());
  }

 protected:
  void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(QPointF(0, 0), image_); }

 private:
  QImage image_;
};

void drag(QPoint from, QPoint to) {
  const QPoint mid = (from + to) / 2;
  xdotool({"mousemove", QString::number(from.x()), QString::number(from.y()), "mousedown", "1", "mousemove",
           QString::number(mid.x()), QString::number(mid.y()), "mousemove", QString::number(to.x()),
           QString::number(to.y()), "mouseup", "1"});
}

QByteArray clipboard(const QString& type) { return run("xclip", {"-selection", "clipboard", "-t", type, "-o"}).out; }

bool listening(quint16 port) {
  QTcpSocket s;
  s.connectToHost("127.0.0.1", port);
  return s.waitForConnected(100);
}

// The app in a new installation of its own, over the pattern.
class AppFixture : public AppTest {
 protected:
  static void SetUpTestSuite() {
    for (QScreen* s : QGuiApplication::screens()) {
      patterns().push_back(std::make_unique<PatternWindow>(s));
      patterns().back()->show();
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
    env = privateAppEnvironment(home);
    run("secret-tool", {"clear", "service", "com.vantori.screenshot", "account", "upload-device-token"});
  }
  void editSettings(const QString& from, const QString& to) {
    const QString text = settingsText().replace(from, to);
    QFile f(settingsFile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.toUtf8());
  }
  void addSettings(const QString& lines) { editSettings("[General]\n", "[General]\n" + lines); }

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
    EXPECT_TRUE(waitFor([&] { return (text = QString::fromUtf8(clipboard("UTF8_STRING"))).contains("/i/"); }))
        << text.toStdString() << log().toStdString();
    return text;
  }
  // The same with no endpoint set: the default one on 127.0.0.1:8787.
  QString uploadThroughTheDefaultEndpoint(const QString& serverLine) {
    editSettings("uploadEndpoint=\n", "");
    startApp();
    EXPECT_TRUE(waitFor([&] { return log().contains("Nimbo: device registered"); }, 15000)) << log().toStdString();
    EXPECT_TRUE(log().contains(serverLine)) << log().toStdString();
    return uploadCapture();
  }
};

// Also: the toast's "Markup" opens the editor, and the shutter lets the sound server go again.
TEST_F(AppFixture, CaptureOnEachMonitorLandsOnTheClipboardAndInTheHistory) {
  startApp();
  const QByteArray mine = "application.process.id = \"" + QByteArray::number(app->processId()) + "\"";
  auto soundConnected = [&] { return run("pactl", {"list", "clients"}).out.contains(mine); };
  EXPECT_FALSE(soundConnected());
  requestCapture();
  drag({100, 120}, {300, 270});
  expectCapture(QRect(100, 120, 200, 150), "Screenshot: selection 200x150 on DUMMY0");
  EXPECT_TRUE(log().contains("Screenshot: CaptureFlow.run(mode: clipboardOnly) invoked"));
  ASSERT_TRUE(waitFor(soundConnected, 5000)) << "the shutter never reached the sound server";

  auto items = history();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(QSize(items[0].width, items[0].height), QSize(200, 150));
  QFile original(dataDir + "/originals/" + items[0].id + ".png");
  ASSERT_TRUE(original.open(QIODevice::ReadOnly));
  EXPECT_EQ(original.readAll(), clipboard("image/png"));
  EXPECT_EQ(QImage(dataDir + "/thumbnails/" + items[0].id + ".png").size(), QSize(200, 150));
  // The copy offered to file managers is the same PNG.
  const QString uri = QString::fromUtf8(clipboard("text/uri-list")).trimmed();
  QFile copy(QUrl(uri).toLocalFile());
  ASSERT_TRUE(copy.open(QIODevice::ReadOnly)) << uri.toStdString();
  EXPECT_EQ(copy.readAll(), clipboard("image/png"));

  // The second monitor sits at x 1920, scaled x2: a 100-point drag is 200 pixels.
  requestCapture();
  drag({2000, 100}, {2200, 300});
  expectCapture(QRect(2000, 100, 200, 200), "Screenshot: selection 100x100 on DUMMY1");
  items = history();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].width, 200);
  EXPECT_EQ(QImage(dataDir + "/thumbnails/" + items[0].id + ".png").size(), QSize(200, 200));

  // "Markup" is the toast's last button, at its right end.
  QString toast;
  ASSERT_TRUE(waitFor([&] { return !(toast = visibleWindow("Nimbo toast")).isEmpty(); }));
  const QRect panel = windowRect(toast);
  clickAt(QPoint(panel.x() + panel.width() - 32, panel.y() + panel.height() / 2));
  ASSERT_TRUE(waitFor([] { return !visibleWindow("Nimbo — Edit · 200×200").isEmpty(); }))
      << "the editor did not open\n" << log().toStdString();
  EXPECT_TRUE(waitFor([&] { return !soundConnected(); }, 20000)) << "the sound server was never let go";
  EXPECT_EQ(app->state(), QProcess::Running);
}

TEST_F(AppFixture, EscapeClickAndTinyDragCancelWithoutTouchingTheClipboard) {
  startApp();
  // xclip serves this text until someone else takes the clipboard.
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
  for (const auto& [where, pixels] : std::vector<std::pair<QStringList, QRect>>{
           {{"--screen", "DUMMY1"}, {1920, 0, 1920, 1080}}, {{"--region", "1900,10,50,40"}, {1900, 10, 50, 40}}}) {
    const ProcResult r = cli(QStringList{"screenshot"} + where + QStringList{"-o", out});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(QImage(out).convertToFormat(QImage::Format_RGB32), patternImage(pixels));
  }
  ASSERT_EQ(cli({"screenshot", "-o", out}).exitCode, 0);
  EXPECT_EQ(QImage(out).size(), QSize(3840, 1080));

  for (const auto& [args, error] : std::vector<std::pair<QStringList, QByteArray>>{
           {{"--screen", "HDMI-9", "-o", out}, "no screen named 'HDMI-9' (screens: DUMMY0, DUMMY1)"},
           {{"--region", "1,2,0,4", "-o", out}, ""},
           {{"-o", "/nonexistent/dir/x.png"}, "cannot write /nonexistent/dir/x.png"}}) {
    const ProcResult r = cli(QStringList{"screenshot"} + args);
    EXPECT_EQ(r.exitCode, 1) << args.join(' ').toStdString();
    EXPECT_TRUE(r.err.contains(error)) << r.err.toStdString();
  }
}

TEST_F(AppFixture, WithoutADisplayTheAppSaysWhatToDo) {
  QProcessEnvironment bare = env;
  bare.remove("DISPLAY");
  bare.remove("WAYLAND_DISPLAY");
  for (const QStringList& args : {QStringList{}, QStringList{"capture-to-clipboard"}}) {
    const ProcResult r = run(NIMBO_BINARY, args, bare);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains("no display found (neither WAYLAND_DISPLAY nor DISPLAY is set)")) << r.err.toStdString();
  }
  const ProcResult bad = cli({"capture-everything"});
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
  static bool lockOn(const char* name) {
    return QRegularExpression(QString(name) + R"(:\s+on\b)").match(QString::fromUtf8(run("xset", {"q"}).out)).hasMatch();
  }
};

TEST_F(Shortcuts, DefaultsFireWhateverTheLockKeys) {
  startApp();
  EXPECT_FALSE(settingsText().contains("hotkeyShortcuts"));
  expectFired("ctrl+grave", "captureToClipboard", 1, true);
  expectFired("shift+super+u", "captureAndUpload", 1, true);
  expectFired("ctrl+shift+r", "recordAndUpload", 1);
  expectFired("ctrl+shift+s", "recordToFile", 1);
  xdotool({"key", "Caps_Lock"});
  ASSERT_TRUE(lockOn("Caps Lock"));
  expectFired("ctrl+grave", "captureToClipboard", 2, true);
  xdotool({"key", "Caps_Lock", "Num_Lock"});
  ASSERT_TRUE(lockOn("Num Lock"));
  expectFired("ctrl+shift+r", "recordAndUpload", 2);
  xdotool({"key", "Num_Lock"});
  ASSERT_FALSE(lockOn("Num Lock"));
}

TEST_F(Shortcuts, UnsupportedStoredKeyAndTakenCombinationAreReportedAndTheAppRunsOn) {
  addSettings(R"x(hotkeyShortcuts="@ByteArray({\"captureToClipboard\":{\"keyCode\":127,\"modifiers\":262144,\"character\":\"x\"}})")x"
              "\n");
  KeyHolder other;  // another client holds Ctrl+Shift+S before Nimbo starts
  ASSERT_TRUE(other.grab(0x73 /* s */, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT));
  startApp();
  ASSERT_TRUE(waitFor([&] { return log().contains("Nimbo: unsupported keyCode 127 for captureToClipboard"); }))
      << log().toStdString();
  ASSERT_TRUE(waitFor([&] {
    return log().contains("Nimbo: shortcut Ctrl+Shift+S for recordToFile could not be registered");
  })) << log().toStdString();
  // Moving an action onto the taken combination keeps its old binding, now and after a restart.
  const ProcResult r = cli({"shortcut", "set", "recordAndUpload", "Ctrl+Shift+S"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("Ctrl+Shift+R stays")) << r.err.toStdString();
  EXPECT_FALSE(settingsText().contains("recordAndUpload"));
  expectFired("ctrl+shift+r", "recordAndUpload", 1);
  stopApp();
  startApp();
  ASSERT_TRUE(waitFor([&] { return count("Nimbo: Hotkeys registered") == 2; }));
  expectFired("ctrl+shift+r", "recordAndUpload", 2);
  other.release();
  EXPECT_EQ(app->state(), QProcess::Running);
}

TEST_F(Shortcuts, ReopeningTheRunningAppShowsWhereItIs) {
  startApp();
  ASSERT_EQ(cli({}).exitCode, 0);
  // With no window of ours open the settings open (without a tray they are the way in).
  ASSERT_TRUE(waitFor([] { return !visibleWindow("^Nimbo Settings$").isEmpty(); }));
  EXPECT_TRUE(log().contains("Screenshot: opening settings window"));
  EXPECT_TRUE(visibleWindow("Welcome to Nimbo").isEmpty());
  EXPECT_EQ(app->state(), QProcess::Running);
  EXPECT_EQ(count("Nimbo: applicationDidFinishLaunching fired"), 1);  // still the one instance
}

// Turning it off again removes the entry: checked on the settings pane (settings_window_test.cpp).
TEST_F(Shortcuts, LaunchAtLoginWritesTheAutostartEntry) {
  const QString entry = home.filePath("config/autostart/com.vantori.screenshot.desktop");
  addSettings("launchAtLogin=true\n");
  startApp();
  ASSERT_TRUE(waitFor([&] { return QFile::exists(entry); }));
  QFile f(entry);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_TRUE(f.readAll().contains("Exec=\"" NIMBO_BINARY "\""));
}

// The real app against the real share server on loopback.
class Sharing : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    port = probe.serverPort();
    probe.close();
    shareEndpoint = QStringLiteral("http://127.0.0.1:%1/").arg(port);
    editSettings("uploadEndpoint=\n", "uploadEndpoint=" + shareEndpoint + "\n");
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(NIMBO_SHARE_SERVER, {"--listen", "127.0.0.1:" + QString::number(port), "--data", home.filePath("server")});
    ASSERT_TRUE(server.waitForStarted());
    ASSERT_TRUE(waitFor([&] { return listening(port); }));
  }
  void TearDown() override {
    AppFixture::TearDown();
    server.terminate();
    server.waitForFinished();
  }
  quint16 port = 0;
  QString shareEndpoint;
  QProcess server;
};

TEST_F(Sharing, CaptureAndUploadCopiesTheLinkAndTheServerHoldsTheSameBytes) {
  startApp();
  ASSERT_TRUE(waitFor([&] { return log().contains("Nimbo: device registered (token prefix "); })) << log().toStdString();
  const QByteArray token =
      run("secret-tool", {"lookup", "service", "com.vantori.screenshot", "account", "upload-device-token"}).out;
  EXPECT_GE(token.size(), 22) << "the token is in the keyring";
  const QString link = uploadCapture();
  ASSERT_TRUE(link.startsWith(shareEndpoint + "i/")) << link.toStdString();
  const auto items = history();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].shareURL.value_or(QString()), link);
  EXPECT_TRUE(waitFor([&] { return settingsText().contains("lastShareURL=" + link); }));
  QFile original(dataDir + "/originals/" + items[0].id + ".png");
  ASSERT_TRUE(original.open(QIODevice::ReadOnly));
  EXPECT_EQ(run("curl", {"-sf", link + ".png"}).out, original.readAll());
}

TEST_F(Sharing, WithoutASecretServiceTheTokenGoesToAPrivateFile) {
  env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
  startApp();
  ASSERT_TRUE(waitFor([&] { return log().contains("Nimbo: device registered"); })) << log().toStdString();
  EXPECT_TRUE(log().contains("Nimbo: no Secret Service ("));
  const QFileInfo info(home.filePath("config/com.vantori.screenshot/secrets/com.vantori.screenshot.upload-device-token"));
  ASSERT_TRUE(info.exists());
  EXPECT_EQ(info.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther), 0);
  const QString link = uploadCapture();
  EXPECT_TRUE(link.startsWith(shareEndpoint + "i/")) << link.toStdString();
}

// Recording from the keyboard, on a plain desktop (the pattern windows would take the panel's clicks).
class Recording : public Sharing {
 protected:
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
};

TEST_F(Recording, RecordToFilePutsThePlayableFileOnTheClipboardAndRecordsWhatLiesUnderThePill) {
  // Not the whole monitor: a window manager may take that for full screen and raise it.
  const auto backdrop = solid("Backdrop", QColor(230, 0, 200), QRect(200, 0, 1500, 700),
                              Qt::FramelessWindowHint | Qt::WindowStaysOnBottomHint);
  ASSERT_TRUE(waitFor([] { return visible("^Backdrop$"); }));
  xdotool({"mousemove", "1800", "1000"});
  startApp();
  ASSERT_EQ(cli({"record-to-file"}).exitCode, 0);
  ASSERT_TRUE(waitFor([] { return visible("^New Recording$"); })) << log().toStdString();
  xdotool({"windowactivate", "--sync", visibleWindow("^New Recording$")});
  xdotool({"key", "Return"});
  ASSERT_TRUE(waitFor([] { return visible("^Nimbo countdown$"); })) << log().toStdString();
  // Where the countdown shows, on the backdrop, so that the recording's
  // first picture can be checked for it below.
  const QRect countdown = windowRect(visibleWindow("^Nimbo countdown$"));
  ASSERT_TRUE(QRect(200, 0, 1500, 700).contains(countdown)) << countdown.x() << "," << countdown.y();
  ASSERT_TRUE(waitFor([] { return visible("^Nimbo recording$"); }, 8000)) << log().toStdString();
  EXPECT_FALSE(visible("^Nimbo countdown$"));
  EXPECT_TRUE(waitFor([&] { return log().contains("Nimbo: tray icon shows a recording"); }));
  const QString pillWindow = visibleWindow("^Nimbo recording$");
  QTest::qWait(2000);
  const QRect pill = windowRect(pillWindow);
  ASSERT_TRUE(QRect(0, 0, 1920, 1080).contains(QRect(pill.topLeft(), QSize(196, 40)))) << pill.x() << "," << pill.y();
  // Of the pixels inside `area` (by default where the pill is), the share that show the backdrop.
  auto magentaShare = [&](const QImage& picture, QRect area = QRect()) {
    if (area.isNull()) area = QRect(pill.x() + 4, pill.y() + 4, 188, 32);
    int magentaPixels = 0, checked = 0;
    for (int py = area.top(); py < area.bottom(); py += 4)
      for (int px = area.left(); px < area.right(); px += 8) {
        const QColor c = picture.pixelColor(px, py);
        ++checked;
        magentaPixels += std::abs(c.red() - 230) < 30 && c.green() < 40 && std::abs(c.blue() - 200) < 30;
      }
    return double(magentaPixels) / checked;
  };
  // The pill is on top of the backdrop on screen…
  const QString live = home.filePath("live.png");
  run("import", {"-window", "root", live});
  EXPECT_LT(magentaShare(QImage(live)), 0.2) << "the pill is not on top on screen";
  ASSERT_EQ(cli({"record-to-file"}).exitCode, 0);  // the same command stops it
  std::optional<nimbo::CaptureItem> video;
  ASSERT_TRUE(waitFor([&] {
    const auto items = history();
    if (!items.empty() && items[0].mediaType == nimbo::MediaType::video) video = items[0];
    return video && video->videoPath;
  }, 20000)) << log().toStdString();
  EXPECT_FALSE(visible("^Nimbo recording$"));
  EXPECT_TRUE(log().contains("Nimbo: tray icon back to idle"));
  const auto probe = nimbo::MediaProbe::read(*video->videoPath);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->videoTracks, 1);
  EXPECT_GE(probe->durationSeconds, 1.5);
  EXPECT_TRUE(QFile::exists(dataDir + "/thumbnails/" + video->id + ".png"));
  QByteArray uris;
  EXPECT_TRUE(waitFor([&] {
    return (uris = clipboard("text/uri-list")).contains(QUrl::fromLocalFile(*video->videoPath).toEncoded());
  })) << uris.toStdString();
  // …but the recording shows the backdrop where it was.
  const QString frame = home.filePath("frame.png");
  run("ffmpeg", {"-y", "-loglevel", "error", "-ss", "1.5", "-i", *video->videoPath, "-frames:v", "1", frame});
  const QImage picture(frame);
  ASSERT_FALSE(picture.isNull());
  EXPECT_EQ(magentaShare(picture), 1.0) << "pixels where the pill was that show something else";
  // The recording begins right after the countdown: its very first picture
  // shows what lay under the countdown, not the countdown on its way out.
  const QString first = home.filePath("first.png");
  run("ffmpeg", {"-y", "-loglevel", "error", "-i", *video->videoPath, "-frames:v", "1", first});
  ASSERT_FALSE(QImage(first).isNull());
  EXPECT_EQ(magentaShare(QImage(first), countdown.adjusted(30, 30, -30, -30)), 1.0)
      << "the countdown is in the recording's first picture";
}

TEST_F(Recording, TheShortcutStartsAndStopsEvenWithTheEditorInFrontAndAPickedWindowIsRecordedWhole) {
  const auto target = solid("Picker target", QColor(30, 140, 200), QRect(300, 200, 500, 300));
  ASSERT_TRUE(waitFor([] { return visible("^Picker target$"); }));
  QTest::qWait(200);
  QImage shot(400, 300, QImage::Format_RGB32);  // something for the editor
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

  // The editor in front keeps Ctrl+Shift+S ("save as new"), but not while a recording runs.
  ASSERT_EQ(cli({"edit"}).exitCode, 0);
  ASSERT_TRUE(waitFor([] { return visible("Nimbo — Edit"); })) << log().toStdString();
  xdotool({"windowactivate", "--sync", visibleWindow("Nimbo — Edit")});
  QTest::qWait(1000);
  xdotool({"key", "--clearmodifiers", "ctrl+shift+s"});
  QString link;
  ASSERT_TRUE(waitFor([&] { return (link = QString::fromUtf8(clipboard("UTF8_STRING"))).contains("/v/"); }, 30000))
      << log().toStdString();
  EXPECT_FALSE(log().contains("keys taken by the focused window")) << log().toStdString();
  EXPECT_TRUE(link.startsWith(shareEndpoint)) << link.toStdString();
  EXPECT_TRUE(run("curl", {"-sf", link}).out.contains("<video"));
  const auto items = history();
  ASSERT_EQ(items.size(), 2u);  // the recording, and the screenshot not saved again
  EXPECT_EQ(items[0].mediaType, nimbo::MediaType::video);
  EXPECT_EQ(items[0].shareURL.value_or(QString()), link);
  ASSERT_TRUE(items[0].videoPath);
  const auto probe = nimbo::MediaProbe::read(*items[0].videoPath);
  ASSERT_TRUE(probe);
  // The window's size; that its own pixels are recorded, covered or not, is checked in recording_test.cpp.
  EXPECT_EQ(QSize(probe->width, probe->height), QSize(500, 300));
}

TEST_F(AppFixture, AFreshInstallationUploadsThroughTheBundledServer) {
  const QString serverData = dataDir + "/share-server";
  const QString link = uploadThroughTheDefaultEndpoint("Nimbo: started the bundled share server on 127.0.0.1:8787");
  EXPECT_TRUE(link.startsWith("http://127.0.0.1:8787/i/")) << link.toStdString();
  const QStringList images = QDir(serverData + "/images").entryList(QDir::Files);
  EXPECT_FALSE(images.isEmpty());
  // The user's screenshots on the server are the user's alone.
  const auto others = QFile::ReadGroup | QFile::ReadOther | QFile::ExeGroup | QFile::ExeOther;
  EXPECT_EQ(QFileInfo(serverData).permissions() & others, 0);
  for (const QString& image : images) EXPECT_EQ(QFileInfo(serverData + "/images/" + image).permissions() & others, 0);
  run("pkill", {"-f", "nimbo-share-server --listen [^ ]+ --data " + serverData});
}

TEST_F(AppFixture, AnotherUsersServerOnTheDefaultPortGetsNothing) {
  // Someone else's server (another data folder, another key) holds the default port first.
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
  // Not even a device registration reached it.
  EXPECT_EQ(run("sqlite3", {home.filePath("foreign") + "/share.db", "select count(*) from tokens"}).out.trimmed(), "0");
  foreign.terminate();
  foreign.waitForFinished();
  run("pkill", {"-f", "nimbo-share-server --listen [^ ]+ --data " + serverData});
}

// The editor on a plain desktop: a seeded capture opened with `nimbo edit`, drawn on through XTest.
class Editor : public AppFixture {
 protected:
  static void SetUpTestSuite() {}
  static void TearDownTestSuite() {}
  static constexpr int W = 600, H = 400;

  // Seeds the pattern, starts the app, opens `nimbo edit last` and chooses the arrow; the editor's window.
  QByteArray openEditor(const QImage& base) {
    startApp();
    EXPECT_EQ(cli({"edit", "last"}).exitCode, 0);
    QByteArray win;
    EXPECT_TRUE(waitFor([&] { return !(win = visibleWindow("Nimbo — Edit").toLatin1()).isEmpty(); })) << log().toStdString();
    if (win.isEmpty()) return win;
    xdotool({"windowactivate", "--sync", win});
    QTest::qWait(300);
    // The colour strip shows for drawing tools and hides for blur, moving the centred image.
    std::optional<QPoint> at;
    keys("b");
    EXPECT_TRUE(waitFor([&] { return (at = locate(screen(), base)).has_value(); })) << "the capture is not on screen";
    withoutStrip = at.value_or(QPoint());
    keys("a");
    EXPECT_TRUE(waitFor([&] { return (at = locate(screen(), base)) && *at != withoutStrip; }));
    origin = at.value_or(QPoint());
    return at ? win : QByteArray();
  }
  QImage screen() { return QImage::fromData(run(NIMBO_BINARY, {"screenshot", "--screen", "DUMMY0", "-o", "-"}).out); }
  // The screen point of an image point (image y counts upwards from the bottom edge).
  QPoint on(int x, int y) const { return origin + QPoint(x, H - y); }
  void dragIn(QPoint from, QPoint to) {
    QStringList a{"mousemove", QString::number(from.x()), QString::number(from.y()), "mousedown", "1"};
    for (int i = 1; i <= 4; ++i) {
      const QPoint p = from + (to - from) * i / 4;
      a << "mousemove" << QString::number(p.x()) << QString::number(p.y()) << "sleep" << "0.03";
    }
    xdotool(a << "mouseup" << "1");
  }
  void keys(const QString& k) { xdotool({"key", "--clearmodifiers", k}); }
  // What a window manager's close button sends; the editor's question.
  QString askToClose(const QByteArray& window) {
    askWindowToClose(QString::fromLatin1(window));
    QString prompt;
    EXPECT_TRUE(waitFor([&] { return !(prompt = nimboDialog()).isEmpty(); })) << "no close prompt";
    return prompt;
  }
  QByteArray bytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  QPoint origin, withoutStrip;
};

TEST_F(Editor, DrawSaveBothWaysAndDiscardOnClose) {
  const QImage base = patternImage(QRect(300, 200, W, H));
  const QString id = seed(base);
  const QByteArray win = openEditor(base);
  ASSERT_FALSE(win.isEmpty());
  dragIn(on(40, 360), on(240, 260));
  keys("r");
  dragIn(on(300, 100), on(500, 300));
  keys("b");
  const QPoint withStrip = origin;
  origin = withoutStrip;
  dragIn(on(16, 120), on(16 + 160, 120 + 96));
  keys("t");
  origin = withStrip;
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
  EXPECT_EQ(px(140, 310), coral);  // the arrow's shaft, 5 wide, midway
  // The rectangle's 4-pixel outline runs inside its edge; its middle is the base.
  EXPECT_EQ(px(301, 200), coral);
  EXPECT_EQ(px(400, 200), QColor(base.pixel(400, H - 1 - 200)));
  // The blur is 16-pixel cells of one colour from the lower-left corner.
  for (int cy = 0; cy < 6; ++cy)
    for (int cx = 0; cx < 10; ++cx)
      for (QPoint d : {QPoint(15, 0), QPoint(0, 15), QPoint(15, 15), QPoint(7, 9)})
        ASSERT_EQ(px(16 + cx * 16 + d.x(), 120 + cy * 16 + d.y()), px(16 + cx * 16, 120 + cy * 16)) << cx << "," << cy;
  int changed = 0;  // the typed text, right of the click
  for (int x = 320; x < 380; ++x) changed += px(x, 44) != QColor(base.pixel(x, H - 1 - 44));
  EXPECT_GT(changed, 30);
  EXPECT_EQ(QImage(dataDir + "/thumbnails/" + id + ".png").size(), QSize(320, 213));

  // Ctrl+Shift+S reaches the focused editor, not the record shortcut.
  keys("ctrl+shift+s");
  ASSERT_TRUE(waitFor([&] { return log().contains("as new capture"); })) << log().toStdString();
  EXPECT_EQ(count("Nimbo: recordToFile fired"), 0) << log().toStdString();
  auto items = history();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_NE(items[0].id, id);
  EXPECT_EQ(items[1].id, id);
  EXPECT_EQ(QSize(items[0].width, items[0].height), QSize(W, H));
  EXPECT_EQ(QImage(dataDir + "/originals/" + items[0].id + ".png").convertToFormat(QImage::Format_RGB32), saved);
  EXPECT_EQ(bytes(dataDir + "/originals/" + id + ".png"), savedBytes);

  // One more arrow, then close: "Discard" (the fourth button; Save is the default) leaves every file as it was.
  keys("a");
  dragIn(on(400, 380), on(560, 340));
  QTest::qWait(100);
  const QString prompt = askToClose(win);
  ASSERT_FALSE(prompt.isEmpty());
  xdotool({"windowactivate", "--sync", prompt});
  for (int i = 0; i < 3; ++i) keys("Tab");
  keys("space");
  ASSERT_TRUE(waitFor([&] { return visibleWindow("Nimbo — Edit").isEmpty(); })) << "the editor stayed open";
  QTest::qWait(300);
  EXPECT_EQ(bytes(dataDir + "/originals/" + id + ".png"), savedBytes);
  EXPECT_EQ(history().size(), 2u);
  EXPECT_EQ(count("Editor: saved over " + id), 1);

  const ProcResult unknown = cli({"edit", "NOT-AN-ID"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_TRUE(unknown.err.contains("no capture NOT-AN-ID in the history")) << unknown.err.toStdString();
}

// A termination signal (logout, `kill`) ends the app even while the save prompt is up; the file stays.
TEST_F(Editor, ATermSignalEndsTheAppWhileTheSavePromptIsUp) {
  const QImage base = patternImage(QRect(300, 200, W, H));
  const QString id = seed(base);
  const QByteArray before = bytes(dataDir + "/originals/" + id + ".png");
  const QByteArray win = openEditor(base);
  ASSERT_FALSE(win.isEmpty());
  dragIn(on(100, 300), on(300, 200));
  ASSERT_TRUE(waitFor([&] { return !locate(screen(), base); })) << "the arrow was not drawn";
  ASSERT_FALSE(askToClose(win).isEmpty());
  app->terminate();
  ASSERT_TRUE(app->waitForFinished(5000)) << "still running 5 s after SIGTERM\n" << log().toStdString();
  EXPECT_EQ(app->exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(app->exitCode(), 0) << log().toStdString();
  app.reset();
  EXPECT_EQ(bytes(dataDir + "/originals/" + id + ".png"), before);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
