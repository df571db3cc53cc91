// The recorder against fake streams: what it asks the platform for, its errors, and what reaches the file.
#include <cmath>
#include <deque>
#include <functional>

#include "recording/audio_mixer.h"
#include "recording/frame_compositor.h"
#include "recording/media_probe.h"
#include "recording/screen_recorder.h"
#include "recording/video_writer.h"
#include "support.h"

namespace nimbo {
namespace {

class RecorderTest : public test::TwoDisplayTest {
 protected:
  void SetUp() override {
    TwoDisplayTest::SetUp();
    fakes.streams->displays = {{11, QRect(0, 0, 1000, 500)}, {22, QRect(1000, 0, 800, 600)}};
    fakes.audio->mics = {{"mic-1", "USB Microphone"}};
    fakes.audio->defaultMic = fakes.audio->mics[0];
  }
  static RecorderConfig config(RecordTarget t) {
    RecorderConfig c;
    c.target = t, c.mic = false;
    return c;
  }
  // Frames of a moving picture at 30 fps, audio alongside when a source runs.
  void play(int frames, int width, int height) {
    std::vector<uint8_t> px(size_t(width * height * 4));
    for (int f = 0; f < frames; ++f) {
      for (size_t i = 0; i < px.size(); ++i) px[i] = uint8_t(i + f * 7);
      const int64_t pts = t0 + f * 1000000000LL / 30;
      fakes.streams->onFrame(ScreenFrame{px.data(), width, height, width * 4, pts});
      for (auto& [source, handler] : fakes.audio->handlers) {
        std::vector<float> tone;
        for (int i = 0; i < 1600; ++i) {
          const float v = 0.3f * float(std::sin(2 * M_PI * 330 * (f * 1600 + i) / 48000.0));
          tone.push_back(v), tone.push_back(v);
        }
        handler(AudioChunk::fromFloats(tone, pts));
      }
      QTest::qSleep(2);  // the encoder's queue is short by design
    }
  }
  std::optional<QString> stop(ScreenRecorder& r) {
    bool done = false;
    std::optional<QString> path;
    r.stop([&](std::optional<QString> p) { path = p, done = true; });
    EXPECT_TRUE(test::waitUntil([&] { return done; }, 20000));
    return path;
  }
  int64_t t0 = monotonicNs();
};

TEST(RecorderSizes, OutputSizesAreCappedAndEven) {
  EXPECT_EQ(ScreenRecorder::outputSize(2560, 1600, 2), QSize(3840, 2400));
  EXPECT_EQ(ScreenRecorder::outputSize(1000, 500, 2), QSize(2000, 1000));
  EXPECT_EQ(ScreenRecorder::outputSize(301, 201, 1), QSize(300, 200));
  EXPECT_EQ(ScreenRecorder::outputSize(1080, 7680, 1), QSize(540, 3840));
}

TEST_F(RecorderTest, TheDisplayHoldingMostOfARectangleWinsAndTheFirstOnTies) {
  const std::vector<ScreenInfo> both{left, right};
  EXPECT_EQ(ScreenRecorder::displayContainingMostOf(QRectF(900, 100, 300, 100), both)->name, "Right");
  EXPECT_EQ(ScreenRecorder::displayContainingMostOf(QRectF(900, 100, 200, 100), both)->name, "Left");  // a tie
  EXPECT_EQ(ScreenRecorder::displayContainingMostOf(QRectF(-900, -900, 10, 10), both)->name, "Left");
  EXPECT_EQ(ScreenRecorder::displayContainingMostOf(QRectF(1100, 0, 50, 50), {right})->name, "Right");
  EXPECT_FALSE(ScreenRecorder::displayContainingMostOf(QRectF(0, 0, 5, 5), {}));
}

TEST_F(RecorderTest, RegionsAreCheckedAndCutFromTheDisplayHoldingMostOfThem) {
  ScreenRecorder r;
  RecorderConfig c = config(RecordTarget::region);
  EXPECT_EQ(r.start(left, c).error().description, "Couldn't start recording. No region chosen — drag one first.");
  c.region = QRectF(10, 10, 3, 300);
  EXPECT_EQ(r.start(left, c).error().description, "Couldn't start recording. No region chosen — drag one first.");
  // Where an unplugged display used to be: it falls to the first display and misses it.
  c.region = QRectF(5000, 100, 200, 100);
  EXPECT_EQ(r.start(left, c).error().description,
            QString::fromUtf8("Couldn't start recording. That region is off-screen now — drag a new one."));
  // Mostly on the right display (scale 2, its top-left at (1000, 200)): the
  // corner (90, 149.8) there, whole points 101 x 50, in its pixels.
  c.region = QRectF(1090, 100, 101.7, 50.2);
  Result<QString> started = r.start(left, c);
  ASSERT_TRUE(started.ok()) << started.error().description.toStdString();
  EXPECT_EQ(r.lastRequest().displayID, 22u);
  EXPECT_EQ(r.lastRequest().source, QRect(180, 300, 202, 100));
  EXPECT_EQ(r.outputSize(), QSize(202, 100));
  EXPECT_EQ(r.lastRequest().frameInterval, 1.0 / 60);
  EXPECT_EQ(r.start(left, c).error().description, "A recording is already in progress.");
  EXPECT_FALSE(stop(r));  // no frame arrived: no file
  EXPECT_FALSE(stop(r));  // stopping again is harmless
}

TEST_F(RecorderTest, WindowsAndDisplaysAndTheirErrors) {
  ScreenRecorder r;
  const auto error = [&](const ScreenInfo& s, const RecorderConfig& c) { return r.start(s, c).error().description; };
  const QString gone = QString::fromUtf8("Couldn't start recording. That window is gone — pick another one.");
  RecorderConfig c = config(RecordTarget::window);
  EXPECT_EQ(error(left, c), gone);
  c.windowID = 7;
  fakes.streams->windowSizes[7] = QSize(1001, 501);
  ASSERT_TRUE(r.start(left, c).ok());
  EXPECT_EQ(r.lastRequest().windowID, 7u);
  EXPECT_EQ(r.outputSize(), QSize(1000, 500));
  EXPECT_EQ(r.lastRequest().frameInterval, 1.0 / 30);
  stop(r);

  ScreenInfo nowhere = left;
  nowhere.displayId = 99;
  EXPECT_EQ(error(nowhere, config(RecordTarget::screen)), "Couldn't find a display to record.");
  // The platform's neutral codes in the recorder's words.
  fakes.streams->failWith = PlatformErrorCode::windowGone;
  EXPECT_EQ(error(left, config(RecordTarget::screen)), gone);
  fakes.streams->failWith = PlatformErrorCode::noDisplay;
  EXPECT_EQ(error(left, config(RecordTarget::screen)), "Couldn't find a display to record.");
  EXPECT_FALSE(r.isRecording());
  fakes.streams->failWith.reset();
  RecorderConfig withMic = config(RecordTarget::screen);
  withMic.mic = true;
  fakes.audio->failing.insert(AudioSource::microphone);
  EXPECT_EQ(error(left, withMic), "Couldn't start recording. Couldn't attach the microphone.");
  fakes.audio->mics.clear();
  EXPECT_EQ(error(left, withMic), "Couldn't start recording. No microphone found.");
  EXPECT_FALSE(fakes.streams->running);
  // Nothing the user could act on: the platform's detail, for a report.
  EXPECT_EQ(RecordingError::fromPlatform(platformError(PlatformErrorCode::failed, "detail")).description,
            "Couldn't start recording. detail");
}

TEST_F(RecorderTest, SilentRecordingsHaveNoAudioTrackAndMixedOnesDo) {
  ScreenRecorder r;
  const auto path = r.start(right, config(RecordTarget::screen));
  ASSERT_TRUE(path.ok());
  EXPECT_EQ(r.outputSize(), QSize(800, 600));  // the display's own pixels
  play(30, 800, 600);
  const auto silent = stop(r);
  ASSERT_TRUE(silent);
  EXPECT_EQ(*silent, path.value());
  auto probe = MediaProbe::read(*silent);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->audioTracks, 0);
  EXPECT_EQ(QSize(probe->width, probe->height), QSize(800, 600));

  RecorderConfig both = config(RecordTarget::screen);
  both.systemAudio = true;
  both.mic = true;
  both.micDeviceID = "mic-1";
  float level = -1;
  r.onAudioLevel = [&](float l) { level = l; };
  t0 = monotonicNs();
  ASSERT_TRUE(r.start(left, both).ok());
  ASSERT_EQ(fakes.audio->started.size(), 2u);
  EXPECT_EQ(fakes.audio->started[1], std::make_pair(AudioSource::microphone, QString("mic-1")));
  play(45, 1000, 500);
  const auto mixed = stop(r);
  ASSERT_TRUE(mixed);
  probe = MediaProbe::read(*mixed);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->audioTracks, 1);
  EXPECT_NEAR(probe->durationSeconds, 1.5, 0.3);
  EXPECT_NEAR(probe->audioRms, 0.6 / std::sqrt(2.0), 0.05);  // two sources of one tone, summed
  EXPECT_GT(level, 0.5f);
  EXPECT_TRUE(fakes.audio->handlers.empty());  // both sources stopped
}

// Every file in the recordings folder, hidden ones (a recording still being
// made, or one that was never cleaned up) included.
QStringList recordingFiles() {
  return QDir(paths::appSupportDir() + "/recordings").entryList(QDir::Files | QDir::Hidden);
}

TEST_F(RecorderTest, AWriterMadeDuringTheCountdownIsTakenOnlyForWhatItWasMadeFor) {
  ScreenRecorder r;
  const QString atCountdown = makeRecordingPath();
  r.prepare(right, config(RecordTarget::screen));
  ASSERT_TRUE(test::waitUntil([] { return !recordingFiles().isEmpty(); }, 5000));
  // A countdown started again within the same second: the file let go is
  // removed, never the one made for the new countdown.
  r.prepare(right, config(RecordTarget::screen));
  QTest::qWait(1100);  // the file is named for the second the recording starts
  t0 = monotonicNs();
  const Result<QString> path = r.start(right, config(RecordTarget::screen));
  ASSERT_TRUE(path.ok());
  EXPECT_TRUE(r.lastStartWasPrepared());
  EXPECT_NE(path.value().toStdString(), atCountdown.toStdString());
  // The stream readied during the countdown was handed to the start, and
  // the one readied for the countdown started over was let go.
  ASSERT_EQ(fakes.streams->startedReadied.size(), 1u);
  EXPECT_TRUE(fakes.streams->startedReadied[0] == fakes.streams->requests.back());
  EXPECT_TRUE(test::waitUntil([&] { return fakes.streams->readiedAlive == 0; }, 5000));
  play(30, 800, 600);
  const std::optional<QString> saved = stop(r);
  ASSERT_TRUE(saved);
  EXPECT_EQ(*saved, path.value());
  EXPECT_TRUE(MediaProbe::read(*saved));
  EXPECT_TRUE(test::waitUntil([&] { return recordingFiles() == QStringList{QFileInfo(*saved).fileName()}; }, 5000))
      << recordingFiles().join(' ').toStdString();
  EXPECT_FALSE(test::logged().join('\n').contains("could not be given its name"));
  QFile::remove(*saved);

  // The display changed size during the countdown, and then the sound:
  // what was made goes, and a writer of the right kind is made.
  r.prepare(right, config(RecordTarget::screen));
  fakes.streams->displays[22] = QRect(1000, 0, 640, 480);
  ASSERT_TRUE(r.start(right, config(RecordTarget::screen)).ok());
  EXPECT_FALSE(r.lastStartWasPrepared());
  EXPECT_EQ(r.outputSize(), QSize(640, 480));
  // Made in the second the other one is let go in: each has its own file.
  t0 = monotonicNs();
  play(30, 640, 480);
  const std::optional<QString> remade = stop(r);
  ASSERT_TRUE(remade);
  EXPECT_TRUE(MediaProbe::read(*remade));
  EXPECT_FALSE(test::logged().join('\n').contains("could not be given its name"));
  QFile::remove(*remade);
  RecorderConfig sound = config(RecordTarget::screen);
  sound.systemAudio = true;
  r.prepare(right, config(RecordTarget::screen));
  ASSERT_TRUE(r.start(right, sound).ok());
  EXPECT_FALSE(r.lastStartWasPrepared());
  EXPECT_FALSE(stop(r));
  // A start that fails lets it go too.
  r.prepare(right, config(RecordTarget::screen));
  fakes.streams->failWith = PlatformErrorCode::noDisplay;
  EXPECT_FALSE(r.start(right, config(RecordTarget::screen)).ok());
  fakes.streams->failWith.reset();

  // Cancelled at once, while it is still being made, and later: nothing
  // stays, neither a file nor a readied stream.
  r.prepare(right, config(RecordTarget::screen));
  r.discardPrepared();
  r.prepare(left, config(RecordTarget::screen));
  ASSERT_TRUE(test::waitUntil([&] { return !recordingFiles().isEmpty() && fakes.streams->readiedAlive == 1; }, 5000));
  r.discardPrepared();
  EXPECT_TRUE(test::waitUntil([] { return recordingFiles().isEmpty(); }, 5000)) << recordingFiles().join(' ').toStdString();
  EXPECT_TRUE(test::waitUntil([&] { return fakes.streams->readiedAlive == 0; }, 5000));
  EXPECT_EQ(fakes.streams->startedReadied.size(), 4u);  // each start was handed what its countdown readied
}

TEST_F(RecorderTest, TheCameraBubbleIsDrawnOnceTheCameraHasAFrame) {
  FrameCompositor c;
  std::vector<uint8_t> px(size_t(400 * 300 * 4), 0);
  const ScreenFrame screen{px.data(), 400, 300, 400 * 4, 0};
  QImage face(64, 48, QImage::Format_RGB32);
  face.fill(QColor(250, 10, 10));
  const auto out = c.composite(screen, face);
  ASSERT_TRUE(out);
  const QImage img(out->pixels, 400, 300, out->stride, QImage::Format_RGB32);
  EXPECT_EQ(QColor(img.pixel(42, 258)), QColor(250, 10, 10));  // d = 66, margin 9: centred at (42, 258)
  EXPECT_EQ(QColor(img.pixel(10, 290)), QColor(0, 0, 0));  // the circle's corner stays screen
  EXPECT_EQ(QColor(img.pixel(200, 150)), QColor(0, 0, 0));
  EXPECT_EQ(c.circleMask(66).size(), QSize(66, 66));
  c.composite(screen, face);
  EXPECT_EQ(c.poolsMade(), 1);
  const ScreenFrame other{px.data(), 200, 150, 400 * 4, 0};
  c.composite(other, face);
  EXPECT_EQ(c.poolsMade(), 2);
  EXPECT_FALSE(c.composite(screen, QImage()));
}

// Feeds `seconds` at `fps`, every `dropEvery`-th dropped (0: none), `missedPerSecond` ticks missed
// by the capture, spread over the second as a capture that cannot keep up
// misses them; the intervals the governor asked for.
std::vector<double> govern(FrameRateGovernor& g, int64_t& pts, double seconds, int fps, int dropEvery,
                           int missedPerSecond, int& missed) {
  std::vector<double> asked;
  const int frames = int(seconds * fps);
  for (int i = 0; i < frames; ++i) {
    pts += 1000000000LL / fps;
    missed += ((i % fps + 1) * missedPerSecond) / fps - ((i % fps) * missedPerSecond) / fps;
    if (const std::optional<double> next = g.frame(pts, dropEvery && i % dropEvery == 0, missed)) asked.push_back(*next);
  }
  return asked;
}

TEST(FrameRateGovernorTest, KeepsARateThatIsKeptAndStepsDownOneThatIsNot) {
  int64_t pts = 0;
  int missed = 0;
  // Every frame written, or one in twenty lost: the rate stays; so on a still screen (1 fps, all dropped).
  FrameRateGovernor kept(1.0 / 60);
  EXPECT_TRUE(govern(kept, pts, 3, 60, 0, 0, missed).empty());
  EXPECT_TRUE(govern(kept, pts, 3, 60, 20, 0, missed).empty());
  EXPECT_DOUBLE_EQ(kept.interval(), 1.0 / 60);
  FrameRateGovernor still(1.0 / 60);
  EXPECT_TRUE(govern(still, pts, 5, 1, 1, 0, missed).empty());
  FrameRateGovernor warming(1.0 / 60);  // the first half second, the encoder warming up
  EXPECT_TRUE(govern(warming, pts, 0.55, 60, 2, 0, missed).empty());
  // One in five dropped: 30 after a second, then after each change half a
  // second to settle and half a second judged: 24 (what a fifth fewer than
  // 30 keeps), 20; one in two: 15, and never below.
  FrameRateGovernor dropping(1.0 / 60);
  std::vector<double> asked;
  for (const auto& [fps, dropEvery, next] : {std::tuple(60, 5, 30), std::tuple(30, 5, 24), std::tuple(24, 5, 20),
                                             std::tuple(20, 2, 15)}) {
    asked = govern(dropping, pts, 1.2, fps, dropEvery, 0, missed);
    ASSERT_EQ(asked.size(), 1u) << fps;
    EXPECT_DOUBLE_EQ(asked[0], 1.0 / next);
    EXPECT_FALSE(dropping.lostNowAndThen());
  }
  EXPECT_TRUE(govern(dropping, pts, 5, 15, 2, 0, missed).empty());
  // Three in four dropped from the start: straight to 15, what the machine
  // kept, as soon as the first half second has settled (at the 64th frame).
  FrameRateGovernor drowning(1.0 / 60);
  asked.clear();
  int i = 0;
  for (int64_t at = pts; i < 70 && asked.empty(); ++i) {
    at += 1000000000LL / 60;
    if (const auto next = drowning.frame(at, i % 4 != 0, missed)) asked.push_back(*next);
  }
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(i, 64);
  EXPECT_DOUBLE_EQ(asked[0], 1.0 / 15);
  // Ticks the capture missed count as lost: 40 of 60 a second kept gives 30.
  FrameRateGovernor missing(1.0 / 60);
  asked = govern(missing, pts, 1.6, 40, 0, 20, missed);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_DOUBLE_EQ(asked[0], 1.0 / 30);
}

TEST(FrameRateGovernorTest, OnceLoweredTheRateComesDownAStepAtATimeUnlessMostFramesAreLost) {
  int64_t pts = 0;
  // `fps` for 1.2 s, frame i dropped when `dropped(i)`: the rates asked for.
  const auto feed = [&](FrameRateGovernor& g, int fps, const std::function<bool(int)>& dropped) {
    std::vector<double> asked;
    for (int i = 0; i < int(1.2 * fps); ++i) {
      pts += 1000000000LL / fps;
      if (const std::optional<double> next = g.frame(pts, dropped(i), 0)) asked.push_back(*next);
    }
    return asked;
  };
  FrameRateGovernor g(1.0 / 60);
  EXPECT_EQ(feed(g, 60, [](int i) { return i % 2 == 0; }), std::vector<double>{1.0 / 30});
  // At 30, one in three lost keeps 20 a second: the next step, 24.
  EXPECT_EQ(feed(g, 30, [](int i) { return i % 3 == 0; }), std::vector<double>{1.0 / 24});
  // At 24, two in three lost: straight to what it kept.
  EXPECT_EQ(feed(g, 24, [](int i) { return i % 3 != 0; }), std::vector<double>{1.0 / 15});
  // The first step from the rate asked for is whatever the half second
  // kept: the same third lost at 30 gives 20.
  FrameRateGovernor fresh(1.0 / 30);
  EXPECT_EQ(feed(fresh, 30, [](int i) { return i % 3 == 0; }), std::vector<double>{1.0 / 20});
}

TEST(FrameRateGovernorTest, AStallIsNotARateTheMachineCannotKeep) {
  // One frame at `i` of a 60 fps stream: dropped, and the capture's missed count.
  const auto run = [](const std::function<bool(int)>& dropped, const std::function<int(int)>& missed) {
    FrameRateGovernor g(1.0 / 60);
    for (int i = 0; i < 240; ++i)
      if (g.frame(int64_t(i + 1) * 1000000000LL / 60, dropped(i), missed(i))) return i;
    return -1;
  };
  const auto none = [](int) { return false; };
  // The capture held up once for a sixth of a second (ten ticks missed at
  // once), the encoder once (eight pictures dropped in a row), and twice in
  // one half second: a third of that window lost, the rate stays.
  EXPECT_EQ(run(none, [](int i) { return i >= 70 ? 10 : 0; }), -1);
  EXPECT_EQ(run([](int i) { return i >= 100 && i < 108; }, [](int) { return 0; }), -1);
  EXPECT_EQ(run([](int i) { return (i >= 100 && i < 105) || (i >= 113 && i < 118); }, [](int) { return 0; }), -1);
  // Losses at three separate moments of one window (frames 93 to 123) are a
  // rate not kept: it comes down when that window ends.
  EXPECT_EQ(run([](int i) { return (i >= 95 && i < 98) || (i >= 103 && i < 106) || (i >= 113 && i < 116); },
                [](int) { return 0; }),
            123);
  // Nearly every frame lost from the second half second on, in one run (a
  // machine that keeps a picture or two a second): that is no stall.
  EXPECT_EQ(run([](int i) { return i >= 31 && i % 40 != 0; }, [](int) { return 0; }), 61);
}

TEST(FrameRateGovernorTest, APictureLostNowAndThenComesDownOnlyWhereTheStepCostsLittle) {
  int64_t pts = 0;
  int missed = 0;
  // One in twenty at 30, one at a time: too few for a half second, but two
  // seconds show it (after the first half second settles), and 24 keeps
  // more than four fifths of the 28.5 kept.
  FrameRateGovernor only(1.0 / 30);
  std::vector<double> asked = govern(only, pts, 3, 30, 20, 0, missed);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_DOUBLE_EQ(asked[0], 1.0 / 24);
  EXPECT_TRUE(only.lostNowAndThen());
  // The same at 60 stays: 30 would throw away half of the picture.
  FrameRateGovernor sixty(1.0 / 60);
  EXPECT_TRUE(govern(sixty, pts, 6, 60, 20, 0, missed).empty());
  // One in thirty (two or three moments in two seconds) stays.
  FrameRateGovernor rarely(1.0 / 30);
  EXPECT_TRUE(govern(rarely, pts, 8, 30, 30, 0, missed).empty());
  // One in twenty missed, one at a time, is the same as dropped.
  FrameRateGovernor missing(1.0 / 30);
  asked = govern(missing, pts, 3, 30, 0, 2, missed);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_DOUBLE_EQ(asked[0], 1.0 / 24);
  // Stalls of eight frames every two seconds, with a single loss beside
  // each: two moments, though nine frames in sixty are lost.
  FrameRateGovernor stalls(1.0 / 30);
  int i = 0;
  for (int64_t at = pts; i < 300; ++i) {
    at += 1000000000LL / 30;
    EXPECT_FALSE(stalls.frame(at, i % 60 >= 52 || i % 60 == 25, missed)) << i;
  }
}

TEST(FrameRateGovernorTest, ARateBroughtDownGoesBackUpAfterFiveCalmSecondsAsFarAsTheEncoderHasRoom) {
  int64_t pts = 0;
  int missed = 0;
  // Frames lost while another program had the cores: down to 24. Five calm
  // seconds after the half second of settling, back to 30, and no higher
  // than the rate asked for.
  FrameRateGovernor busy(1.0 / 30);
  ASSERT_EQ(govern(busy, pts, 1.2, 30, 5, 0, missed), std::vector<double>{1.0 / 24});
  EXPECT_TRUE(govern(busy, pts, 5, 24, 0, 0, missed).empty());
  EXPECT_EQ(govern(busy, pts, 2, 24, 0, 0, missed), std::vector<double>{1.0 / 30});
  // Lost again soon after going up: down, and the next try waits twice as
  // long.
  EXPECT_EQ(govern(busy, pts, 1.2, 30, 5, 0, missed), std::vector<double>{1.0 / 24});
  EXPECT_TRUE(govern(busy, pts, 10, 24, 0, 0, missed).empty());
  EXPECT_EQ(govern(busy, pts, 3, 24, 0, 0, missed), std::vector<double>{1.0 / 30});
  // Lost again only after more than twice that calm: the wait stays.
  EXPECT_TRUE(govern(busy, pts, 25, 30, 0, 0, missed).empty());
  EXPECT_EQ(govern(busy, pts, 1.2, 30, 5, 0, missed), std::vector<double>{1.0 / 24});
  EXPECT_TRUE(govern(busy, pts, 10, 24, 0, 0, missed).empty());
  EXPECT_EQ(govern(busy, pts, 3, 24, 0, 0, missed), std::vector<double>{1.0 / 30});
  // A still screen, a picture a second, is no calm to go up on.
  FrameRateGovernor still(1.0 / 30);
  ASSERT_EQ(govern(still, pts, 1.2, 30, 5, 0, missed), std::vector<double>{1.0 / 24});
  EXPECT_TRUE(govern(still, pts, 60, 1, 0, 0, missed).empty());
  // A loss every four seconds or so restarts the calm each time.
  FrameRateGovernor uneasy(1.0 / 30);
  ASSERT_EQ(govern(uneasy, pts, 1.2, 30, 5, 0, missed), std::vector<double>{1.0 / 24});
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(govern(uneasy, pts, 4, 24, 24 * 4 - 1, 0, missed).empty()) << i;
  // Brought down by the quick encoder's cost: up only when that has fallen
  // under nine tenths of the faster rate's frame time.
  FrameRateGovernor dear(1.0 / 60);
  int pictures = 0;
  int64_t quickBusy = 0;
  std::vector<double> asked;
  const auto run = [&](FrameRateGovernor& g, double seconds, int fps, double costMs) {
    asked.clear();
    for (int i = 0; i < int(seconds * fps); ++i) {
      pts += 1000000000LL / fps;
      quickBusy += int64_t(costMs * 1e6);
      if (const auto next = g.frame(pts, false, 0, ++pictures, quickBusy)) asked.push_back(*next);
    }
  };
  run(dear, 0.2, 60, 40);
  ASSERT_EQ(asked, std::vector<double>{1.0 / 24});
  run(dear, 30, 24, 31);  // 31 ms is more than nine tenths of 30 fps's 33.3 ms
  EXPECT_TRUE(asked.empty());
  run(dear, 12, 24, 28);  // under nine tenths
  EXPECT_EQ(asked, std::vector<double>{1.0 / 30});
  run(dear, 30, 30, 20);  // but not of 60 fps's 16.7 ms
  EXPECT_TRUE(asked.empty());
  run(dear, 25, 30, 13);
  EXPECT_EQ(asked, std::vector<double>{1.0 / 60});
  // A recording of `fps` that a 70 ms encoder took down to 15 fps at once.
  const auto atFifteen = [&](int fps) {
    FrameRateGovernor g(1.0 / fps);
    pictures = 0, quickBusy = 0;
    run(g, fps == 60 ? 0.2 : 0.5, fps, 70);
    EXPECT_EQ(asked, std::vector<double>{1.0 / 15});
    return g;
  };
  // From 15 fps too, whose half second brings fewer frames than a faster
  // rate's: a load that took a 4K recording down to 15 is only that while.
  // Up in one step to the fastest rate the cost fits in: 32 ms fits in nine
  // tenths of 24 fps's frame time, not of 30's.
  auto slowest = atFifteen(60);
  run(slowest, 4.5, 15, 32);
  EXPECT_TRUE(asked.empty());
  run(slowest, 2, 15, 32);
  EXPECT_EQ(asked, std::vector<double>{1.0 / 24});
  // Never more than twice as fast at once: from 15 with room for 60, to 30.
  auto doubled = atFifteen(60);
  run(doubled, 6.5, 15, 10);
  EXPECT_EQ(asked, std::vector<double>{1.0 / 30});
  // A load that lasts well into the calm: once the calm is long enough, the
  // last four seconds are judged every half second, so the end of the load
  // is answered then, not a whole calm after the first judgement failed.
  auto loaded = atFifteen(30);
  run(loaded, 9, 15, 60);  // within 15 fps's frame time, not 20's
  EXPECT_TRUE(asked.empty());
  run(loaded, 3, 15, 30);
  EXPECT_EQ(asked, std::vector<double>{1.0 / 20});
}

TEST(FrameRateGovernorTest, AnEncoderTooSlowForTheRateLowersItBeforeAFrameIsLost) {
  // Frames at `fps` from `startS`, the quick encoder taking `costMs` a picture
  // from `quickFromS` on; the frame at which the rate came down and to what.
  struct Change {
    int frame;
    double fps;
  };
  const auto run = [](int fps, double costMs, double quickFromS = 0, double seconds = 3) -> std::optional<Change> {
    FrameRateGovernor g(1.0 / fps);
    int pictures = 0;
    for (int i = 0; i < int(seconds * fps); ++i) {
      const int64_t pts = int64_t(i + 1) * 1000000000LL / fps;
      if (pts >= int64_t(quickFromS * 1e9)) ++pictures;
      if (const auto next = g.frame(pts, false, 0, pictures, int64_t(pictures * costMs * 1e6))) {
        EXPECT_NEAR(*g.encoderCost(), costMs / 1e3, 1e-9);
        return Change{i, 1.0 / *next};
      }
    }
    return std::nullopt;
  };
  // 4K on two cores: down as soon as eight pictures show it, to the fastest
  // rate whose frame time holds a picture's cost; four, when the cost is
  // more than half as much again as the frame's time.
  for (const auto& [cost, to, pictures] :
       {std::tuple(16.0, 30.0, 8), std::tuple(24.0, 30.0, 8), std::tuple(26.0, 30.0, 4), std::tuple(33.0, 30.0, 4),
        std::tuple(40.0, 24.0, 4), std::tuple(45.0, 20.0, 4), std::tuple(70.0, 15.0, 4)}) {
    const std::optional<Change> c = run(60, cost);
    ASSERT_TRUE(c) << cost;
    EXPECT_EQ(c->frame, pictures - 1) << cost;
    EXPECT_DOUBLE_EQ(c->fps, to) << cost;
  }
  EXPECT_DOUBLE_EQ(run(30, 40)->fps, 24);  // a window or the camera, at 30
  EXPECT_DOUBLE_EQ(run(24, 48)->fps, 20);
  // 1080p's quick encoder takes 6 to 8 ms: 60 stays, and so does a cost
  // just under nine tenths of the frame's time.
  EXPECT_FALSE(run(60, 8));
  EXPECT_FALSE(run(60, 14.9));
  // The quick encoder taking over late (a still screen on the thorough one
  // for seconds): not the early look, but three half seconds of it in a row
  // (the first partly the thorough one's).
  const std::optional<Change> late = run(60, 26, 2.5, 5);
  ASSERT_TRUE(late);
  EXPECT_GE(late->frame, 150 + 60);
  EXPECT_LE(late->frame, 150 + 90);
  EXPECT_DOUBLE_EQ(late->fps, 30);
  EXPECT_EQ(run(60, 26, 1.5, 5)->frame, 89 + FrameRateGovernor::kEarlyPictures / 2 - 1);
  // At 30, a cost just over the frame's time comes down a step: 24 keeps
  // more than four fifths of the 29 a second it would keep.
  const std::optional<Change> edge = run(30, 34.5, 2.5, 5);
  ASSERT_TRUE(edge);
  EXPECT_DOUBLE_EQ(edge->fps, 24);
  // After the early look only a cost past the whole frame's time counts, and
  // only for longer than a moment: 16 ms at 60 stays; so does a half second
  // at 40 among them, and a second at 20; two seconds at 30 come down, to 30 fps.
  FrameRateGovernor later(1.0 / 60);
  int pictures = 0;
  int64_t busy = 0;
  int i = 0;
  std::optional<double> asked;
  const auto feed = [&](double seconds, double costMs) {
    for (const int end = i + int(seconds * 60); i < end && !asked; ++i) {
      busy += int64_t(costMs * 1e6);
      asked = later.frame(int64_t(i + 1) * 1000000000LL / 60, false, 0, ++pictures, busy);
    }
  };
  feed(0.2, 8);
  feed(2, 16);
  feed(0.5, 40);
  feed(2, 16);
  feed(1, 20);
  feed(2, 16);
  feed(3, 17.5);  // a picture lost a second, where 30 would lose half
  EXPECT_FALSE(asked) << i;
  // A screen changing at every other tick gives the encoder twice the time:
  // 30 ms a picture keeps up with it.
  for (const int end = i + 180; i < end && !asked; i += 2) {
    busy += 30000000;
    asked = later.frame(int64_t(i + 1) * 1000000000LL / 60, false, 0, ++pictures, busy);
  }
  EXPECT_FALSE(asked) << i;
  feed(2, 30);
  ASSERT_TRUE(asked);
  EXPECT_DOUBLE_EQ(*asked, 1.0 / 30);
  // The cost logged: the three half seconds', the first partly at 16 ms.
  EXPECT_GT(*later.encoderCost(), 1.0 / 60);
  EXPECT_LE(*later.encoderCost(), 0.030 + 1e-9);
  // After the change, the half second of old-rate frames is not judged: a
  // queue still draining there costs nothing more.
  FrameRateGovernor drained(1.0 / 60);
  int64_t pts = 0;
  pictures = 0;
  const auto next = [&](int fps, bool dropped) {
    pts += 1000000000LL / fps;
    ++pictures;
    return drained.frame(pts, dropped, 0, pictures, pictures * 26000000LL);
  };
  asked.reset();
  for (int k = 0; k < 8 && !asked; ++k) asked = next(60, false);
  ASSERT_TRUE(asked);
  for (int k = 0; k < 15; ++k) EXPECT_FALSE(next(30, k % 3 == 0)) << k;
}

// A queue of `most` places before an encoder that takes `costMs(t)` a
// picture, fed at `fps` for `seconds`: the pictures dropped (none once the
// rate comes down in time), the rate asked for, and when.
struct Queued {
  int dropped = 0;
  int mostWaited = 0;  // the longest the queue grew
  std::optional<double> fps;
  double atS = 0;
};
Queued queued(int fps, double seconds, int most, const std::function<double(double)>& costMs, bool tellQueue) {
  FrameRateGovernor g(1.0 / fps);
  Queued q;
  std::deque<double> waiting;  // arrival times of the pictures not yet started
  double freeAt = 0;           // when the encoder takes the next
  int pictures = 0;
  int64_t busy = 0;
  double interval = 1.0 / fps;
  for (double t = interval; t <= seconds; t += interval) {
    // What the encoder took before this frame came, counted at once (the
    // writer counts a picture when it is done, at most one frame later).
    while (!waiting.empty() && std::max(freeAt, waiting.front()) <= t) {
      const double start = std::max(freeAt, waiting.front()), took = costMs(start) / 1e3;
      waiting.pop_front();
      freeAt = start + took;
      ++pictures;
      busy += int64_t(took * 1e9);
    }
    const bool dropped = int(waiting.size()) >= most;
    if (dropped) ++q.dropped;
    else waiting.push_back(t);
    q.mostWaited = std::max(q.mostWaited, int(waiting.size()));
    if (const auto next = g.frame(int64_t(t * 1e9), dropped, 0, pictures, busy, tellQueue ? int(waiting.size()) : 0,
                                  tellQueue ? most : 0)) {
      if (!q.fps) q.fps = 1.0 / *next, q.atS = t;
      interval = *next;
    }
  }
  return q;
}

TEST(FrameRateGovernorTest, AQueueHalfFullBringsTheRateDownBeforeItOverflows) {
  // 4K at 30 fps, its encoder at 28.6 ms a picture, a machine that slows
  // down at 8 s to 45 ms: judged on three half seconds only, the queue of
  // eight has overflowed by then; seen half full, the rate comes down to 20
  // (what 45 ms fits in) a second sooner, with nothing lost.
  const auto slower = [](double t) { return t < 8 ? 28.6 : 45.0; };
  const Queued blind = queued(30, 12, 8, slower, false);
  EXPECT_GT(blind.dropped, 0);
  const Queued seen = queued(30, 12, 8, slower, true);
  EXPECT_EQ(seen.dropped, 0);
  ASSERT_TRUE(seen.fps);
  EXPECT_DOUBLE_EQ(*seen.fps, 20);
  EXPECT_GT(seen.atS, 8);
  EXPECT_LT(seen.atS, blind.atS ? blind.atS : 12);
  // At its limit and not slowing down, or a moment's stall at 1080p60 that
  // the queue takes (a picture of 100 ms among 7 ms ones, which leaves it
  // more than half full): the rate stays.
  EXPECT_FALSE(queued(30, 12, 8, [](double) { return 29.0; }, true).fps);
  const Queued stall = queued(60, 6, 8, [](double t) { return t >= 3 && t < 3 + 1.0 / 60 ? 100.0 : 7.0; }, true);
  EXPECT_FALSE(stall.fps);
  EXPECT_EQ(stall.dropped, 0);
  EXPECT_GE(stall.mostWaited, 4);
}

TEST(FrameRateGovernorTest, AMachineSuddenlyTakenBringsThirtyDownBeforeTheHalfSecondEnds) {
  // 4K at 30 fps, other programs taking the cores at once at 8 s and the
  // encoder from 28.6 to 70 ms a picture: the queue of eight is three
  // quarters full within the half second, and the rate comes down to 15
  // (or first to 20, when a half second that ends early has seen too few of
  // the slow pictures) with nothing lost, whenever in its half second the
  // load came.
  for (const double at : {8.0, 8.1, 8.2, 8.3, 8.4}) {
    const Queued taken = queued(30, 12, 8, [&](double t) { return t < at ? 28.6 : 70.0; }, true);
    EXPECT_EQ(taken.dropped, 0) << at;
    ASSERT_TRUE(taken.fps) << at;
    EXPECT_LE(*taken.fps, 20) << at;
    EXPECT_LT(taken.atS, at + 0.5) << at;
  }
  // A load that comes in two steps: 40 ms a picture first, which fills the
  // queue slowly (too slowly for the quick reaction) until three half
  // seconds take the rate to 24, then 70 ms. A full queue cannot grow any
  // more, but the frames it has no room for count as if it had: the rate
  // does not wait for the half seconds after the change to be judged (six
  // and five lost when it did, at 9 s and at 10).
  for (const double second : {8.4, 8.8, 9.0, 10.0}) {
    const Queued stepped = queued(30, 12, 8, [&](double t) { return t < 8 ? 28.6 : t < second ? 40.0 : 70.0; }, true);
    EXPECT_LE(stepped.dropped, 2) << second;
  }
  // The same pictures, 25 ms each at 30 fps and then 40, before a queue
  // three quarters full: answered within the half second while it grows, not
  // while it stays as full as a stall or a faster rate before left it.
  const auto firstChange = [](bool growing) {
    FrameRateGovernor g(1.0 / 30);
    int64_t busy = 0;
    for (int i = 1; i <= 90; ++i) {
      busy += i <= 60 ? 25000000 : 40000000;
      const int waiting = !growing ? 7 : i <= 60 ? 2 : std::min(2 + (i - 60) / 2, 8);
      if (g.frame(int64_t(i) * 1000000000 / 30, false, 0, i, busy, waiting, 8)) return i;
    }
    return 0;
  };
  const int grew = firstChange(true), held = firstChange(false);
  EXPECT_GT(grew, 60);
  EXPECT_LT(grew, 70);
  EXPECT_TRUE(held == 0 || held >= 75) << held;
  // One slow picture among quick ones is a stall the queue rides out.
  const Queued stall = queued(30, 6, 8, [](double t) { return t >= 3 && t < 3 + 1.0 / 30 ? 200.0 : 20.0; }, true);
  EXPECT_FALSE(stall.fps) << stall.fps.value_or(0) << " at " << stall.atS << " waited " << stall.mostWaited;
  EXPECT_EQ(stall.dropped, 0);
  EXPECT_GE(stall.mostWaited, 6);
  // At 60 fps 0.3 s of load is not answered by halving the rate.
  const Queued moment = queued(60, 6, 8, [](double t) { return t >= 3 && t < 3.3 ? 24.0 : 7.0; }, true);
  EXPECT_FALSE(moment.fps);
  EXPECT_GE(moment.mostWaited, 6) << moment.dropped;
}

}  // namespace
}  // namespace nimbo
