#include "recording/screen_recorder.h"

#include "platform/geometry.h"
#include "util/emergency.h"

#include <QCoreApplication>
#include <QPointer>
#include <QRunnable>
#include <QScopeGuard>
#include <QThreadPool>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <numeric>

#include "recording/audio_level_meter.h"
#include "recording/audio_mixer.h"
#include "recording/frame_compositor.h"
#include "recording/video_writer.h"
#include "util/log.h"

namespace nimbo {

Error RecordingError::setupFailed(const QString& message) {
  return Error{"Couldn't start recording. " + message, kDomain, 1};
}
Error RecordingError::alreadyRecording() {
  return Error{QStringLiteral("A recording is already in progress."), kDomain, 2};
}
Error RecordingError::noDisplay() { return Error{QStringLiteral("Couldn't find a display to record."), kDomain, 3}; }
Error RecordingError::fromPlatform(const Error& e, Source source) {
  if (isPlatformError(e, PlatformErrorCode::noDisplay)) return noDisplay();
  if (isPlatformError(e, PlatformErrorCode::windowGone))
    return setupFailed(QStringLiteral("That window is gone — pick another one."));
  const bool missing = isPlatformError(e, PlatformErrorCode::noDevice);
  if (source == Source::microphone)
    return setupFailed(missing ? QStringLiteral("No microphone found.") : QStringLiteral("Couldn't attach the microphone."));
  if (source == Source::camera)
    return setupFailed(missing ? QStringLiteral("No camera found.") : QStringLiteral("Couldn't attach the camera."));
  // Nothing the user can act on: the detail, for a bug report.
  return setupFailed(e.description);
}

namespace {

int evenDown(double v) { return int(std::floor(v)) & ~1; }

}  // namespace

QSize ScreenRecorder::outputSize(double w, double h, double scale) {
  const double pw = w * scale, ph = h * scale;
  if (pw <= 3840 && ph <= 3840) return QSize(evenDown(pw), evenDown(ph));
  const double factor = std::min(3840 / pw, 3840 / ph);
  return QSize(int(std::lround(factor * pw)) & ~1, int(std::lround(factor * ph)) & ~1);
}

std::optional<ScreenInfo> ScreenRecorder::displayContainingMostOf(const QRectF& rect,
                                                                  const std::vector<ScreenInfo>& screens) {
  if (screens.empty()) return std::nullopt;
  if (screens.size() == 1) return screens.front();
  // Areas are the same in either orientation.
  std::optional<ScreenInfo> best;
  double bestArea = -1;
  for (const ScreenInfo& s : screens) {
    const QRectF i = s.frame.intersected(rect);
    const double area = i.isEmpty() ? 0 : i.width() * i.height();
    if (area > bestArea) best = s, bestArea = area;
  }
  return best;
}

ScreenRecorder::ScreenRecorder() : preparing_(std::make_unique<QThreadPool>()) {
  // Its own thread, so nothing else queued in the process holds it up; let
  // go of when idle.
  preparing_->setMaxThreadCount(1);
  preparing_->setExpiryTimeout(2000);
}

ScreenRecorder::~ScreenRecorder() {
  discardPrepared();
  preparing_->waitForDone();
  Emergency::remove(emergencyHook_);
  teardown();
  if (writer_) writer_->finish(std::nullopt, nullptr);
}

std::optional<double> ScreenRecorder::firstFrameAfter() const {
  std::lock_guard l(samples_);
  if (!firstFrameNs_) return std::nullopt;
  return double(*firstFrameNs_ - startNs_) / 1e9;
}

int ScreenRecorder::framesWritten() const { return writer_ ? writer_->framesWritten() : finalWritten_; }
int ScreenRecorder::framesDropped() const { return writer_ ? writer_->framesDropped() : finalDropped_; }

Result<ScreenRecorder::Plan> ScreenRecorder::plan(const ScreenInfo& screen, const RecorderConfig& config,
                                                  Camera* camera) const {
  ScreenStreamService& streams = *platform().screenStreams;
  const std::vector<ScreenInfo> screens = platform().screens->list();
  StreamRequest request;
  QSize size;
  switch (config.target) {
    case RecordTarget::screen: {
      // X11 displays are pixels: the whole monitor at its own pixel size.
      const std::optional<QRect> pixels = screen.displayId ? streams.displayPixels(*screen.displayId) : std::nullopt;
      if (!pixels) return RecordingError::noDisplay();
      request.displayID = screen.displayId;
      size = outputSize(pixels->width(), pixels->height(), 1);
      break;
    }
    case RecordTarget::window: {
      const std::optional<QSize> pixels = config.windowID ? streams.windowPixels(*config.windowID) : std::nullopt;
      if (!pixels) return RecordingError::setupFailed(QStringLiteral("That window is gone — pick another one."));
      request.windowID = config.windowID;
      size = outputSize(pixels->width(), pixels->height(), 1);
      break;
    }
    case RecordTarget::region: {
      if (!config.region || config.region->width() < 4 || config.region->height() < 4)
        return RecordingError::setupFailed(QStringLiteral("No region chosen — drag one first."));
      std::optional<ScreenInfo> display = displayContainingMostOf(*config.region, screens);
      if (!display) display = screen;
      const std::optional<QRect> pixels = display->displayId ? streams.displayPixels(*display->displayId) : std::nullopt;
      if (!pixels) return RecordingError::noDisplay();
      const QRectF local = geometry::globalToScreen(*config.region, display->frame)
                               .intersected(QRectF(0, 0, display->frame.width(), display->frame.height()));
      if (local.width() < 4 || local.height() < 4)
        return RecordingError::setupFailed(QStringLiteral("That region is off-screen now — drag a new one."));
      const double scale = display->scale;
      request.displayID = display->displayId;
      const double w = std::trunc(local.width()), h = std::trunc(local.height());
      request.source = QRect(int(std::lround(local.x() * scale)), int(std::lround(local.y() * scale)),
                             int(std::lround(w * scale)), int(std::lround(h * scale)))
                           .intersected(QRect(QPoint(0, 0), pixels->size()));
      size = outputSize(w, h, scale);
      break;
    }
  }
  if (size.width() < 2 || size.height() < 2) return RecordingError::noDisplay();
  request.frameInterval = camera || config.target == RecordTarget::window ? 1.0 / 30 : 1.0 / 60;
  request.showsCursor = true;
  return Plan{request, size, config.systemAudio || config.mic};
}

// A writer being made and a stream readied on a worker thread, handed over
// under the lock.
struct ScreenRecorder::Prepared {
  std::mutex lock;
  std::condition_variable ready;
  bool done = false, abandoned = false;
  QSize size;
  bool audio = false;
  StreamRequest request;
  Made made;  // its writer is nothing when making it failed
};

// Closing a writer that wrote nothing removes its file; its encoders, and a
// readied stream's connection, take a moment to let go, off the main thread.
void ScreenRecorder::dispose(Made made) {
  if (!made.writer && !made.stream) return;
  auto m = std::make_shared<Made>(std::move(made));
  preparing_->start(QRunnable::create([m]() mutable { m.reset(); }));
}

void ScreenRecorder::chooseAhead(const ScreenInfo& screen, const RecorderConfig& config,
                                 std::function<void(std::optional<Error>)> done) {
  const Result<Plan> p = plan(screen, config, nullptr);
  // start() says what is wrong with the plan.
  if (!p.ok()) return done(std::nullopt);
  platform().screenStreams->chooseAhead(p.value().request, [done = std::move(done)](std::optional<Error> refused) {
    done(refused ? std::optional<Error>(RecordingError::fromPlatform(*refused)) : std::nullopt);
  });
}

void ScreenRecorder::prepare(const ScreenInfo& screen, const RecorderConfig& config, Camera* camera) {
  discardPrepared();
  if (recording_) return;
  const Result<Plan> p = plan(screen, config, camera);
  // start() says what is wrong.
  if (!p.ok()) return;
  auto job = std::make_shared<Prepared>();
  job->size = p.value().size;
  job->audio = p.value().audio;
  job->request = p.value().request;
  prepared_ = job;
  preparing_->start(QRunnable::create([job] {
    Made made;
    try {
      Result<std::unique_ptr<VideoWriter>> r =
          VideoWriter::create(makeRecordingPath(), job->size.width(), job->size.height(), job->audio, 2);
      if (r.ok()) made.writer = r.take();
    } catch (const std::exception& e) {
      logLine(QStringLiteral("Nimbo: the recording's file could not be made ahead: ") + e.what());
    }
    bool abandoned = false;
    {
      std::lock_guard l(job->lock);
      abandoned = job->abandoned;
    }
    if (!abandoned) made.stream = platform().screenStreams->ready(job->request);
    std::unique_lock l(job->lock);
    if (job->abandoned) {
      l.unlock();
      made = {};
      return;
    }
    job->made = std::move(made);
    job->done = true;
    l.unlock();
    job->ready.notify_all();
  }));
}

void ScreenRecorder::discardPrepared() {
  const std::shared_ptr<Prepared> job = std::move(prepared_);
  if (!job) return;
  Made made;
  {
    std::lock_guard l(job->lock);
    job->abandoned = true;
    made = std::move(job->made);
  }
  dispose(std::move(made));
}

ScreenRecorder::Made ScreenRecorder::takePrepared(const Plan& wanted) {
  const std::shared_ptr<Prepared> job = std::move(prepared_);
  if (!job) return {};
  Made made;
  {
    // The countdown is three seconds, and making a writer and readying the
    // stream take little more than one; should they take far longer, the
    // start makes its own.
    std::unique_lock l(job->lock);
    if (!job->ready.wait_for(l, std::chrono::seconds(10), [&] { return job->done; })) {
      job->abandoned = true;
      logLine(QStringLiteral("Nimbo: the recording's file was not made during the countdown; making it now"));
      return {};
    }
    made = std::move(job->made);
  }
  // The stream service judges its own: a display may have moved.
  if (made.writer && (job->size != wanted.size || job->audio != wanted.audio)) dispose({std::move(made.writer), nullptr});
  return made;
}

Result<QString> ScreenRecorder::start(const ScreenInfo& screen, const RecorderConfig& config, Camera* camera) {
  if (recording_) return RecordingError::alreadyRecording();
  const int64_t began = monotonicNs();
  const Result<Plan> planned = plan(screen, config, camera);
  if (!planned.ok()) {
    discardPrepared();
    return planned.error();
  }
  const StreamRequest request = planned.value().request;
  const QSize size = planned.value().size;
  const bool audioEnabled = planned.value().audio;
  ScreenStreamService& streams = *platform().screenStreams;

  Made prepared = takePrepared(planned.value());
  // A readied stream the start does not get as far as using is let go of
  // off this thread.
  const auto leftOver = qScopeGuard([&] { dispose({nullptr, std::move(prepared.stream)}); });
  std::unique_ptr<VideoWriter> writer = std::move(prepared.writer);
  startedPrepared_ = bool(writer);
  if (writer) {
    // Named for the moment the recording starts, not the countdown's.
    writer->rename(makeRecordingPath());
  } else {
    Result<std::unique_ptr<VideoWriter>> made =
        VideoWriter::create(makeRecordingPath(), size.width(), size.height(), audioEnabled, 2);
    if (!made.ok()) return RecordingError::setupFailed(made.error().description);
    writer = made.take();
  }
  const QString path = writer->path();
  {
    std::lock_guard l(samples_);
    writer_ = std::move(writer);
    firstFrameNs_.reset();
    startNs_ = began;
    if (camera) {
      camera_ = camera;
      compositor_ = std::make_unique<FrameCompositor>();
    }
    if (audioEnabled) {
      mixer_ = std::make_unique<AudioMixer>();
      mixer_->onOutput = [this](MixedAudio mixed) {
        if (writer_) writer_->appendAudio(mixed);
        if (onAudioLevel)
          if (const std::optional<float> level = AudioLevelMeter::level(mixed.samples.data(), mixed.samples.size()))
            onAudioLevel(*level);
      };
    }
  }
  auto fail = [&](const Error& e) -> Result<QString> {
    teardown();
    std::unique_ptr<VideoWriter> w;
    {
      std::lock_guard l(samples_);
      w = std::move(writer_);
    }
    if (w) w->finish(std::nullopt, nullptr);
    return e;
  };
  AudioCaptureService& audio = *platform().audioCapture;
  auto feed = [this](bool isSystem) {
    return [this, isSystem](const AudioChunk& chunk) {
      std::lock_guard l(samples_);
      if (mixer_) mixer_->append(chunk, isSystem);
    };
  };
  if (config.systemAudio) {
    Result<std::unique_ptr<AudioStream>> s = audio.start(AudioSource::system, QString(), feed(true));
    if (!s.ok()) return fail(RecordingError::fromPlatform(s.error()));
    systemAudio_ = s.take();
  }
  if (config.mic) {
    Result<std::unique_ptr<AudioStream>> m = audio.start(AudioSource::microphone, config.micDeviceID.value_or(QString()),
                                                         feed(false));
    if (!m.ok()) return fail(RecordingError::fromPlatform(m.error(), RecordingError::Source::microphone));
    microphone_ = m.take();
  }
  Result<std::unique_ptr<ScreenStream>> s =
      streams.start(request, [this](const ScreenFrame& f) { onFrame(f); }, std::move(prepared.stream));
  if (!s.ok()) return fail(RecordingError::fromPlatform(s.error()));
  stream_ = s.take();
  {
    std::lock_guard l(samples_);
    governor_.emplace(request.frameInterval);
    finalFrameRate_ = 1.0 / request.frameInterval;
  }
  liveStream_ = stream_.get();
  request_ = request;
  size_ = size;
  recording_ = true;
  // Should the process have to end at once, the file is still closed
  // properly on the way out.
  emergencyHook_ = Emergency::add([this] { finishNow(); });
  return path;
}

void ScreenRecorder::onFrame(const ScreenFrame& frame) {
  std::lock_guard l(samples_);
  if (!writer_ || writer_->finished()) return;
  if (!firstFrameNs_) firstFrameNs_ = frame.ptsNs;
  if (compositor_ && camera_) {
    const QImage face = camera_->latestFrame();
    if (!face.isNull())
      if (const std::optional<ScreenFrame> out = compositor_->composite(frame, face)) {
        const bool kept = writer_->appendVideo(out->pixels, out->width, out->height, out->stride, frame.ptsNs);
        adaptRate(frame.ptsNs, !kept);
        return;
      }
  }
  // With a camera, the bubble changes more than the stream says.
  const bool kept = writer_->appendVideo(frame.pixels, frame.width, frame.height, frame.stride, frame.ptsNs,
                                         compositor_ && camera_ ? nullptr : frame.changed);
  adaptRate(frame.ptsNs, !kept);
}

void ScreenRecorder::adaptRate(int64_t ptsNs, bool dropped) {
  ScreenStream* stream = liveStream_;
  if (!governor_ || !stream || !firstFrameNs_) return;
  const double before = governor_->interval();
  const VideoWriter::QuickCost cost = writer_->quickCost();
  const std::optional<double> next = governor_->frame(ptsNs, dropped, stream->framesMissed(), cost.pictures, cost.busyNs,
                                                      writer_->framesWaiting(), writer_->mostFramesWaiting());
  if (!next) return;
  stream->setFrameInterval(*next);
  finalFrameRate_ = 1.0 / *next;
  const std::optional<double> perPicture = governor_->encoderCost();
  const QString took =
      perPicture ? QStringLiteral("the encoder took %1 ms a picture").arg(*perPicture * 1e3, 0, 'f', 1) : QString();
  const QString why =
      *next < before
          ? QStringLiteral("back up, this machine kept up with room to spare (%1)")
                .arg(perPicture ? took : QStringLiteral("the thorough encoder kept up"))
          : QStringLiteral("%1 fps was more than this machine could capture and encode (%2)")
                .arg(std::lround(1.0 / before))
                .arg(perPicture                   ? took
                     : governor_->lostNowAndThen() ? QStringLiteral("a frame was lost now and then")
                                                   : QStringLiteral("frames were being dropped"));
  logLine(QStringLiteral("Nimbo: recording %1x%2 at %3 fps from %4 s on: ")
              .arg(size_.width())
              .arg(size_.height())
              .arg(std::lround(1.0 / *next))
              .arg(double(ptsNs - *firstFrameNs_) / 1e9, 0, 'f', 1) +
          why);
}

std::optional<double> FrameRateGovernor::lowerTo(double next, std::optional<double> cost, bool nowAndThen) {
  // A step up that did not last: the next try waits longer.
  if (upAt_ && lastPts_ - *upAt_ < 2 * calmNeeded_ * kWindowNs)
    calmNeeded_ = std::min(calmNeeded_ * 2, kMostCalm * kCalmWindows);
  upAt_.reset();
  return changeTo(next, cost, nowAndThen);
}

std::optional<double> FrameRateGovernor::calm(bool lost, int quickPictures, int64_t quickBusyNs) {
  if (interval_ <= asked_ + 1e-9 || lost) {
    calm_ = 0;
    return std::nullopt;
  }
  // The quick encoder's totals at the end of each calm half second, the
  // newest last; the first ones stand for those before the calm.
  const QuickTotals now{quickPictures, quickBusyNs};
  if (calm_++ == 0) {
    calmTotals_.fill(now);
  } else {
    std::rotate(calmTotals_.begin(), calmTotals_.begin() + 1, calmTotals_.end());
    calmTotals_.back() = now;
  }
  if (calm_ < calmNeeded_) return std::nullopt;
  // The quick encoder's cost a picture in the calm's last kUpJudged half
  // seconds, when it worked enough to tell; the thorough one alone keeping
  // up leaves room to spare.
  const QuickTotals& from = calmTotals_.front();
  const int pictures = quickPictures - from.pictures;
  const std::optional<double> cost =
      pictures >= kEarlyPictures ? std::optional(double(quickBusyNs - from.busyNs) / pictures / 1e9) : std::nullopt;
  // The fastest step whose frame time that cost fits in with kUpShare, never
  // above the rate asked for nor more than twice this one (the capture's
  // work at most doubles); without a cost, the next step. None, and the
  // next half second is judged the same way: the end of a load that took
  // the first part of the calm does not wait for another whole calm.
  const double rate = 1.0 / interval_, asked = 1.0 / asked_;
  std::optional<double> faster;
  for (const double r : {20.0, 24.0, 30.0, asked}) {
    if (r <= rate + 0.5 || r > asked + 0.5 || r > 2 * rate + 0.5) continue;
    if (cost ? *cost < kUpShare / r : !faster) faster = r;
  }
  if (!faster) return std::nullopt;
  calm_ = 0;
  upAt_ = lastPts_;
  return changeTo(*faster, cost);
}

std::optional<double> FrameRateGovernor::changeTo(double next, std::optional<double> cost, bool nowAndThen) {
  interval_ = 1.0 / next;
  encoderCost_ = cost;
  nowAndThen_ = nowAndThen;
  calm_ = 0;
  // Frames of the old rate are still queued: the window in progress starts
  // again, and is not judged.
  windowStart_.reset();
  offered_ = dropped_ = lossMoments_ = 0;
  longWindows_ = longDue_ = longMoments_ = 0;
  dearWindows_ = dearPictures_ = 0;
  dearBusyNs_ = 0;
  lastLost_ = false;
  settling_ = 1;
  // The pictures of the old rate say nothing of the new one.
  recentCount_ = 0;
  return interval_;
}

double FrameRateGovernor::stepBelow(double rate, double holds) {
  for (const double r : {30.0, 24.0, 20.0})
    if (r < rate - 0.5 && r <= holds) return r;
  return 1.0 / kSlowest;
}

void FrameRateGovernor::noteRecent(int quickPictures, int64_t quickBusyNs, int held, int mostWaiting) {
  const int pictures = quickPictures - lastQuickPictures_;
  if (pictures > 0) {
    std::rotate(recent_.begin(), recent_.begin() + 1, recent_.end());
    recent_.back() = {double(quickBusyNs - lastQuickBusyNs_) / pictures / 1e9, held};
    recentCount_ = std::min(recentCount_ + 1, kRecentPictures);
    framesWithoutQuick_ = 0;
  } else if (++framesWithoutQuick_ > std::max(mostWaiting, 1)) {
    // The thorough encoder's turn, or a still screen: what the quick one cost
    // before is no longer what it costs.
    recentCount_ = 0;
  }
  lastQuickPictures_ = quickPictures;
  lastQuickBusyNs_ = quickBusyNs;
}

std::optional<double> FrameRateGovernor::recentlySlower() const {
  // A machine shared with other programs does not slow every picture alike:
  // all but one is enough.
  if (recentCount_ < kRecentPictures ||
      std::count_if(recent_.begin(), recent_.end(), [&](const Recent& r) { return r.cost > interval_; }) <
          kRecentPictures - 1)
    return std::nullopt;
  return std::accumulate(recent_.begin(), recent_.end(), 0.0, [](double sum, const Recent& r) { return sum + r.cost; }) /
         kRecentPictures;
}

std::optional<double> FrameRateGovernor::frame(int64_t ptsNs, bool dropped, int missedSoFar, int quickPictures,
                                               int64_t quickBusyNs, int waiting, int mostWaiting) {
  if (!firstPts_) firstPts_ = ptsNs;
  lastPts_ = ptsNs;
  if (dropped) ++droppedSoFar_;
  noteRecent(quickPictures, quickBusyNs, waiting + droppedSoFar_, mostWaiting);
  const double rate = 1.0 / interval_;
  const double cost = quickPictures > 0 ? double(quickBusyNs) / quickPictures / 1e9 : 0;
  // Half the pictures tell a cost far over the frame's time well enough, and
  // the queue fills quickly behind one: a 36 ms encoder at 60 fps fills
  // eight places in about a third of a second.
  if (!costSeen_ && (quickPictures >= kEarlyPictures ||
                     (quickPictures >= kEarlyPictures / 2 && cost > kClearlyOver * interval_))) {
    costSeen_ = true;
    if (ptsNs - *firstPts_ <= kEarlyNs && cost > kEncoderShare * interval_ && interval_ < kSlowest - 1e-9) {
      // The fastest rate whose frame time the cost fits in: measured while
      // the capture ran at the higher rate, with the cores shared, the cost
      // is a little over what it will be at the lower one.
      return lowerTo(stepBelow(rate, 1.0 / cost), cost);
    }
  }
  // At 30 fps or less, a queue three quarters full and still growing behind
  // an encoder that has been slower than the frames for several pictures
  // comes down now; a full one grows by the frames it drops. (Not one that
  // only drains slowly what a faster rate before left in it.)
  if (rate < 30.5 && interval_ < kSlowest - 1e-9 && mostWaiting > 0 && waiting * 4 >= mostWaiting * 3)
    if (const std::optional<double> dear = recentlySlower();
        dear && waiting + droppedSoFar_ - recent_.front().held >= 2)
      return lowerTo(stepBelow(rate, 1.0 / *dear), dear);
  if (!windowStart_) {
    windowStart_ = ptsNs;
    missedAtStart_ = missedSoFar;
    windowPictures_ = quickPictures;
    windowBusyNs_ = quickBusyNs;
  }
  ++offered_;
  if (dropped) ++dropped_;
  const bool lostHere = dropped || missedSoFar > lastMissed_.value_or(missedSoFar);
  if (lostHere && !lastLost_) ++lossMoments_;
  lastLost_ = lostHere;
  lastMissed_ = missedSoFar;
  const int64_t span = ptsNs - *windowStart_;
  if (span < kWindowNs) return std::nullopt;
  const int missed = std::max(0, missedSoFar - missedAtStart_);
  const int due = offered_ + missed, lost = dropped_ + missed, moments = lossMoments_;
  windowStart_.reset();
  offered_ = dropped_ = lossMoments_ = 0;
  // The first half second (the encoder warming up) and the one after a
  // change (frames of the old rate still queued) do not count.
  if (settling_ > 0) {
    --settling_;
    return std::nullopt;
  }
  // Losses at one or two moments are a stall, unless they took most of the
  // window: then the machine kept hardly anything, whatever the cause.
  const bool stall = moments < kLossMoments && lost * 4 < due * 3;
  // A still screen's half second, with hardly a frame, says nothing either
  // way. At 15 fps a moving one brings fewer than kMinFrames: for the calm,
  // half of what the rate brings is enough.
  const int brought = int(double(span) / 1e9 / interval_);
  if (due >= std::min(kMinFrames, (brought + 1) / 2))
    if (const std::optional<double> up = calm(lost > 0, quickPictures, quickBusyNs)) return up;
  if (interval_ >= kSlowest - 1e-9) return std::nullopt;
  if (due >= kMinFrames && lost * 10 > due && !stall) {
    // The rate the half second showed this machine keeps, in one step; once
    // lowered, the next step down unless it kept less than half.
    double next = stepBelow(rate, double(due - lost) * 1e9 / double(span));
    if (interval_ > asked_ + 1e-9 && (due - lost) * 2 >= due) next = std::max(next, stepBelow(rate, rate));
    return lowerTo(next, std::nullopt);
  }
  // The quick encoder needing longer for the frames that came than the half
  // second they came in, half second after half second, is a queue that
  // grows: it will lose frames once it is full, so the rate comes down now,
  // to what that cost fits in. (The window's frames span one frame's time
  // more than from its first to its last; a screen that changes at every
  // other tick gives the encoder twice the time.)
  const int pictures = quickPictures - windowPictures_;
  const int64_t busy = quickBusyNs - windowBusyNs_;
  if (pictures > 0 && double(busy) / pictures * due > double(span) + interval_ * 1e9) {
    dearPictures_ += pictures;
    dearBusyNs_ += busy;
    // (Half full after a stall, with the pictures since quick again, is not.)
    const bool halfFull = mostWaiting > 0 && waiting * 2 >= mostWaiting && recentlySlower();
    const int enough = halfFull ? kEarlyPictures / 2 : kEarlyPictures;
    if ((++dearWindows_ >= kDearWindows || halfFull) && dearPictures_ >= enough) {
      // Judged as lost frames are: more than one in ten to be lost comes
      // down; fewer, only when the step costs little (60 fps losing a
      // picture a second keeps more than 30 would).
      const double dear = double(dearBusyNs_) / dearPictures_ / 1e9;
      const double keeps = 1.0 / dear, next = stepBelow(rate, keeps);
      if (keeps < 0.9 * rate || next >= kLongKeep * keeps) return lowerTo(next, dear);
    }
  } else {
    dearWindows_ = dearPictures_ = 0;
    dearBusyNs_ = 0;
  }
  // A rate the machine only just misses loses a picture now and then, one
  // at a time, too few for a half second to tell: the last two seconds
  // judged together do. Counted by moments, so that a stall, however many
  // frames it took, is one.
  longDue_ += due, longMoments_ += moments;
  if (++longWindows_ < kLongWindows) return std::nullopt;
  const int longDue = longDue_, longMoments = longMoments_;
  longWindows_ = longDue_ = longMoments_ = 0;
  if (longMoments < kLongMoments || longMoments * kLongShare <= longDue) return std::nullopt;
  // Only for a step that costs little: from 30 to 24, yes; from 60 to 30,
  // which would throw away half of what was kept, no.
  const double kept = rate * double(longDue - longMoments) / double(longDue);
  const double next = stepBelow(rate, kept);
  if (next < kLongKeep * kept) return std::nullopt;
  return lowerTo(next, std::nullopt, true);
}

void ScreenRecorder::teardown() {
  // Sources first, so nothing arrives while the writer closes.
  microphone_.reset();
  systemAudio_.reset();
  if (stream_) idle_ = stream_->framesIdle(), missed_ = stream_->framesMissed();
  liveStream_ = nullptr;  // the capture thread is still running until the reset
  stream_.reset();
  std::lock_guard l(samples_);
  camera_ = nullptr;
  compositor_.reset();
}

std::unique_ptr<VideoWriter> ScreenRecorder::endSources() {
  recording_ = false;
  Emergency::remove(emergencyHook_);
  emergencyHook_ = 0;
  teardown();
  std::lock_guard l(samples_);
  // What the mixer still holds goes in before the writer is taken away.
  if (mixer_) mixer_->emit(mixer_->accEnd());
  mixer_.reset();
  return std::move(writer_);
}

void ScreenRecorder::hideWindows(std::vector<quint32> windowIDs) {
  if (stream_) stream_->setHiddenWindows(std::move(windowIDs));
}

void ScreenRecorder::finishNow() {
  discardPrepared();
  preparing_->waitForDone();
  if (!recording_) return;
  const int64_t end = monotonicNs();
  std::unique_ptr<VideoWriter> writer = endSources();
  if (!writer) return;
  writer->finish(end, nullptr);
  writer.reset();  // joins the writer's thread, which has written the index by then
}

void ScreenRecorder::stop(std::function<void(std::optional<QString>)> done) {
  if (!recording_) {
    if (done) done(std::nullopt);
    return;
  }
  const int64_t end = monotonicNs();
  std::unique_ptr<VideoWriter> writer = endSources();
  if (!writer) {
    if (done) done(std::nullopt);
    return;
  }
  VideoWriter* w = writer.release();
  QPointer<ScreenRecorder> self(this);
  w->finish(end, [w, done, self](std::optional<QString> path) {
    // Back on the main thread; the writer's thread has ended by the time
    // this runs, so it can be destroyed there.
    QMetaObject::invokeMethod(
        qApp,
        [w, done, path, self] {
          if (self) self->finalWritten_ = w->framesWritten(), self->finalDropped_ = w->framesDropped();
          delete w;
          if (done) done(path);
        },
        Qt::QueuedConnection);
  });
}

}  // namespace nimbo
