#pragma once
// What the desktop tests share: tools, xdotool, the app as a child process.
#include <gtest/gtest.h>

#include <QColor>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "capture/capture_item.h"

namespace nimbo::desktoptest {

inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeoutMs) return false;
    QTest::qWait(25);
  }
  return true;
}

struct ProcResult {
  int exitCode = -1;
  QByteArray out, err;
};

inline ProcResult run(const QString& program, const QStringList& args, const QProcessEnvironment& env = {},
                      const QByteArray& input = {}) {
  QProcess p;
  if (!env.isEmpty()) p.setProcessEnvironment(env);
  p.start(program, args);
  if (!input.isEmpty()) {
    p.write(input);
    p.closeWriteChannel();
  }
  waitFor([&] { return p.state() == QProcess::NotRunning; }, 30000);
  if (p.state() != QProcess::NotRunning) p.kill(), p.waitForFinished();
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
          p.readAllStandardError()};
}

inline void xdotool(const QStringList& args) {
  ASSERT_EQ(run("xdotool", args).exitCode, 0) << args.join(' ').toStdString();
}

// The newest visible window whose title matches, or empty.
inline QString visibleWindow(const QString& titlePattern) {
  const QByteArray out = run("xdotool", {"search", "--onlyvisible", "--name", titlePattern}).out.trimmed();
  return out.isEmpty() ? QString() : QString::fromLatin1(out.split('\n').last());
}

// The app's folders under `home`, the welcome agreed, no share server, plus `extraSettings`.
inline QProcessEnvironment privateAppEnvironment(const QTemporaryDir& home, const QByteArray& extraSettings = {}) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_DATA_HOME", home.filePath("data"));
  env.insert("XDG_CONFIG_HOME", home.filePath("config"));
  env.insert("TMPDIR", home.filePath("tmp"));
  QDir().mkpath(home.filePath("tmp"));
  const QString settings = home.filePath("config/com.vantori.screenshot/settings.ini");
  QDir().mkpath(QFileInfo(settings).path());
  QFile f(settings);
  EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("[General]\nnimbo.welcomeAgreedAt=2026-01-01T00:00:00Z\nuploadEndpoint=\n" + extraSettings);
  return env;
}

inline void clickAt(QPoint at) {
  xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
}

inline QRect windowRect(const QString& window) {
  const QString g = QString::fromUtf8(run("xdotool", {"getwindowgeometry", "--shell", window}).out);
  auto value = [&](const char* key) {
    const QRegularExpression re(QStringLiteral("^%1=(-?\\d+)$").arg(key), QRegularExpression::MultilineOption);
    return re.match(g).captured(1).toInt();
  };
  return QRect(value("X"), value("Y"), value("WIDTH"), value("HEIGHT"));
}

// A visible alert or prompt titled just "Nimbo" (not the tray icon's window).
inline QString nimboDialog() {
  for (const QByteArray& w : run("xdotool", {"search", "--onlyvisible", "--name", "^Nimbo$"}).out.split('\n'))
    if (!w.isEmpty() && windowRect(QString::fromLatin1(w)).width() > 100) return QString::fromLatin1(w);
  return {};
}

// What a window manager's close button sends to `window` (a decimal id).
inline void askWindowToClose(const QString& window) {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  auto atom = [c](const char* name) {
    xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, strlen(name), name), nullptr);
    const xcb_atom_t a = r ? r->atom : 0;
    free(r);
    return a;
  };
  xcb_client_message_event_t ev{};
  ev.response_type = XCB_CLIENT_MESSAGE;
  ev.format = 32;
  ev.window = window.toUInt();
  ev.type = atom("WM_PROTOCOLS");
  ev.data.data32[0] = atom("WM_DELETE_WINDOW");
  ev.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(c, 0, ev.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&ev));
  // A round trip first: the server may drop what a departed client had queued.
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  xcb_disconnect(c);
}

// The centre of our icon in the tray host's panel, if it is there.
inline std::optional<QPoint> trayIcon() {
  const QString tree = QString::fromUtf8(run("xwininfo", {"-root", "-tree"}).out);
  const QRegularExpression icon(R"re("Nimbo": \("nimbo" "Nimbo"\)\s+(\d+)x(\d+)\S*\s+\+(-?\d+)\+(-?\d+))re");
  const QRegularExpressionMatch m = icon.match(tree);
  if (!m.hasMatch()) return std::nullopt;
  return QPoint(m.captured(3).toInt() + m.captured(1).toInt() / 2, m.captured(4).toInt() + m.captured(2).toInt() / 2);
}

// The box around every pixel of exactly `c` in `img` within `area`.
inline std::optional<QRect> boxOf(const QImage& img, QColor c, const QRect& area) {
  QRect box;
  const QRect within = area.intersected(img.rect());
  for (int y = within.top(); y <= within.bottom(); ++y)
    for (int x = within.left(); x <= within.right(); ++x)
      if (img.pixel(x, y) == c.rgb()) box |= QRect(x, y, 1, 1);
  return box.isEmpty() ? std::nullopt : std::optional<QRect>(box);
}

// What is on the X screen in `r`, through the app's own one-shot screenshot.
inline QImage screenRegion(const QRect& r, const QProcessEnvironment& env) {
  const QString region = QStringLiteral("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
  return QImage::fromData(run(NIMBO_BINARY, {"screenshot", "--region", region, "-o", "-"}, env).out)
      .convertToFormat(QImage::Format_RGB32);
}

// Where `img` shows whole in `shot`, found by its pixels.
inline std::optional<QPoint> locate(const QImage& shot, const QImage& img) {
  if (shot.isNull() || img.isNull()) return std::nullopt;
  const QImage s = shot.convertToFormat(QImage::Format_RGB32), i = img.convertToFormat(QImage::Format_RGB32);
  const QPoint corner(i.width() - 1, i.height() - 1), middle(i.width() / 2, i.height() / 3);
  for (int y = 0; y + i.height() <= s.height(); ++y)
    for (int x = 0; x + i.width() <= s.width(); ++x) {
      if (s.pixel(x, y) != i.pixel(0, 0)) continue;
      bool likely = true;
      for (QPoint p : {corner, middle, QPoint(1, 0), QPoint(0, 1)})
        likely = likely && s.pixel(x + p.x(), y + p.y()) == i.pixel(p);
      if (likely && s.copy(x, y, i.width(), i.height()) == i) return QPoint(x, y);
    }
  return std::nullopt;
}

// Clicks our tray icon; where the popover opened, empty when it did not.
inline QRect openPopoverFromTray(int timeoutMs = 10000) {
  QTest::qWait(300);  // a press just after a popup closed finds the pointer grabbed
  std::optional<QPoint> icon;
  EXPECT_TRUE(waitFor([&] { return (icon = trayIcon()).has_value(); }, timeoutMs)) << "no icon in the tray";
  if (!icon) return {};
  clickAt(*icon);
  QString window;
  EXPECT_TRUE(waitFor([&] { return !(window = visibleWindow("^Nimbo popover$")).isEmpty(); }, timeoutMs))
      << "no popover";
  QTest::qWait(300);  // painted
  return window.isEmpty() ? QRect() : windowRect(window);
}

// A point inside "Clear all" in a picture of the history: the outlined button at the header's right.
inline std::optional<QPoint> clearAllButton(const QImage& page) {
  for (int y = 0; y < page.height() / 3; ++y) {
    int length = 0;
    for (int x = page.width() - 1; x >= page.width() / 2; --x) {
      length = page.pixel(x, y) == QColor(71, 72, 76).rgb() ? length + 1 : 0;
      if (length == 40) return QPoint(x + 20, y + 10);
    }
  }
  return std::nullopt;
}

// Another X client holding a combination on the root window until it goes.
class KeyHolder {
 public:
  ~KeyHolder() { release(); }
  bool grab(uint32_t keysym, uint16_t modifiers) {
    conn_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(conn_)) return false;
    const xcb_setup_t* setup = xcb_get_setup(conn_);
    const xcb_window_t root = xcb_setup_roots_iterator(setup).data->root;
    xcb_get_keyboard_mapping_reply_t* map = xcb_get_keyboard_mapping_reply(
        conn_, xcb_get_keyboard_mapping(conn_, setup->min_keycode, setup->max_keycode - setup->min_keycode + 1),
        nullptr);
    if (!map) return false;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map);
    xcb_keycode_t code = 0;
    for (int k = 0; k <= setup->max_keycode - setup->min_keycode && !code; ++k)
      if (syms[k * map->keysyms_per_keycode] == keysym) code = xcb_keycode_t(setup->min_keycode + k);
    free(map);
    if (!code) return false;
    xcb_generic_error_t* e = xcb_request_check(
        conn_, xcb_grab_key_checked(conn_, 1, root, modifiers, code, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    free(e);
    return e == nullptr;
  }
  void release() {
    if (conn_) xcb_disconnect(conn_);
    conn_ = nullptr;
  }

 private:
  xcb_connection_t* conn_ = nullptr;
};

// The app as a child process in a home of its own; its output gathers in log().
class AppTest : public ::testing::Test {
 protected:
  void TearDown() override { stopApp(); }

  // Starts the app and waits until its shortcuts are registered.
  void startApp() {
    app = std::make_unique<QProcess>();
    app->setProcessEnvironment(env);
    app->setProcessChannelMode(QProcess::MergedChannels);
    app->start(NIMBO_BINARY, {});
    ASSERT_TRUE(app->waitForStarted());
    ASSERT_TRUE(waitFor([&] { return log().contains("Nimbo: Hotkeys registered"); })) << log().toStdString();
  }
  void stopApp() {
    if (!app) return;
    app->terminate();
    if (!app->waitForFinished(3000)) app->kill(), app->waitForFinished();
    app.reset();
  }
  QString log() {
    if (app) logText += QString::fromUtf8(app->readAll());
    return logText;
  }
  int count(const QString& line) { return int(log().split('\n').count(line)); }
  ProcResult cli(const QStringList& args) { return run(NIMBO_BINARY, args, env); }

  // The region overlay, one window on each monitor.
  static bool overlayShown() {
    return run("xdotool", {"search", "--onlyvisible", "--name", "Nimbo selection"}).out.count('\n') == 2;
  }
  // Asks for the overlay until it is up (a request while a capture is filed is ignored).
  void requestCapture(const QString& action = "capture-to-clipboard", int timeoutMs = 10000) {
    const QString ignoring = QStringLiteral("Screenshot: capture already in progress; ignoring hotkey");
    bool shown = false;
    for (int attempt = 0; attempt < 20 && !shown; ++attempt) {
      const int ignored = count(ignoring);
      ASSERT_EQ(cli({action}).exitCode, 0);
      waitFor([&] { return (shown = overlayShown()) || count(ignoring) > ignored; }, timeoutMs);
      if (!shown) QTest::qWait(100);
    }
    ASSERT_TRUE(shown) << "the overlay never covered both monitors\n" << log().toStdString();
    QTest::qWait(150);
  }

  // `keys` fire `action` for the `times`-th time; with `overlay`, the overlay comes and Escape takes it away.
  void expectFired(const QString& keys, const QString& action, int times, bool overlay = false) {
    xdotool(QStringList{"key", "--clearmodifiers"} + keys.split(' '));
    ASSERT_TRUE(waitFor([&] { return count("Nimbo: " + action + " fired") == times; }, 5000))
        << action.toStdString() << "\n" << log().toStdString();
    if (!overlay) return;
    ASSERT_TRUE(waitFor(overlayShown));
    const int cancelled = count("Screenshot: selection cancelled");
    xdotool({"key", "Escape"});
    ASSERT_TRUE(waitFor([&] { return count("Screenshot: selection cancelled") == cancelled + 1; }));
  }

  QString settingsText() {
    QFile f(settingsFile);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  }
  std::vector<nimbo::CaptureItem> history() {
    QFile f(dataDir + "/history.json");
    return f.open(QIODevice::ReadOnly) ? nimbo::decodeHistory(f.readAll()).value_or(std::vector<nimbo::CaptureItem>{})
                                       : std::vector<nimbo::CaptureItem>{};
  }

  QTemporaryDir home;
  QProcessEnvironment env;
  QString dataDir = home.filePath("data/com.vantori.screenshot");
  QString settingsFile = home.filePath("config/com.vantori.screenshot/settings.ini");
  std::unique_ptr<QProcess> app;
  QString logText;
};

}  // namespace nimbo::desktoptest
