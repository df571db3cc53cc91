// Nimbo: keyboard-first screenshots from the tray.
#include <QApplication>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/one_shot.h"
#include "app/single_instance.h"
#include "app/tray_app.h"
#include "capture/capture_history.h"
#include "platform/linux/linux_platform.h"
#include "util/log.h"

namespace {

const char kUsage[] =
    "Usage: nimbo [ACTION]\n"
    "       nimbo screenshot [--screen NAME | --region X,Y,W,H] -o FILE.png\n"
    "\n"
    "Without an action, starts Nimbo in the tray (or brings the running one forward).\n"
    "\n"
    "Actions (sent to the running Nimbo, which is started when needed):\n"
    "  capture-to-clipboard   drag a region; the PNG goes to the clipboard\n"
    "  capture-and-upload     drag a region; it is uploaded and the link copied\n"
    "\n"
    "  screenshot             capture without the GUI: the whole X screen, one\n"
    "                         monitor (--screen DP-1) or a rectangle in pixels;\n"
    "                         -o - writes the PNG to standard output\n"
    "  --help, --version\n"
    "\n"
    "On Wayland sessions, bind these commands to keys in the desktop's keyboard\n"
    "settings, for example: nimbo capture-to-clipboard\n";

// SIGTERM (logout, systemd, kill) and SIGINT end the event loop normally, so
// the instance socket is removed and nothing is cut off mid-write.
int g_signalPipe[2] = {-1, -1};

void quitOnTerminationSignals() {
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
    char c;
    while (::read(g_signalPipe[0], &c, 1) > 0) {
    }
    QCoreApplication::quit();
  });
  struct sigaction sa {};
  sa.sa_handler = [](int) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &c, 1);
  };
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

bool hasDisplay() {
  const char* d = std::getenv("DISPLAY");
  return d && *d;
}

int noDisplay() {
  std::fprintf(stderr,
               "nimbo: no X display found (DISPLAY is not set).\n"
               "Nimbo runs inside an X11 desktop session (GNOME or KDE on Xorg). Start it from\n"
               "your desktop's application menu or a terminal in that session, or point it at\n"
               "a running X server, for example: DISPLAY=:0 nimbo\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace nimbo;
  const QString first = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
  if (first == "--help" || first == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (first == "--version") {
    std::printf("nimbo %s\n", NIMBO_VERSION);
    return 0;
  }
  if (first == "screenshot") return hasDisplay() ? runOneShot(argc, argv) : noDisplay();

  // `--then ACTION` is how a command-line action starts the instance it needs.
  const bool spawned = first == "--then";
  const QString action = spawned ? (argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString()) : first;
  if (!action.isEmpty() && !isKnownAction(action)) {
    std::fprintf(stderr, "nimbo: unknown action '%s'\n\n%s", argv[spawned ? 2 : 1], kUsage);
    return 2;
  }
  if (!hasDisplay()) return noDisplay();
  // Captures read the X server; on a Wayland session that means XWayland.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");

  if (!spawned) {
    QCoreApplication probe(argc, argv);
    if (SingleInstance::send(action.isEmpty() ? QStringLiteral("activate") : action, 1500)) return 0;
    if (!action.isEmpty()) {
      // No instance yet: start one that runs the action once it is up.
      // Its output goes nowhere: this process and whoever reads our pipes are
      // about to go away. Its log lines still reach the system log.
      QProcess instance;
      instance.setProgram(QCoreApplication::applicationFilePath());
      instance.setArguments({"--then", action});
      instance.setStandardOutputFile(QProcess::nullDevice());
      instance.setStandardErrorFile(QProcess::nullDevice());
      if (!instance.startDetached()) {
        std::fprintf(stderr, "nimbo: could not start the Nimbo instance\n");
        return 1;
      }
      return 0;
    }
  }

  // A closed log pipe must not take the app down with it.
  std::signal(SIGPIPE, SIG_IGN);
  QApplication app(argc, argv);
  quitOnTerminationSignals();
  QApplication::setApplicationName(QStringLiteral("Nimbo"));
  QApplication::setDesktopFileName(QStringLiteral("com.vantori.screenshot"));
  QApplication::setQuitOnLastWindowClosed(false);

  QString error;
  std::unique_ptr<Platform> real = makeLinuxPlatform(&error);
  if (!real) {
    std::fprintf(stderr, "nimbo: %s\n", qPrintable(error));
    return 2;
  }
  installPlatform(std::move(real));

  SingleInstance instance;
  if (!instance.listen()) {
    // Another instance won the race to start; hand it our action.
    if (!action.isEmpty()) SingleInstance::send(action);
    return 0;
  }
  logLine(QStringLiteral("Nimbo: started"));
  CaptureHistory::shared();
  TrayApp tray;
  QObject::connect(&instance, &SingleInstance::commandReceived, &tray, [&tray](const QString& c) {
    if (c == QLatin1String("activate")) return;  // nothing to bring forward yet
    if (!tray.dispatch(c)) logLine("Nimbo: unknown command " + c);
  });
  if (!action.isEmpty()) QTimer::singleShot(0, &tray, [&tray, action] { tray.dispatch(action); });
  const int rc = app.exec();
  installPlatform(nullptr);
  return rc;
}
