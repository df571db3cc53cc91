// The tray application: everything that needs Qt, loaded by the launcher.
#include <QApplication>
#include <QFileInfo>
#include <QUrl>
#include <QLocalServer>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <cstdio>

#include "app/build_info.h"
#include "app/product_seams.h"
#include "app/single_instance.h"
#include "recording/recording_flow.h"
#include "recording/video_writer.h"
#include "shell/app_visibility.h"
#include "shell/hotkey_action.h"
#include "shell/hotkeys.h"
#include "shell/shortcut_commands_note.h"
#include "util/preferences.h"
#include "shell/welcome_window.h"
#include "sharing/bundled_server.h"
#include "sharing/device_token.h"
#include "sharing/share_api.h"
#include "sharing/update_controller.h"
#include "ui/window_buffers.h"
#include "x11_hot_key_backend.h"
#include "app/tray_app.h"
#include "capture/capture_history.h"
#include "platform/fake/fake_platform.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/x11/display_loss.h"
#include "util/emergency.h"
#include "util/instance_socket.h"
#include "util/log.h"
#include "util/paths.h"

namespace {

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
    // exit(), not quit(): quit() is a request that a window may turn down,
    // and the editor does while it asks whether to save. A termination
    // signal ends the app whatever is open, its prompt included.
    QCoreApplication::exit(0);
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

// The updater, told what this build is; its first check comes a moment
// after start-up.
void startUpdates() {
  using namespace nimbo;
  UpdaterConfig config;
  config.version = QString::fromUtf8(build_info::version());
  config.build = QString::fromUtf8(build_info::buildNumber());
  config.feedURL = QUrl(QString::fromUtf8(build_info::updateFeedURL()));
  config.publicKey = QByteArray::fromBase64(build_info::updatePublicKey());
  config.executable = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
  UpdateController::configure(std::move(config));
  UpdateController::shared().start();
}

// The start-up sequence, in its fixed order. On the in-memory platform
// there is no desktop to bind shortcuts in.
void startUp(bool fakePlatform) {
  using namespace nimbo;
  logLine(QStringLiteral("Nimbo: applicationDidFinishLaunching fired"));
  Preferences::registerDefaults();
  // X11 needs no screen-capture grant; nothing to request.
  std::string error;
  bool explainCommands = false;
  if (QGuiApplication::platformName() != QLatin1String("xcb")) {
    if (platform().systemShortcuts) {
      logLine(QStringLiteral("Nimbo: global shortcuts come from the desktop's GlobalShortcuts portal"));
    } else {
      logLine(QStringLiteral("Nimbo: no global shortcuts on this session"));
      explainCommands = !fakePlatform;
    }
  } else if (auto backend = hotkey::X11HotKeyBackend::create(&error)) {
    hotkey::HotKeysController::setBackend(std::move(backend));
  } else {
    logLine("Nimbo: global shortcuts unavailable: " + QString::fromStdString(error));
  }
  for (HotkeyAction action : kAllHotkeyActions) Hotkeys::registerAction(action);
  logLine(QStringLiteral("Nimbo: Hotkeys registered"));
  AppVisibility::applyDockVisibility();
  AppVisibility::applyLaunchAtLogin();
  startUpdates();
  DeviceRegistration::ensureTokenIfNeeded();
  // Links shared through the bundled server work again after a reboot as
  // soon as Nimbo runs, not only after the next upload.
  if (const auto endpoint = ShareApi::parseEndpoint(Preferences::stringValue(Preferences::kUploadEndpoint));
      endpoint && BundledServer::isDefaultEndpoint(*endpoint))
    BundledServer::ensure([](std::optional<int>) {});
  WelcomeAgreement::presentIfNeeded();
  if (explainCommands) ShortcutCommandsNote::presentIfNeeded();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int nimbo_app_main(int argc, char** argv,
                                                                     const char* actionName) {
  using namespace nimbo;
  const QString action = QString::fromUtf8(actionName ? actionName : "");
  // On a Wayland session with the desktop portal, Qt draws on Wayland and
  // the portals capture; otherwise everything goes through the X server
  // (XWayland on a Wayland desktop without the portal). On the in-memory
  // platform Qt picks its own.
  const bool fakePlatform = qEnvironmentVariable("NIMBO_PLATFORM") == QLatin1String("fake");
  QString x11Why;
  const SessionKind session = fakePlatform ? SessionKind::x11 : chooseSession(&x11Why);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !fakePlatform) qputenv("QT_QPA_PLATFORM", qtPlatformFor(session));
  // A closed log pipe must not take the app down with it.
  std::signal(SIGPIPE, SIG_IGN);
  // Pictures and video frames (a megabyte and more) get memory of their own
  // that goes back to the system when they are freed. Left to itself the
  // allocator raises this bar after the first screenshot is freed, and a
  // recording's frames then stay in the process as tens of idle megabytes.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  QApplication app(argc, argv);
  quitOnTerminationSignals();
  QApplication::setApplicationName(QStringLiteral("Nimbo"));
  QApplication::setApplicationVersion(QString::fromUtf8(build_info::version()));
  QApplication::setDesktopFileName(QStringLiteral("com.vantori.screenshot"));
  QApplication::setQuitOnLastWindowClosed(false);
  WindowBuffers::releaseWhenHidden();

  // NIMBO_PLATFORM=fake runs the real app on in-memory services: made-up
  // screens, a private clipboard, no devices. For work on windows without
  // an X server.
  if (!x11Why.isEmpty()) logLine("Nimbo: using X11 on this Wayland session: " + x11Why);
  if (fakePlatform) {
    fake::installDemo();
    logLine(QStringLiteral("Nimbo: running on the in-memory platform"));
  } else {
    QString error;
    std::unique_ptr<Platform> real = makeLinuxPlatform(session, &error);
    logLine(session == SessionKind::wayland ? QStringLiteral("Nimbo: running on Wayland through the desktop portals")
                                            : QStringLiteral("Nimbo: running on X11"));
    if (!real) {
      std::fprintf(stderr, "nimbo: %s\n", qPrintable(error));
      return 2;
    }
    installPlatform(std::move(real));
  }
  installSeams(makeProductSeams());
  // Logging out takes the X server away under us. Qt and Xlib would then
  // call exit() with our threads still running; end on our own terms
  // instead, after finishing what must not be cut off.
  watchForDisplayLoss([] {
    logLine(QStringLiteral("Nimbo: the display went away; quitting"));
    Emergency::runAll();
    ::_exit(1);
  });
  // The recording self-test runs on its own, beside any running instance.
  if (RecordSmokeTest::runIfRequested()) return app.exec();

  std::unique_ptr<TrayApp> tray;
  SingleInstance instance([&tray](const QString& command) {
    return tray ? tray->run(command) : QStringLiteral("still starting");
  });
  if (!instance.listen()) {
    // Another instance won the race to start; hand it our action.
    if (!action.isEmpty()) instance_socket::send(action.toStdString(), 3000);
    return 0;
  }
  Emergency::add([] { QLocalServer::removeServer(SingleInstance::socketPath()); });
  CaptureHistory::shared();
  // What a recording killed in its first second left: nothing to play.
  removeAbandonedRecordings(paths::appSupportDir() + QStringLiteral("/recordings"));
  tray = std::make_unique<TrayApp>();
  startUp(fakePlatform);
  if (!action.isEmpty()) QTimer::singleShot(0, tray.get(), [&tray, action] {
    const QString error = tray->run(action);
    if (!error.isEmpty()) logLine("Nimbo: " + error);
  });
  const int rc = app.exec();
  RecordingFlow::shutDown();
  tray.reset();
  Hotkeys::unregisterAllForTesting();
  hotkey::HotKeysController::setBackend(nullptr);
  installSeams(nullptr);
  installPlatform(nullptr);
  return rc;
}
