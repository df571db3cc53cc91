#pragma once
// One interface per operating-system service, with its value types and
// neutral error codes. The product logic reaches the system only through
// `platform()`, which start-up fills with the Linux implementations (or, with
// NIMBO_PLATFORM=fake, the in-memory ones) and unit tests fill with fakes.
// Nothing here knows the product: no product header, no user-facing text.
#include <QImage>
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QRegion>
#include <QSize>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "platform/media_types.h"
#include "util/result.h"

class QMimeData;
class QUrl;

namespace nimbo {

// What went wrong in a platform service. Its errors carry this domain and
// one of these codes; their description is a detail for the log, never a
// text for the user: the product puts the code in words.
enum class PlatformErrorCode { failed = 1, noDevice, deviceUnavailable, windowGone, noDisplay, permissionDenied };
inline constexpr char kPlatformErrorDomain[] = "Nimbo.Platform";
inline Error platformError(PlatformErrorCode code, QString detail = {}) {
  return Error{std::move(detail), QString::fromLatin1(kPlatformErrorDomain), int(code)};
}
inline bool isPlatformError(const Error& e, PlatformErrorCode code) {
  return e.domain == QLatin1String(kPlatformErrorDomain) && e.code == int(code);
}

// A screen as the capture logic sees it. `frame` is in global points with the
// origin at the bottom-left of the primary screen and y growing upwards.
struct ScreenInfo {
  quintptr key = 0;                   // identity of the screen object
  QString name;                       // what the user calls it
  QRectF frame;
  qreal scale = 1.0;                  // device pixels per point
  std::optional<quint32> displayId;   // the capture service's display number
  bool operator==(const ScreenInfo&) const = default;
};

class Screens {
 public:
  virtual ~Screens() = default;
  virtual std::vector<ScreenInfo> list() = 0;  // platform order
  virtual std::optional<ScreenInfo> main() = 0;
  virtual QPointF cursorPosition() = 0;        // global points, y up
};

struct CapturableDisplay {
  quint32 displayID = 0;
  QRect pixelRect;  // device pixels on the capture surface
};
struct CapturableWindow {
  quint32 windowID = 0;
};
struct ShareableContent {
  std::vector<CapturableDisplay> displays;
  std::vector<CapturableWindow> windows;
};

// Thread-safe: the capture logic calls it from several pool threads at once.
class ScreenCaptureService {
 public:
  static constexpr int kUserDeclined = -3801;
  virtual ~ScreenCaptureService() = default;
  virtual bool preflightAccess() = 0;
  virtual Result<ShareableContent> shareableContent() = 0;
  // A still of one display at `pixelSize`, without the pointer and without
  // the listed windows. An error whose code is kUserDeclined means the user
  // refused screen capture.
  virtual Result<QImage> captureDisplay(const CapturableDisplay& display, QSize pixelSize,
                                        const std::vector<quint32>& excludedWindows) = 0;
};

class Clipboard {
 public:
  virtual ~Clipboard() = default;
  // Replaces the clipboard contents; takes ownership.
  virtual void setMimeData(QMimeData* data) = 0;
};

class SoundPlayer {
 public:
  virtual ~SoundPlayer() = default;
  // A freedesktop sound-theme event id; a missing sound is skipped silently.
  virtual void play(const QString& eventId) = 0;
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  virtual std::optional<quint64> frontmostWindow() = 0;
  // Whether the window belongs to this process.
  virtual bool isOwnWindow(quint64 window) = 0;
  virtual bool windowExists(quint64 window) = 0;
  virtual void activate(quint64 window) = 0;
  virtual void openUrl(const QUrl& url) = 0;
  virtual void openScreenCapturePrivacySettings() = 0;
  // The desktop's settings page for the microphone or the camera, where it
  // has one.
  virtual void openDeviceSettings(bool camera) = 0;
  // Shows the file selected in the file manager (else opens its folder).
  virtual void revealFile(const QString& path) = 0;
  // Shows or hides a mapped top-level window's taskbar entry.
  virtual void setTaskbarPresence(quint64 window, bool shown) = 0;
  // Whether a compositing manager blends translucent windows over the
  // desktop; without one they show black where they are clear.
  virtual bool compositingActive() = 0;
};

struct VideoInfo {
  double durationSeconds = 0;
  int width = 0;
  int height = 0;
};

class MediaReader {
 public:
  virtual ~MediaReader() = default;
  virtual std::optional<VideoInfo> probe(const QString& path) = 0;
  virtual std::optional<QImage> frameAt(const QString& path, double seconds) = 0;
};

// The per-user secret store (the keyring): one generic secret per service
// and account.
class SecretStore {
 public:
  enum class Status { ok, notFound, failed };
  virtual ~SecretStore() = default;
  virtual std::optional<QByteArray> read(const QString& service, const QString& account) = 0;
  virtual Status update(const QString& service, const QString& account, const QByteArray& value) = 0;
  virtual Status add(const QString& service, const QString& account, const QByteArray& value) = 0;
};

// One frame of a recording stream: B G R X pixels, valid only during the
// callback; the time is the monotonic clock's, in nanoseconds.
struct ScreenFrame {
  const uint8_t* pixels = nullptr;
  int width = 0, height = 0, stride = 0;
  int64_t ptsNs = 0;
  // Where, in the frame's pixels, it may differ from the frame the stream
  // gave before it; null when anywhere.
  const QRegion* changed = nullptr;
};

struct StreamRequest {
  std::optional<quint32> displayID;  // a display (with `source` inside it) …
  QRect source;                      // display pixels; empty: the whole display
  std::optional<quint32> windowID;   // … or one window, whole even when covered
  double frameInterval = 1.0 / 60;   // seconds
  bool showsCursor = true;
  bool operator==(const StreamRequest&) const = default;
};

// A running stream; it stops when destroyed.
class ScreenStream {
 public:
  virtual ~ScreenStream() = default;
  virtual int framesIdle() const = 0;    // nothing changed: not delivered
  virtual int framesMissed() const = 0;  // ticks lost because capturing fell behind
  // Windows of ours (the recording pill, the countdown) that must not be in
  // the picture: where they are, what lies under them is recorded. A window
  // named before it is shown is left out best. Any thread.
  virtual void setHiddenWindows(std::vector<quint32> windowIDs) = 0;
  // Frames from now on at most every `seconds` (a recording that cannot
  // keep the rate it started with). Any thread.
  virtual void setFrameInterval(double seconds) = 0;
};

class ScreenStreamService {
 public:
  virtual ~ScreenStreamService() = default;
  // A readied stream starts with the last picture it had only when that
  // came in this time before the start; the countdown leaves the screen
  // this long before the start, so such a picture shows the screen without
  // it. An older one waits for the display server's next.
  static constexpr int kFreshMs = 150;
  // What a stream needs before its first frame, made ahead while a
  // countdown runs. Let go of unused, it is undone.
  class Readied {
   public:
    virtual ~Readied() = default;
  };
  // Where the desktop may ask the user what to share when `request` starts
  // (a monitor, on Wayland), shares it now, before the countdown, and keeps
  // the session for it; `done` runs once, on the main thread, with why not
  // when the user declined or it failed. Main thread.
  virtual void chooseAhead(const StreamRequest& request, std::function<void(std::optional<Error>)> done) {
    (void)request;
    done(std::nullopt);
  }
  // Readies a stream for `request`, taking as long as that takes (a worker
  // thread's job). Nothing where there is nothing worth doing ahead, or
  // when it failed (start() says why).
  virtual std::unique_ptr<Readied> ready(const StreamRequest& request) {
    (void)request;
    return nullptr;
  }
  // Frames arrive on the stream's own thread. A frame in which nothing
  // changed is not delivered, except about once a second. `readied` is used
  // when it was made for the same request and still fits.
  virtual Result<std::unique_ptr<ScreenStream>> start(const StreamRequest& request,
                                                      std::function<void(const ScreenFrame&)> onFrame,
                                                      std::unique_ptr<Readied> readied) = 0;
  // A display's rectangle in screen pixels.
  virtual std::optional<QRect> displayPixels(quint32 displayID) = 0;
  // A window's size in pixels; nothing when it is gone.
  virtual std::optional<QSize> windowPixels(quint32 windowID) = 0;
  // Other applications' ordinary windows that are shown on the current
  // desktop and at least 60 x 60, front to back: id, title, application,
  // and the frame in screen pixels (top-left origin).
  // The icon is the window's own (_NET_WM_ICON), the one nearest 16 x 16.
  struct WindowInfo {
    quint32 id = 0;
    QString title, application;
    QRect frame;
    QImage icon;
  };
  virtual std::vector<WindowInfo> windows() = 0;
  // Where no client may list windows (Wayland), the desktop's own chooser
  // picks the window to record. `done` gets an id for windowPixels() and
  // start(), with the window's title when the desktop tells it, or nothing
  // when the user cancelled. Main thread.
  struct ChosenWindow {
    quint32 id = 0;
    QString title;
  };
  virtual bool desktopChoosesWindows() const { return false; }
  virtual void chooseWindow(std::function<void(std::optional<ChosenWindow>)> done) { done(std::nullopt); }
};

enum class AudioSource { system, microphone };

class AudioStream {
 public:
  virtual ~AudioStream() = default;  // stops the capture
};

struct AudioDevice {
  QString id;    // stable unique identifier
  QString name;  // what the user sees
};

class AudioCaptureService {
 public:
  virtual ~AudioCaptureService() = default;
  // Microphones in the system's order, and which is the default.
  virtual std::vector<AudioDevice> microphones() = 0;
  virtual std::optional<AudioDevice> defaultMicrophone() = 0;
  // The system's sound output, or a microphone by id (the default when the
  // id is empty or names no device). Chunks arrive on the stream's thread.
  virtual Result<std::unique_ptr<AudioStream>> start(AudioSource source, const QString& deviceID,
                                                     std::function<void(const AudioChunk&)> onChunk) = 0;
};

// A camera that keeps only its newest frame, read on a thread of its own.
class Camera {
 public:
  virtual ~Camera() = default;
  // noDevice when there is none, permissionDenied when the user may not
  // open it, deviceUnavailable when it would not start. Starting a running
  // camera does nothing.
  virtual Result<bool> start() = 0;
  // Never waits long on a device that stopped delivering.
  virtual void stop() = 0;
  virtual bool isRunning() const = 0;
  // The newest frame (RGB32); null before the first one.
  virtual QImage latestFrame() const = 0;
};

class CameraService {
 public:
  virtual ~CameraService() = default;
  // The system's default camera (not yet started).
  virtual std::unique_ptr<Camera> defaultCamera() = 0;
  // Whether the default camera may be used: there is none (restricted), the
  // user may not open it (denied, with the group that would let them in), or
  // it is there to try (authorized).
  enum class Access { restricted, denied, authorized };
  struct AccessInfo {
    Access access = Access::restricted;
    QString group;  // for denied: the group the device belongs to ("video")
  };
  virtual AccessInfo access() = 0;
};

// Global shortcuts the desktop keeps for us, where no client may grab keys
// itself (the GlobalShortcuts portal on Wayland). Main thread only.
class SystemShortcuts {
 public:
  struct Binding {
    QString id;                // stable across runs: the desktop remembers the user's keys by it
    QString description;       // shown in the desktop's shortcut settings
    QString preferredTrigger;  // XKB names: "CTRL+SHIFT+r", "SHIFT+LOGO+u", "CTRL+grave"; empty: none
  };
  virtual ~SystemShortcuts() = default;
  // Offers the whole set, replacing what was offered before; `done` gets the
  // ids the desktop bound, or why it bound none.
  virtual void bind(std::vector<Binding> bindings, std::function<void(Result<std::vector<QString>>)> done) = 0;
  // Runs when the user presses a bound shortcut.
  std::function<void(const QString& id)> activated;
};

// Notifications on the desktop's notification server, each with a default
// action (a click on it). Main thread only.
class UserNotifications {
 public:
  virtual ~UserNotifications() = default;
  // Whether notifications can be shown at all (a notification server
  // answers); `answer` runs later, on the main thread.
  virtual void requestAuthorization(std::function<void(bool granted)> answer) = 0;
  // Shows a notification at once; one posted earlier with the same
  // `identifier` is replaced.
  virtual void post(const QString& identifier, const QString& title, const QString& body) = 0;
  // Runs when the user clicks a notification of ours, with its identifier.
  std::function<void(const QString& identifier)> activated;
};

struct Platform {
  std::unique_ptr<Screens> screens;
  std::unique_ptr<ScreenCaptureService> screenCapture;
  std::unique_ptr<Clipboard> clipboard;
  std::unique_ptr<SoundPlayer> sound;
  std::unique_ptr<Workspace> workspace;
  std::unique_ptr<MediaReader> media;
  std::unique_ptr<SecretStore> secrets;
  std::unique_ptr<ScreenStreamService> screenStreams;
  std::unique_ptr<AudioCaptureService> audioCapture;
  std::unique_ptr<CameraService> cameras;
  std::unique_ptr<SystemShortcuts> systemShortcuts;  // none where keys are grabbed directly (X11)
  std::unique_ptr<UserNotifications> notifications;
};

Platform& platform();
// Installs a new registry and returns the previous one.
std::unique_ptr<Platform> installPlatform(std::unique_ptr<Platform> p);

}  // namespace nimbo
