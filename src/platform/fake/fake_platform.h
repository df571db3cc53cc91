#pragma once
// In-memory stand-ins for every platform service, for unit tests.
#include <functional>
#include <QMimeData>
#include <QStringList>
#include <QUrl>

#include <atomic>
#include <deque>
#include <mutex>

#include "platform/platform.h"

namespace nimbo::fake {

class FakeScreens : public Screens {
 public:
  std::vector<ScreenInfo> screens;
  std::optional<quintptr> mainKey;
  QPointF cursor;
  std::vector<ScreenInfo> list() override { return screens; }
  std::optional<ScreenInfo> main() override;
  QPointF cursorPosition() override { return cursor; }
};

class FakeScreenCapture : public ScreenCaptureService {
 public:
  bool allowed = true;
  ShareableContent content;
  std::map<quint32, QImage> images;      // by display number
  std::set<quint32> failing;             // displays whose capture fails
  bool declined = false;                 // every capture reports a refusal
  std::atomic<int> contentQueries{0};
  std::atomic<int> captures{0};

  bool preflightAccess() override { return allowed; }
  Result<ShareableContent> shareableContent() override;
  Result<QImage> captureDisplay(const CapturableDisplay& display, QSize pixelSize,
                                const std::vector<quint32>& excludedWindows) override;
};

class FakeClipboard : public Clipboard {
 public:
  std::unique_ptr<QMimeData> data;
  int writes = 0;
  void setMimeData(QMimeData* d) override {
    data.reset(d);
    ++writes;
  }
};

class FakeSound : public SoundPlayer {
 public:
  std::mutex mutex;
  QStringList played;
  void play(const QString& id) override {
    std::lock_guard l(mutex);
    played << id;
  }
};

class FakeWorkspace : public Workspace {
 public:
  std::optional<quint64> frontmost;
  std::set<quint64> own, existing;
  std::vector<quint64> activated;
  std::vector<QUrl> opened;
  int privacySettingsOpened = 0;
  std::optional<quint64> frontmostWindow() override { return frontmost; }
  bool isOwnWindow(quint64 w) override { return own.count(w) > 0; }
  bool windowExists(quint64 w) override { return existing.count(w) > 0; }
  void activate(quint64 w) override { activated.push_back(w); }
  void openUrl(const QUrl& url) override { opened.push_back(url); }
  void openScreenCapturePrivacySettings() override { ++privacySettingsOpened; }
  std::vector<bool> deviceSettingsOpened;  // camera?
  void openDeviceSettings(bool camera) override { deviceSettingsOpened.push_back(camera); }
  QStringList revealed;
  void revealFile(const QString& path) override { revealed << path; }
  std::map<quint64, bool> taskbar;
  void setTaskbarPresence(quint64 w, bool shown) override { taskbar[w] = shown; }
  bool compositing = true;
  bool compositingActive() override { return compositing; }
};

class FakeMedia : public MediaReader {
 public:
  std::optional<VideoInfo> info;
  std::optional<QImage> frame;
  std::vector<double> requestedTimes;
  std::optional<VideoInfo> probe(const QString&) override { return info; }
  std::optional<QImage> frameAt(const QString&, double s) override {
    requestedTimes.push_back(s);
    return frame;
  }
};

class FakeNotifications : public UserNotifications {
 public:
  bool granted = true;
  struct Posted {
    QString identifier, title, body;
  };
  std::vector<Posted> posted;
  // Authorisation answers wait here until a test releases them, as the real
  // answer comes later than the request.
  std::vector<std::function<void(bool)>> pendingAnswers;
  bool answerAtOnce = true;
  void requestAuthorization(std::function<void(bool)> answer) override {
    if (answerAtOnce) answer(granted);
    else pendingAnswers.push_back(std::move(answer));
  }
  void post(const QString& identifier, const QString& title, const QString& body) override {
    posted.push_back({identifier, title, body});
  }
  void click(const QString& identifier) {
    if (activated) activated(identifier);
  }
};

class FakeSecretStore : public SecretStore {
 public:
  std::map<std::pair<QString, QString>, QByteArray> items;
  int updates = 0, adds = 0;
  std::optional<QByteArray> read(const QString& s, const QString& a) override {
    auto it = items.find({s, a});
    if (it == items.end()) return std::nullopt;
    return it->second;
  }
  Status update(const QString& s, const QString& a, const QByteArray& v) override {
    ++updates;
    auto it = items.find({s, a});
    if (it == items.end()) return Status::notFound;
    it->second = v;
    return Status::ok;
  }
  Status add(const QString& s, const QString& a, const QByteArray& v) override {
    ++adds;
    items[{s, a}] = v;
    return Status::ok;
  }
};

// Streams that deliver only what the test hands them.
class FakeScreenStreams : public ScreenStreamService {
 public:
  struct Stream : ScreenStream {
    FakeScreenStreams* owner;
    explicit Stream(FakeScreenStreams* o) : owner(o) {}
    ~Stream() override { owner->running = false; }
    int framesIdle() const override { return 0; }
    int framesMissed() const override { return 0; }
    void setHiddenWindows(std::vector<quint32> ids) override { owner->hidden = std::move(ids); }
    void setFrameInterval(double seconds) override { owner->intervals.push_back(seconds); }
  };
  std::vector<quint32> hidden;
  std::vector<double> intervals;  // rates asked for after the start
  std::vector<StreamRequest> requests;
  std::function<void(const ScreenFrame&)> onFrame;
  bool running = false;
  std::optional<PlatformErrorCode> failWith;
  std::map<quint32, QRect> displays;
  std::map<quint32, QSize> windowSizes;
  // Readied streams: how many are alive (the recorder lets go of them on a
  // worker thread), and the requests start() was handed one for.
  struct Readied : ScreenStreamService::Readied {
    FakeScreenStreams* owner;
    StreamRequest request;
    Readied(FakeScreenStreams* o, StreamRequest r) : owner(o), request(std::move(r)) { ++owner->readiedAlive; }
    ~Readied() override { --owner->readiedAlive; }
  };
  std::atomic<int> readiedAlive{0};
  std::vector<StreamRequest> startedReadied;
  // The desktop's question before the countdown: the requests asked about,
  // and the answer, held back until answerAhead() while `aheadWaits`.
  std::vector<StreamRequest> askedAhead;
  bool aheadWaits = false;
  std::optional<Error> aheadRefusal;
  std::function<void(std::optional<Error>)> aheadPending;
  void chooseAhead(const StreamRequest& r, std::function<void(std::optional<Error>)> done) override {
    askedAhead.push_back(r);
    if (aheadWaits) aheadPending = std::move(done);
    else done(aheadRefusal);
  }
  void answerAhead() {
    if (auto done = std::exchange(aheadPending, nullptr)) done(aheadRefusal);
  }
  std::unique_ptr<ScreenStreamService::Readied> ready(const StreamRequest& r) override {
    return std::make_unique<Readied>(this, r);
  }
  Result<std::unique_ptr<ScreenStream>> start(const StreamRequest& r, std::function<void(const ScreenFrame&)> f,
                                              std::unique_ptr<ScreenStreamService::Readied> readied) override {
    if (auto* made = dynamic_cast<Readied*>(readied.get())) startedReadied.push_back(made->request);
    requests.push_back(r);
    if (failWith) return platformError(*failWith, QStringLiteral("fake stream failure"));
    onFrame = std::move(f);
    running = true;
    return std::unique_ptr<ScreenStream>(new Stream(this));
  }
  std::optional<QRect> displayPixels(quint32 id) override {
    auto it = displays.find(id);
    return it == displays.end() ? std::nullopt : std::optional<QRect>(it->second);
  }
  std::vector<WindowInfo> windowList;
  std::vector<WindowInfo> windows() override { return windowList; }
  std::optional<QSize> windowPixels(quint32 id) override {
    auto it = windowSizes.find(id);
    return it == windowSizes.end() ? std::nullopt : std::optional<QSize>(it->second);
  }
  // Set: the desktop chooses windows, and answers with this (nothing: the
  // user cancelled).
  std::optional<std::optional<ChosenWindow>> desktopChoice;
  bool desktopChoosesWindows() const override { return desktopChoice.has_value(); }
  void chooseWindow(std::function<void(std::optional<ChosenWindow>)> done) override {
    done(desktopChoice.value_or(std::nullopt));
  }
};

class FakeAudioCapture : public AudioCaptureService {
 public:
  struct Stream : AudioStream {
    FakeAudioCapture* owner;
    AudioSource source;
    Stream(FakeAudioCapture* o, AudioSource s) : owner(o), source(s) {}
    ~Stream() override { owner->handlers.erase(source); }
  };
  std::vector<AudioDevice> mics;
  std::optional<AudioDevice> defaultMic;
  std::map<AudioSource, std::function<void(const AudioChunk&)>> handlers;
  std::vector<std::pair<AudioSource, QString>> started;
  std::set<AudioSource> failing;  // sources that exist but cannot be opened
  std::vector<AudioDevice> microphones() override { return mics; }
  std::optional<AudioDevice> defaultMicrophone() override { return defaultMic; }
  Result<std::unique_ptr<AudioStream>> start(AudioSource source, const QString& id,
                                             std::function<void(const AudioChunk&)> f) override {
    if (source == AudioSource::microphone && mics.empty())
      return platformError(PlatformErrorCode::noDevice);
    if (failing.count(source)) return platformError(PlatformErrorCode::deviceUnavailable);
    started.emplace_back(source, id);
    handlers[source] = std::move(f);
    return std::unique_ptr<AudioStream>(new Stream(this, source));
  }
};

// A camera whose frames the test sets.
class FakeCamera : public Camera {
 public:
  std::optional<PlatformErrorCode> failWith;
  bool running = false;
  QImage frame;
  Result<bool> start() override {
    if (failWith) return platformError(*failWith);
    running = true;
    return true;
  }
  void stop() override { running = false; }
  bool isRunning() const override { return running; }
  QImage latestFrame() const override { return frame; }
};

class FakeCameraService : public CameraService {
 public:
  std::optional<PlatformErrorCode> failWith;  // for the cameras made from now on
  QImage frame;
  AccessInfo accessInfo{Access::authorized, {}};
  AccessInfo access() override { return accessInfo; }
  int made = 0;
  std::unique_ptr<Camera> defaultCamera() override {
    ++made;
    auto c = std::make_unique<FakeCamera>();
    c->failWith = failWith;
    c->frame = frame;
    return c;
  }
};

// Remembers each offered set; the test answers for the desktop.
class FakeSystemShortcuts : public SystemShortcuts {
 public:
  std::vector<std::vector<Binding>> offers;
  std::function<void(Result<std::vector<QString>>)> pending;
  void bind(std::vector<Binding> bindings, std::function<void(Result<std::vector<QString>>)> done) override {
    offers.push_back(std::move(bindings));
    pending = std::move(done);
  }
  void answer(Result<std::vector<QString>> result) {
    auto done = std::move(pending);
    pending = nullptr;
    if (done) done(std::move(result));
  }
};

// A registry of fakes with typed access for assertions.
struct FakePlatform {
  FakeScreens* screens;
  FakeScreenCapture* capture;
  FakeClipboard* clipboard;
  FakeSound* sound;
  FakeWorkspace* workspace;
  FakeMedia* media;
  FakeSecretStore* secrets;
  FakeScreenStreams* streams;
  FakeAudioCapture* audio;
  FakeCameraService* cameras;
  FakeNotifications* notifications;
};
// Installs a fresh set of fakes as the platform and returns handles to them.
FakePlatform installFakes();
// The fakes made to look like a desktop, for running the app without one:
// Qt's screens with a made-up picture on each, one microphone.
FakePlatform installDemo();

}  // namespace nimbo::fake
