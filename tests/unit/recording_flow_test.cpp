// The recording flow on fakes: the permission branches, the camera, the countdown, and how a recording ends.
#include <QApplication>
#include <QPointer>

#include <cmath>

#include "capture/capture_history.h"
#include "recording/audio_level_meter.h"
#include "recording/recorder_panel.h"
#include "recording/recording_flow.h"
#include "recording/recording_indicators.h"
#include "recording/recording_state.h"
#include "recording/screen_recorder.h"
#include "recording/window_picker.h"
#include "support.h"
#include "ui/upload_toast.h"

namespace nimbo {
namespace {

using test::logged;
using test::waitUntil;

class RecordingFlowTest : public test::TwoDisplayTest {
 protected:
  void SetUp() override {
    TwoDisplayTest::SetUp();
    RecordingFlow::resetForTesting();
    fakes.streams->displays = {{11, QRect(0, 0, 1000, 500)}, {22, QRect(1000, 0, 800, 600)}};
    fakes.audio->mics = {{"mic-1", "USB Microphone"}};
    fakes.audio->defaultMic = fakes.audio->mics[0];
    fakes.media->info = VideoInfo{0.66, 1000, 500};  // and its poster
    QImage poster(1000, 500, QImage::Format_RGB32);
    poster.fill(Qt::darkCyan);
    fakes.media->frame = poster;
  }
  void TearDown() override {
    RecordingFlow::resetForTesting();
    TwoDisplayTest::TearDown();
  }
  static RecorderConfig config() {
    RecorderConfig c;
    c.mic = false, c.destination = RecordingDestination::localFile;
    return c;
  }
  QString toast() { return UploadToast::current() ? UploadToast::current()->message() : QString(); }
  void countDownAndStart(const RecorderConfig& c) {
    RecordingFlow::beginCountdown(c);
    ASSERT_TRUE(CountdownOverlay::isShowing());
    ASSERT_TRUE(waitUntil([] { return RecordingFlow::recorder().isRecording(); }, 6000));
  }
  void play(int frames) {
    std::vector<uint8_t> px(size_t(1000 * 500 * 4));
    const int64_t t0 = monotonicNs();
    for (int f = 0; f < frames; ++f) {
      for (size_t i = 0; i < px.size(); i += 4) px[i] = uint8_t(f * 9);
      fakes.streams->onFrame(ScreenFrame{px.data(), 1000, 500, 4000, t0 + f * 1000000000LL / 30});
      QTest::qSleep(2);
    }
  }
};

TEST_F(RecordingFlowTest, WithoutAMicrophoneOnlySystemSoundRecordsOrNothingStarts) {
  fakes.audio->mics.clear();
  RecorderConfig c = config();
  c.mic = true;
  RecordingFlow::beginCountdown(c);  // nothing else to record: only the dialog
  EXPECT_EQ(fakes.dialogs->micAlerts, 1);
  EXPECT_FALSE(CountdownOverlay::isShowing());
  c.systemAudio = true;
  fakes.dialogs->answerOpenSettings = true;
  RecordingFlow::beginCountdown(c);
  EXPECT_EQ(fakes.dialogs->micAlerts, 2);
  EXPECT_EQ(fakes.workspace->deviceSettingsOpened, std::vector<bool>{false});
  EXPECT_TRUE(CountdownOverlay::isShowing());
  EXPECT_FALSE(RecordingFlow::activeConfig().mic);
  EXPECT_TRUE(RecordingFlow::activeConfig().systemAudio);
}

TEST_F(RecordingFlowTest, ACameraThatFailsOrMayNotBeOpenedRecordsWithoutTheBubble) {
  RecorderConfig c = config();
  c.camera = true;
  fakes.cameras->failWith = PlatformErrorCode::deviceUnavailable;
  RecordingFlow::beginCountdown(c);
  EXPECT_EQ(toast(), QString::fromUtf8("Camera unavailable — recording without the bubble."));
  EXPECT_TRUE(CountdownOverlay::isShowing());
  EXPECT_FALSE(RecordingFlow::activeConfig().camera);
  EXPECT_FALSE(RecordingFlow::sharedCamera());
  // Not in the device's group: the switch explains, naming the group.
  fakes.cameras->failWith.reset();
  fakes.cameras->accessInfo = {CameraService::Access::denied, QStringLiteral("video")};
  RecordingFlow::cameraToggled(true);
  EXPECT_EQ(fakes.dialogs->cameraAlerts, 1);
  EXPECT_EQ(fakes.dialogs->cameraGroup, "video");
  EXPECT_FALSE(RecordingFlow::sharedCamera());

  fakes.cameras->accessInfo = {CameraService::Access::authorized, {}};
  RecordingFlow::cameraToggled(true);
  ASSERT_TRUE(RecordingFlow::sharedCamera());
  EXPECT_TRUE(RecordingFlow::sharedCamera()->isRunning());
  RecordingFlow::cameraToggled(false);
  EXPECT_FALSE(RecordingFlow::sharedCamera());
}

// The pill and the recording state coming and going are checked on the desktop.
TEST_F(RecordingFlowTest, ARecordShortcutCancelsTheCountdownAndStopsARecording) {
  RecordingFlow::beginCountdown(config());
  ASSERT_TRUE(CountdownOverlay::isShowing());
  RecordingFlow::requestPanel(RecordingDestination::shareLink);
  EXPECT_FALSE(CountdownOverlay::isShowing());
  EXPECT_FALSE(RecorderPanel::panel());  // cancelling opens nothing
  // The number is cleared a moment before the recording starts, so the
  // first picture cannot hold it; the window closes at the start.
  RecordingFlow::beginCountdown(config());
  QWidget* countdown = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && w->windowTitle() == "Nimbo countdown") countdown = w;
  ASSERT_TRUE(countdown);
  const QPointer<QWidget> window = countdown;
  const auto centre = [&] { return countdown->grab().toImage().pixelColor(countdown->rect().center()); };
  EXPECT_GT(centre().alpha(), 100);
  ASSERT_TRUE(waitUntil([&] { return centre().alpha() == 0; }, 4000));
  EXPECT_TRUE(window && window->isVisible());
  EXPECT_FALSE(RecordingFlow::recorder().isRecording());
  ASSERT_TRUE(waitUntil([] { return RecordingFlow::recorder().isRecording(); }, 2000));
  EXPECT_FALSE(CountdownOverlay::isShowing());
  EXPECT_TRUE(waitUntil([&] { return !window; }));
  EXPECT_TRUE(RecordingFlow::recorder().lastStartWasPrepared());  // made while it counted
  play(20);
  RecordingFlow::requestPanel(RecordingDestination::shareLink);  // stops; opens no panel
  ASSERT_TRUE(waitUntil([&] { return toast() == QString::fromUtf8("Recording saved — video on your clipboard"); },
                        10000))
      << toast().toStdString();
  EXPECT_FALSE(RecorderPanel::panel());
  const auto& items = CaptureHistory::shared().items();
  ASSERT_EQ(items.size(), 1u);
  ASSERT_TRUE(items[0].videoPath);  // and on the clipboard: checked on the desktop
  // Made after a countdown cancelled in the same second: its own name, whole.
  EXPECT_TRUE(QFileInfo(*items[0].videoPath).fileName().startsWith("Nimbo-"));
  EXPECT_TRUE(QFileInfo(*items[0].videoPath).size() > 0);
  EXPECT_FALSE(logged().join('\n').contains("could not be given its name"));
  EXPECT_EQ(fakes.sound->played, QStringList{"screen-capture"});
  UploadToast::current()->triggerAction();  // "Show in Folder"
  EXPECT_EQ(fakes.workspace->revealed, QStringList{*items[0].videoPath});
}

TEST_F(RecordingFlowTest, TheDesktopAsksWhatToShareBeforeTheCountdownNotAfterIt) {
  const QDir folder(paths::appSupportDir() + "/recordings");
  // Declined: no countdown, nothing made, and the user is told.
  fakes.streams->aheadRefusal =
      platformError(PlatformErrorCode::permissionDenied, QStringLiteral("choosing what to record: the user said no"));
  RecordingFlow::beginCountdown(config());
  ASSERT_EQ(fakes.streams->askedAhead.size(), 1u);
  EXPECT_EQ(fakes.streams->askedAhead[0].displayID, std::optional<quint32>(11));
  EXPECT_FALSE(CountdownOverlay::isShowing());
  EXPECT_EQ(toast(), QStringLiteral("Couldn't start recording. choosing what to record: the user said no"));

  // While the desktop's dialog is up, the shortcut and the panel's button do
  // nothing; the countdown follows the answer.
  fakes.streams->aheadRefusal.reset();
  fakes.streams->aheadWaits = true;
  RecordingFlow::beginCountdown(config());
  EXPECT_FALSE(CountdownOverlay::isShowing());
  RecordingFlow::requestPanel(RecordingDestination::localFile);
  EXPECT_FALSE(RecorderPanel::panel());
  RecordingFlow::beginCountdown(config());
  EXPECT_EQ(fakes.streams->askedAhead.size(), 2u);
  QTest::qWait(300);
  EXPECT_TRUE(folder.entryList(QDir::Files | QDir::Hidden).isEmpty());  // nothing made before the answer
  fakes.streams->answerAhead();
  ASSERT_TRUE(CountdownOverlay::isShowing());
  ASSERT_TRUE(waitUntil([] { return RecordingFlow::recorder().isRecording(); }, 6000));
  EXPECT_EQ(fakes.streams->startedReadied.size(), 1u);
}

TEST_F(RecordingFlowTest, ACancelledCountdownLetsTheCameraGo) {
  RecordingFlow::cameraToggled(true);
  ASSERT_TRUE(RecordingFlow::sharedCamera());
  RecorderConfig c = config();
  c.camera = true;
  RecordingFlow::beginCountdown(c);
  ASSERT_TRUE(CountdownOverlay::isShowing());
  const QDir folder(paths::appSupportDir() + "/recordings");
  ASSERT_TRUE(waitUntil([&] { return !folder.entryList(QDir::Files | QDir::Hidden).isEmpty(); }, 2500));
  RecordingFlow::requestPanel(RecordingDestination::localFile);
  EXPECT_FALSE(CountdownOverlay::isShowing());
  EXPECT_FALSE(RecordingFlow::sharedCamera());
  // Nor does the file made for it while it counted.
  EXPECT_TRUE(waitUntil([&] { return folder.entryList(QDir::Files | QDir::Hidden).isEmpty(); }, 5000));
}

TEST_F(RecordingFlowTest, AStopWithNothingCapturedSaysSoAndFilesNothing) {
  Preferences::setValue(Preferences::kSoundOnCapture, false);
  countDownAndStart(config());
  RecordingFlow::stopRequested();
  ASSERT_TRUE(waitUntil([&] { return toast() == QString::fromUtf8("Recording didn't save — nothing was captured."); }));
  EXPECT_FALSE(UploadToast::current()->success());
  EXPECT_TRUE(CaptureHistory::shared().items().empty());
  EXPECT_TRUE(fakes.sound->played.isEmpty());
}

TEST_F(RecordingFlowTest, AFailedUploadKeepsTheFileAndItsRecord) {
  RecorderConfig c = config();
  c.destination = RecordingDestination::shareLink;
  countDownAndStart(c);
  play(20);
  RecordingFlow::stopRequested();
  ASSERT_TRUE(waitUntil([&] { return !fakes.uploader->pending.empty(); }, 10000));
  EXPECT_EQ(toast(), QString::fromUtf8("Uploading recording…"));
  const QString path = fakes.uploader->pending.front().videoPath;
  fakes.uploader->answer(Error{QStringLiteral("Upload failed (HTTP 500): full")});
  EXPECT_EQ(toast(), "Upload failed (HTTP 500): full");
  EXPECT_EQ(UploadToast::current()->actionLabel(), "Show in Folder");
  EXPECT_TRUE(logged().contains("Nimbo: recording upload failed: Upload failed (HTTP 500): full"));
  ASSERT_EQ(CaptureHistory::shared().items().size(), 1u);
  EXPECT_FALSE(CaptureHistory::shared().items()[0].shareURL);
  EXPECT_TRUE(QFile::exists(path));
}

TEST(RecordingIndicatorsTest, LevelsTimesAndBars) {
  EXPECT_EQ(RecordingState::elapsedLabel(59.9), "0:59");
  EXPECT_EQ(RecordingState::elapsedLabel(3600), "60:00");
  EXPECT_EQ(LevelBars::litBars(0.059f), 0);
  EXPECT_EQ(LevelBars::litBars(1.0f), 5);
  // A full-scale sine reads 1, an rms of 0.01 reads 0.2, silence 0; 32-bit integers are not measured.
  std::vector<float> sine(4800);
  for (size_t i = 0; i < sine.size(); ++i) sine[i] = float(std::sin(2 * M_PI * i / 48.0));
  EXPECT_NEAR(*AudioLevelMeter::level(sine.data(), sine.size()), 1.0, 1e-3);
  std::vector<float> quiet(4800, 0.01f);
  EXPECT_NEAR(*AudioLevelMeter::level(quiet.data(), quiet.size()), 0.2, 1e-4);
  EXPECT_EQ(*AudioLevelMeter::level(AudioChunk::fromFloats(std::vector<float>(960, 0.f), 0)), 0.f);
  AudioChunk s24 = AudioChunk::fromFloats(quiet, 0);
  s24.format.sampleFormat = 2;
  EXPECT_FALSE(AudioLevelMeter::level(s24));
  AudioChunk s16;
  s16.format.sampleFormat = 1;
  const int16_t full[2] = {32767, -32767};
  s16.planes.emplace_back(reinterpret_cast<const uint8_t*>(full), reinterpret_cast<const uint8_t*>(full) + 4);
  EXPECT_NEAR(*AudioLevelMeter::level(s16), 1.0, 1e-6);
}

TEST(RecordingIndicatorsTest, ASupersededCountdownNeverCallsBack) {
  int first = 0, second = 0;
  CountdownOverlay::run(1, nullptr, [&] { ++first; });
  CountdownOverlay::run(1, nullptr, [&] { ++second; });
  ASSERT_TRUE(waitUntil([&] { return second == 1; }, 3000));
  EXPECT_EQ(first, 0);  // both due at the same moment, only the later fired
  EXPECT_FALSE(CountdownOverlay::isShowing());
}

TEST_F(RecordingFlowTest, WhereTheDesktopChoosesWindowsItsChoiceIsRecorded) {
  fakes.streams->desktopChoice = ScreenStreamService::ChosenWindow{7, QString()};
  fakes.streams->windowSizes = {{7, QSize(640, 400)}};
  std::optional<std::optional<WindowPicker::Choice>> got;
  WindowPicker::pick([&](std::optional<WindowPicker::Choice> c) { got = c; });
  for (QWidget* w : QApplication::topLevelWidgets())
    EXPECT_FALSE(w->isVisible() && w->windowTitle() == "Nimbo window picker") << "our overlay is shown";
  ASSERT_TRUE(waitUntil([&] { return got.has_value(); }));
  ASSERT_TRUE(got->has_value());
  EXPECT_EQ((*got)->windowID, 7u);

  RecorderConfig c = config();
  c.target = RecordTarget::window;
  c.windowID = 7;
  ASSERT_NO_FATAL_FAILURE(countDownAndStart(c));
  ASSERT_FALSE(fakes.streams->requests.empty());
  EXPECT_EQ(fakes.streams->requests.back().windowID, std::optional<quint32>(7));
  RecordingFlow::stopRequested();
  ASSERT_TRUE(waitUntil([] { return !RecordingFlow::recorder().isRecording(); }, 6000));
  // Cancelled in the desktop's dialog: no choice.
  fakes.streams->desktopChoice = std::optional<ScreenStreamService::ChosenWindow>();
  got.reset();
  WindowPicker::pick([&](std::optional<WindowPicker::Choice> c) { got = c; });
  ASSERT_TRUE(waitUntil([&] { return got.has_value(); }));
  EXPECT_FALSE(got->has_value());
}

TEST(RecorderPanelTest, StartWaitsForAWindowOrRegion) {
  RecorderConfig c;
  c.target = RecordTarget::window;
  EXPECT_TRUE(RecorderPanel::startBlocked(c));
  c.target = RecordTarget::region;
  EXPECT_TRUE(RecorderPanel::startBlocked(c));
  c.region = QRectF(0, 0, 100, 100);
  EXPECT_FALSE(RecorderPanel::startBlocked(c));
}

}  // namespace
}  // namespace nimbo
