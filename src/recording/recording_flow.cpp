#include "recording/recording_flow.h"

#include <QCoreApplication>
#include <QFuture>
#include <QGuiApplication>
#include <QScreen>
#include <QUrl>
#include <QWidget>
#include <QtConcurrent/QtConcurrentRun>

#include <memory>

#include "capture/capture_history.h"
#include "capture/pasteboard.h"
#include "capture/thumbnail_maker.h"
#include "core/seams.h"
#include "platform/platform.h"
#include "recording/camera_preview.h"
#include "recording/recorder_panel.h"
#include "recording/recording_indicators.h"
#include "recording/recording_state.h"
#include "recording/screen_recorder.h"
#include "ui/upload_toast.h"
#include "util/log.h"
#include "util/preferences.h"

namespace nimbo::RecordingFlow {
namespace {

struct State {
  // Declared first, so it goes last: the recorder may hold a pointer to it.
  std::unique_ptr<Camera> sharedCamera;
  std::unique_ptr<ScreenRecorder> recorder;
  bool isBusy = false;
  // The desktop's own dialog is asking what to share, before the countdown.
  bool choosing = false;
  RecorderConfig activeConfig;
};

State& state() {
  static State s;
  return s;
}

void failureToast(const QString& message) { UploadToast::show(message, false); }

// The screen under the pointer, else the main one, else the first.
std::optional<ScreenInfo> screenUnderPointer() {
  const std::vector<ScreenInfo> screens = platform().screens->list();
  const QPointF p = platform().screens->cursorPosition();
  for (const ScreenInfo& s : screens)
    if (p.x() >= s.frame.left() && p.x() < s.frame.right() && p.y() >= s.frame.top() && p.y() < s.frame.bottom())
      return s;
  if (auto main = platform().screens->main()) return main;
  if (!screens.empty()) return screens.front();
  return std::nullopt;
}

// The Qt screen a ScreenInfo stands for, for placing our windows.
QScreen* qscreenFor(const std::optional<ScreenInfo>& s) {
  if (s)
    for (QScreen* q : QGuiApplication::screens())
      if (reinterpret_cast<quintptr>(q) == s->key) return q;
  return QGuiApplication::primaryScreen();
}

void showPermissionDialog() {
  if (seams().dialogs->screenCapturePermissionAlert()) platform().workspace->openScreenCapturePrivacySettings();
}
void showMicrophoneDialog() {
  if (seams().dialogs->microphoneAccessAlert()) platform().workspace->openDeviceSettings(false);
}
void showCameraDialog(const QString& group) {
  if (seams().dialogs->cameraAccessAlert(group)) platform().workspace->openDeviceSettings(true);
}

// On Linux nothing asks for the microphone: it is there when the sound
// server has a source.
bool microphoneAuthorized() { return !platform().audioCapture->microphones().empty(); }

void startCameraPreview() {
  State& st = state();
  std::unique_ptr<Camera> camera = st.sharedCamera ? std::move(st.sharedCamera) : platform().cameras->defaultCamera();
  const Result<bool> started = camera->start();
  if (!started.ok()) {
    failureToast(RecordingError::fromPlatform(started.error(), RecordingError::Source::camera).description);
    return;
  }
  st.sharedCamera = std::move(camera);
  CameraPreviewBubble::show(st.sharedCamera.get(), qscreenFor(screenUnderPointer()));
}

void uploadAndCopy(const QString& path, const std::optional<QString>& historyID) {
  UploadToast::show(QStringLiteral("Uploading recording…"), true);
  seams().uploader->uploadVideo(path, [path, historyID](Result<QString> r) {
    if (!r.ok()) {
      logLine("Nimbo: recording upload failed: " + r.error().description);
      UploadToast::show(r.error().description, false, QStringLiteral("Show in Folder"),
                        [path] { platform().workspace->revealFile(path); });
      return;
    }
    const QString link = r.value();
    Pasteboard::writeVideoAndURL(path, link);
    Preferences::setValue(Preferences::kLastShareURL, link);
    if (historyID) CaptureHistory::shared().updateShareURL(*historyID, link);
    UploadToast::show("Copied: " + link, true, QStringLiteral("Open"), [link] {
      const QUrl url(link);
      if (url.isValid()) platform().workspace->openUrl(url);
    });
  });
}

void finished(const QString& path, RecordingDestination destination, std::function<void()> done) {
  if (Preferences::boolValue(Preferences::kSoundOnCapture, true)) platform().sound->play(QStringLiteral("screen-capture"));
  // The poster is read from the file off the main thread.
  QtConcurrent::run([path] { return ThumbnailMaker::videoPoster(path); })
      .then(qApp, [path, destination, done](std::optional<VideoPoster> poster) {
        std::optional<QString> historyID;
        if (poster) {
          CaptureItem item = CaptureItem::newImage(poster->width, poster->height);
          item.mediaType = MediaType::video;
          item.durationMS = poster->durationMS;
          item.videoPath = path;
          CaptureHistory::shared().add(item, std::nullopt, poster->png);
          historyID = item.id;
        }
        if (destination == RecordingDestination::shareLink) {
          uploadAndCopy(path, historyID);
        } else {
          Pasteboard::writeVideoAndURL(path, std::nullopt);
          UploadToast::show(QStringLiteral("Recording saved — video on your clipboard"), true,
                            QStringLiteral("Show in Folder"), [path] { platform().workspace->revealFile(path); });
        }
        done();
      });
}

void stopRecording(std::function<void()> done) {
  RecordingPill::hide();
  // The ending is decided now: a next recording may be set up meanwhile.
  const RecordingDestination destination = state().activeConfig.destination;
  // The recorder lets go of the camera before the camera goes.
  recorder().stop([done, destination](std::optional<QString> path) {
    RecordingState::shared().end();
    if (!path) {
      failureToast(QStringLiteral("Recording didn't save — nothing was captured."));
      return done();
    }
    finished(*path, destination, done);
  });
  stopCameraPreview();
}

void startRecording(const RecorderConfig& config, const ScreenInfo& screen) {
  State& st = state();
  if (st.isBusy || recorder().isRecording()) {
    recorder().discardPrepared();
    return stopCameraPreview();
  }
  st.isBusy = true;
  const Result<QString> started = recorder().start(screen, config, config.camera ? st.sharedCamera.get() : nullptr);
  st.isBusy = false;
  if (!started.ok()) {
    logLine("Nimbo: recording failed to start: " + started.error().description);
    failureToast(started.error().description);
    // Nobody would be left to turn the camera off.
    stopCameraPreview();
    return;
  }
  logLine("Nimbo: recorder running, writing " + started.value());
  RecordingState::shared().begin();
  // Our own windows stay out of the picture: the pill (named before it is
  // shown, so what it covers is known), a toast still up, the live bubble.
  std::vector<quint32> ours;
  if (UploadToast* toast = UploadToast::current(); toast && toast->panel()) ours.push_back(quint32(toast->panel()->winId()));
  if (QWidget* bubble = CameraPreviewBubble::panel()) ours.push_back(quint32(bubble->winId()));
  RecordingPill::show(qscreenFor(screen), [ours](quint64 pill) mutable {
    ours.push_back(quint32(pill));
    recorder().hideWindows(ours);
  });
}

}  // namespace

ScreenRecorder& recorder() {
  State& st = state();
  if (!st.recorder) {
    st.recorder = std::make_unique<ScreenRecorder>();
    st.recorder->onAudioLevel = [](float level) { RecordingState::reportAudioLevel(level); };
  }
  return *st.recorder;
}

const RecorderConfig& activeConfig() { return state().activeConfig; }
Camera* sharedCamera() { return state().sharedCamera.get(); }

void requestPanel(std::optional<RecordingDestination> preset) {
  if (state().choosing) return;
  if (recorder().isRecording()) return stopRequested();
  if (CountdownOverlay::isShowing()) {
    CountdownOverlay::cancel();
    recorder().discardPrepared();
    // The panel is gone; the camera it may have started goes too.
    return stopCameraPreview();
  }
  if (!platform().screenCapture->preflightAccess()) return showPermissionDialog();
  RecorderPanel::show(preset);
}

void beginCountdown(const RecorderConfig& config) {
  // The last recording is still being finished, or the desktop is asking.
  if (state().isBusy || state().choosing || recorder().isRecording()) return;
  RecorderConfig copy = config;
  if (copy.mic && !microphoneAuthorized()) {
    if (!copy.systemAudio) return showMicrophoneDialog();
    copy.mic = false;
    showMicrophoneDialog();
  }
  if (copy.camera) {
    State& st = state();
    if (!st.sharedCamera && platform().cameras->access().access == CameraService::Access::authorized)
      startCameraPreview();
    if (!st.sharedCamera || !st.sharedCamera->isRunning()) {
      copy.camera = false;
      failureToast(QStringLiteral("Camera unavailable — recording without the bubble."));
    }
  }
  state().activeConfig = copy;
  const std::optional<ScreenInfo> screen = screenUnderPointer();
  if (!screen) {
    failureToast(RecordingError::noDisplay().description);
    return stopCameraPreview();
  }
  // The desktop's question, if it has one, comes before the countdown, not
  // after it.
  state().choosing = true;
  recorder().chooseAhead(*screen, copy, [copy, screen](std::optional<Error> refused) {
    state().choosing = false;
    if (refused) {
      failureToast(refused->description);
      return stopCameraPreview();
    }
    // The file and its encoders are made while the countdown runs.
    recorder().prepare(*screen, copy, copy.camera ? state().sharedCamera.get() : nullptr);
    CountdownOverlay::run(3, qscreenFor(screen), [copy, screen] { startRecording(copy, *screen); });
  });
}

void stopRequested() {
  State& st = state();
  if (st.isBusy) return;
  st.isBusy = true;
  stopRecording([] { state().isBusy = false; });
}

void cameraToggled(bool on) {
  if (!on) {
    if (!recorder().isRecording()) stopCameraPreview();
    return;
  }
  const CameraService::AccessInfo access = platform().cameras->access();
  if (access.access != CameraService::Access::authorized) return showCameraDialog(access.group);
  startCameraPreview();
}

void stopCameraPreview() {
  CameraPreviewBubble::hide();
  State& st = state();
  if (st.sharedCamera) st.sharedCamera->stop();
  st.sharedCamera.reset();
}

void shutDown() {
  CountdownOverlay::cancel();
  RecordingPill::hide();
  State& st = state();
  if (st.recorder) st.recorder->finishNow();
  stopCameraPreview();
}

void resetForTesting() {
  CountdownOverlay::cancel();
  RecordingPill::hide();
  RecorderPanel::close();
  State& st = state();
  if (st.recorder) st.recorder->finishNow();
  stopCameraPreview();
  RecordingState::shared().end();
  st = State{};
}

}  // namespace nimbo::RecordingFlow
