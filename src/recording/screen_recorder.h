#pragma once
// Turns a recorder configuration into a running capture: the screen stream,
// the microphone and the system sound, mixed and written to one MP4.
#include <QObject>
#include <QSize>
#include <QString>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/platform.h"
#include "recording/recorder_config.h"
#include "util/result.h"

class QThreadPool;

namespace nimbo {

class AudioMixer;
class FrameCompositor;
class VideoWriter;

namespace RecordingError {
inline constexpr char kDomain[] = "Nimbo.Recording";
Error setupFailed(const QString& message);  // "Couldn't start recording. " + message
Error alreadyRecording();
Error noDisplay();
// A platform error of the screen stream, an audio source or the camera, in
// words.
enum class Source { screen, microphone, camera };
Error fromPlatform(const Error& e, Source source = Source::screen);
}  // namespace RecordingError


// Lowers a recording's frame rate when the capture or the encoder cannot
// keep it. Each half second in which at least kMinFrames frames were due is
// judged (but the first, and the one after a change): when more than one in
// ten of them was dropped or missed, the rate comes down to the fastest of
// 30, 24, 20 and 15 frames a second that the frames kept in that half
// second reach, never lower; once it has come down, a step at a time
// unless the half second kept less than half of them (at 24 fps a dozen
// frames measure a rate coarsely, and a moment's load on a busy machine
// took a 4K recording from 24 to 15). A rate the machine keeps drops no
// frame, where one it cannot keep drops them at random, so the judgement
// comes as early as a fair count allows: 30 frames due at 60 fps, 10 at 20.
// One it only just misses drops a picture now and then; every two seconds
// (kLongWindows) the half seconds are judged together as well, and when
// the step below costs little (30 to 24, not 60 to 30) the rate comes down.
// Earlier still, before any frame is lost, it looks once at what the quick
// encoder (the one nothing faster stands behind) costs a picture: when that
// is more than kEncoderShare of a frame's time within the recording's
// first kEarlyNs, the rate comes down to the fastest whose frame time it
// fits in (judged from kEarlyPictures, or half as many when the cost is
// more than kClearlyOver times the frame's time). That look, with a tenth
// to spare, comes once; after it, the quick encoder needing longer for the
// frames that came than the time they came in, in kDearWindows half
// seconds in a row (the queue before it growing, so that frames will be
// lost once it is full; a moment's stall is over sooner), brings the rate
// down to the fastest whose frame time that cost fits in, before they are;
// where it would lose no more than one in ten, only when that step costs
// little, as with frames lost now and then. When the queue is already half
// full at the end of such a half second, and all but one of the last
// kRecentPictures pictures took the quick encoder longer than a frame's
// time (a slower machine, not one or two slow pictures: a stall, which the
// queue is there to ride out), one is enough: a machine that slowed down
// under a recording at its limit (4K at 30 fps on two cores) fills the
// rest before three have passed. At 30 fps or less, a queue three quarters
// full and growing behind such pictures (a full one grows by the frames
// it drops) does not wait for the half second to end: a machine suddenly
// taken by other programs fills eight places within it. (At 60 fps a
// moment's load loses less than the halving that would answer it.)
// A rate brought down goes back up after kCalmWindows half seconds in a
// row without a loss (a still screen's, with fewer than kMinFrames frames
// or half of what the rate brings, whichever is fewer, do not count): to
// the fastest of 20, 24, 30 and the rate asked for (never above it, nor
// more than twice the rate) in kUpShare of whose frame time the quick
// encoder's cost a picture over the last kUpJudged of them fits; a step,
// when the quick encoder did not work then. kUpShare is the share the
// start's look lets a rate keep: at the faster rate the encoder shares the
// cores more, but in motion each picture holds less change there and
// costs less (a 4K recording's pictures cost 28 ms at 30 fps and 33 at
// 20). When no rate fits, the calm goes on and is judged again each half
// second, so a program that kept the cores busy for a while costs only
// that while. A step up that proves too fast comes down again by the
// rules above, mostly before a frame is lost (the queue is watched); when
// it is lost within twice the calm it waited for, the calm asked for
// before the next doubles, up to kMostCalm times.
class FrameRateGovernor {
 public:
  static constexpr int kMinFrames = 10;
  static constexpr double kSlowest = 1.0 / 15;
  static constexpr int64_t kWindowNs = 500000000;
  // A single stall (the machine or the X server busy elsewhere for a moment)
  // loses frames in a row; a rate the machine cannot keep loses them again
  // and again. Only losses at this many separate moments in a window count.
  static constexpr int kLossMoments = 3;
  // Four half seconds in a row judged together: losses at four separate
  // moments or more, and more often than once in 30 frames, lower the rate
  // as well, to a step that keeps at least kLongKeep of the frames kept.
  static constexpr int kLongWindows = 4;
  static constexpr int kLongMoments = 4;
  static constexpr int kLongShare = 30;
  static constexpr double kLongKeep = 0.8;
  static constexpr int kEarlyPictures = 8;
  static constexpr int64_t kEarlyNs = 2000000000;
  static constexpr double kEncoderShare = 0.9;
  static constexpr double kClearlyOver = 1.5;
  static constexpr int kDearWindows = 3;
  static constexpr int kCalmWindows = 10;
  static constexpr int kUpJudged = 8;
  static constexpr double kUpShare = kEncoderShare;
  static_assert(kUpJudged < kCalmWindows, "the cost is judged over the calm's last half seconds");
  static constexpr int kMostCalm = 16;
  static constexpr int kRecentPictures = 4;
  explicit FrameRateGovernor(double interval) : asked_(interval), interval_(interval) {}
  // A frame delivered at `ptsNs`, `dropped` when the encoder had no room
  // for it, with the capture's count of missed ticks so far, the quick
  // encoder's pictures so far (keyframes aside) and the time they took it,
  // and how many pictures wait for the encoder of the most that may.
  // A new interval when the rate has to come down, or may go back up.
  std::optional<double> frame(int64_t ptsNs, bool dropped, int missedSoFar, int quickPictures = 0,
                              int64_t quickBusyNs = 0, int waiting = 0, int mostWaiting = 0);
  double interval() const { return interval_; }
  // Why the last change came: the quick encoder's cost a picture (seconds)
  // when that was it, nothing when frames were being lost; after a step up,
  // its cost in the calm, when it worked then.
  std::optional<double> encoderCost() const { return encoderCost_; }
  // Or that frames were lost one at a time, seen over two seconds.
  bool lostNowAndThen() const { return nowAndThen_; }

 private:
  // To `next` frames a second, for the reason given: the quick encoder's
  // cost a picture, or lost frames (`nowAndThen`: one at a time).
  std::optional<double> lowerTo(double next, std::optional<double> cost, bool nowAndThen = false);
  std::optional<double> changeTo(double next, std::optional<double> cost, bool nowAndThen = false);
  // After a half second judged, with the quick encoder's totals: a faster
  // rate when the calm has lasted long enough.
  std::optional<double> calm(bool lost, int quickPictures, int64_t quickBusyNs);
  // The fastest of 30, 24 and 20 below `rate` that is no more than
  // `holds`; else 15. Steps of a fifth or so: a machine that only just
  // misses 30 keeps more of the picture at 24 than at 20.
  static double stepBelow(double rate, double holds);
  const double asked_;
  double interval_;
  std::optional<int64_t> firstPts_;
  int64_t lastPts_ = 0;
  // Half seconds in a row without a loss at a lowered rate, and the quick
  // encoder's totals at the end of the last kUpJudged of them and of the
  // one before.
  int calm_ = 0, calmNeeded_ = kCalmWindows;
  struct QuickTotals {
    int pictures = 0;
    int64_t busyNs = 0;
  };
  std::array<QuickTotals, kUpJudged + 1> calmTotals_{};
  std::optional<int64_t> upAt_;  // when the rate last went up
  bool costSeen_ = false;
  std::optional<double> encoderCost_;
  bool nowAndThen_ = false;
  std::optional<int64_t> windowStart_;
  int offered_ = 0, dropped_ = 0, missedAtStart_ = 0;
  // Separate moments in the window at which frames were lost (a run of
  // losses in a row is one), and the capture's missed count at the last
  // frame.
  int lossMoments_ = 0;
  // The quick encoder's totals when the window began; the half seconds in a
  // row judged in which it needed longer for the frames that came than the
  // time they came in, and its pictures and their time in them.
  int windowPictures_ = 0, dearWindows_ = 0, dearPictures_ = 0;
  int64_t windowBusyNs_ = 0, dearBusyNs_ = 0;
  // The half seconds judged since the last change or long judgement.
  int longWindows_ = 0, longDue_ = 0, longMoments_ = 0;
  std::optional<int> lastMissed_;
  bool lastLost_ = false;
  int settling_ = 1;
  // The quick encoder's cost a picture for its last pictures, as the totals
  // grew from one frame to the next (a frame's worth of pictures at a time),
  // with what the queue held as each was noted (counting the frames dropped
  // so far as held: a full queue grows by what it has no room for); and
  // those totals at the last frame.
  struct Recent {
    double cost = 0;
    int held = 0;
  };
  std::array<Recent, kRecentPictures> recent_{};
  int recentCount_ = 0, lastQuickPictures_ = 0, framesWithoutQuick_ = 0, droppedSoFar_ = 0;
  int64_t lastQuickBusyNs_ = 0;
  void noteRecent(int quickPictures, int64_t quickBusyNs, int held, int mostWaiting);
  // The last kRecentPictures' cost a picture when all but one of them took
  // the quick encoder longer than a frame's time: a machine slower than the
  // rate, not a stall.
  std::optional<double> recentlySlower() const;
};

class ScreenRecorder : public QObject {
  Q_OBJECT
 public:
  ScreenRecorder();
  ~ScreenRecorder() override;

  // Starts recording and returns the path of the file being written.
  // `screen` is the screen the countdown ran on.
  Result<QString> start(const ScreenInfo& screen, const RecorderConfig& config, Camera* camera = nullptr);
  // Makes the file and its encoders for the recording about to start, and
  // readies the screen stream, on a worker thread while the countdown runs:
  // at 4K that takes more than a second, which would otherwise be cut from
  // the start of the recording. start() takes the file when the size and
  // the sound still match, and gives it the name of the moment it starts.
  void prepare(const ScreenInfo& screen, const RecorderConfig& config, Camera* camera = nullptr);
  // Before the countdown: where the desktop would ask what to share at the
  // start, it asks now. `done` gets why not when the user declined.
  void chooseAhead(const ScreenInfo& screen, const RecorderConfig& config, std::function<void(std::optional<Error>)> done);
  // Lets go of what prepare() made (the countdown was cancelled); nothing
  // is left on disk.
  void discardPrepared();
  // Stops; `done` runs on the main thread with the finished file, or
  // nothing when nothing usable was written.
  void stop(std::function<void(std::optional<QString>)> done);
  bool isRecording() const { return recording_; }
  // Our own windows to leave out of the picture (see ScreenStream).
  void hideWindows(std::vector<quint32> windowIDs);
  // Stops and closes the file before returning, blocking the caller: for a
  // process that is about to end.
  void finishNow();

  // Mixed audio level for the meters, from the sample thread.
  std::function<void(float)> onAudioLevel;

  // What the last start chose, for tests and the self-test.
  StreamRequest lastRequest() const { return request_; }
  bool lastStartWasPrepared() const { return startedPrepared_; }
  // Seconds from the last start() to its first frame; nothing before it came.
  std::optional<double> firstFrameAfter() const;
  QSize outputSize() const { return size_; }
  int framesWritten() const;
  int framesDropped() const;
  // Of the last recording: frames in which nothing changed (not written),
  // and ticks the capture missed because it fell behind.
  int framesIdle() const { return idle_; }
  int framesMissed() const { return missed_; }
  // The frame rate the last recording ended at (lower than it started at
  // when the machine could not keep up).
  double finalFrameRate() const { return finalFrameRate_; }

  // Pixel size of a capture of w × h points at `scale`: never above 3840
  // on either side (scaled down keeping the shape), always even.
  static QSize outputSize(double w, double h, double scale);
  // The screen with the largest share of `rect` (global points, y up); the
  // first one on ties and when it touches none.
  static std::optional<ScreenInfo> displayContainingMostOf(const QRectF& rect, const std::vector<ScreenInfo>& screens);

 private:
  // What a configuration asks of the screen stream and the file.
  struct Plan {
    StreamRequest request;
    QSize size;
    bool audio = false;
  };
  struct Prepared;
  // What a countdown made: the file's writer and the readied stream.
  struct Made {
    std::unique_ptr<VideoWriter> writer;
    std::unique_ptr<ScreenStreamService::Readied> stream;
  };
  Result<Plan> plan(const ScreenInfo& screen, const RecorderConfig& config, Camera* camera) const;
  // What was prepared, its writer only when made for `plan` (a mismatched
  // one goes); the stream service judges the stream itself.
  Made takePrepared(const Plan& plan);
  void dispose(Made made);
  void onFrame(const ScreenFrame& frame);
  void adaptRate(int64_t ptsNs, bool dropped);
  void teardown();
  // Stops every source and hands back the writer, still to be finished.
  std::unique_ptr<VideoWriter> endSources();

  std::atomic<bool> recording_{false};
  mutable std::mutex samples_;  // every frame, chunk, mix and write
  std::unique_ptr<VideoWriter> writer_;
  std::unique_ptr<AudioMixer> mixer_;
  std::unique_ptr<ScreenStream> stream_;
  // The running stream as the capture thread sees it, and its rate.
  std::atomic<ScreenStream*> liveStream_{nullptr};
  std::optional<FrameRateGovernor> governor_;  // under samples_
  std::optional<int64_t> firstFrameNs_;         // under samples_: when the recording's first frame came
  int64_t startNs_ = 0;                         // under samples_: when start() began on it
  std::atomic<double> finalFrameRate_{0};
  std::unique_ptr<AudioStream> microphone_, systemAudio_;
  Camera* camera_ = nullptr;
  std::unique_ptr<FrameCompositor> compositor_;
  StreamRequest request_;
  QSize size_;
  int finalWritten_ = 0, finalDropped_ = 0;  // of the last finished recording
  int idle_ = 0, missed_ = 0;
  int emergencyHook_ = 0;
  std::unique_ptr<QThreadPool> preparing_;  // makes and lets go of what a countdown prepares
  std::shared_ptr<Prepared> prepared_;
  bool startedPrepared_ = false;
};

}  // namespace nimbo
