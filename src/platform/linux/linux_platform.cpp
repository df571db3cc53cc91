#include "platform/linux/linux_platform.h"


#include "platform/linux/ffmpeg/ffmpeg_camera.h"
#include "platform/linux/ffmpeg/ffmpeg_video_reader.h"
#include "platform/linux/freedesktop/canberra_sound.h"
#include "platform/linux/freedesktop/desktop_notifications.h"
#include "platform/linux/freedesktop/secret_service_store.h"
#include "platform/linux/portal/portal_global_shortcuts.h"
#include "platform/linux/portal/portal_probe.h"
#include "platform/linux/qt_screens.h"
#include "platform/linux/wayland/wayland_platform.h"
#include "platform/linux/wayland/portal_screen_stream.h"
#include "platform/linux/x11/x11_grabber.h"
#include "platform/linux/x11/x11_screen_capture.h"
#include "platform/linux/x11/x11_screen_stream.h"
#include "platform/linux/pulse/pulse_audio.h"
#include "util/log.h"

namespace nimbo {

SessionKind chooseSession(QString* why) {
  const QByteArray forced = qgetenv("NIMBO_PLATFORM");
  if (forced == "x11") return SessionKind::x11;
  if (forced == "wayland") return SessionKind::wayland;
  if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) return SessionKind::x11;
  std::string reason;
  // Generous: a portal started on demand may take a while on a busy machine;
  // where none is installed the bus says so at once.
  if (PortalProbe::answers("org.freedesktop.portal.Screenshot", 25000, &reason)) return SessionKind::wayland;
  if (why) *why = QString::fromStdString(reason);
  return SessionKind::x11;
}

const char* qtPlatformFor(SessionKind kind) { return kind == SessionKind::wayland ? "wayland" : "xcb"; }

namespace {

// Services that are the same whatever draws the screen.
void addSessionIndependent(Platform& p) {
  p.clipboard = std::make_unique<QtClipboard>();
  p.sound = std::make_unique<CanberraSound>();
  p.media = std::make_unique<FfmpegVideoReader>();
  p.secrets = std::make_unique<SecretServiceStore>();
  p.audioCapture = std::make_unique<PulseAudioCapture>();
  p.cameras = std::make_unique<FfmpegCameraService>();
  p.notifications = std::make_unique<DesktopNotifications>(QStringLiteral("com.vantori.screenshot"));
}

std::unique_ptr<Platform> makeWaylandPlatform() {
  auto p = std::make_unique<Platform>();
  p->screens = std::make_unique<QtScreens>([](const QString& name) -> std::optional<quint32> {
    for (const OutputPlacement& o : currentOutputs())
      if (o.name == name) return o.displayID;
    return std::nullopt;
  });
  p->screenCapture = std::make_unique<PortalScreenCapture>();
  p->workspace = std::make_unique<WaylandWorkspace>();
  p->screenStreams = std::make_unique<PortalScreenStreams>();
  if (PortalGlobalShortcuts::available()) p->systemShortcuts = std::make_unique<PortalGlobalShortcuts>();
  addSessionIndependent(*p);
  return p;
}

}  // namespace

std::unique_ptr<Platform> makeLinuxPlatform(SessionKind kind, QString* error) {
  if (kind == SessionKind::wayland) return makeWaylandPlatform();
  std::string why;
  std::shared_ptr<x11::Grabber> x = x11::Grabber::open(nullptr, &why);
  if (!x) {
    if (error) *error = QString::fromStdString(why);
    return nullptr;
  }
  auto capture = std::make_unique<X11ScreenCapture>(x);
  X11ScreenCapture* cap = capture.get();
  auto p = std::make_unique<Platform>();
  p->screens = std::make_unique<QtScreens>([cap](const QString& name) { return cap->displayIdForName(name); });
  p->screenCapture = std::move(capture);
  p->workspace = std::make_unique<X11Workspace>(x);
  p->screenStreams = std::make_unique<X11ScreenStreams>(x);
  addSessionIndependent(*p);
  return p;
}

}  // namespace nimbo
