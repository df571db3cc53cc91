#pragma once
// What the desktop tests share: waiting with the event loop running, running
// a tool, and driving or finding windows through xdotool.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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
#include <optional>

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

// The app's own folders under `home` (data, settings, temporary files), the
// welcome already agreed and no share server, plus `extraSettings` lines.
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
    return QRegularExpression(QStringLiteral("^%1=(-?\\d+)$").arg(key), QRegularExpression::MultilineOption)
        .match(g)
        .captured(1)
        .toInt();
  };
  return QRect(value("X"), value("Y"), value("WIDTH"), value("HEIGHT"));
}

// A visible window of ours titled just "Nimbo" (an alert or a prompt), not
// the tray icon's, which bears the name too.
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
  // A round trip before hanging up: the server may drop what a client that
  // has gone away still had queued, and then nothing is asked to close.
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

}  // namespace nimbo::desktoptest
