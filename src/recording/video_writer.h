#pragma once
// One recording's MP4: H.264 video and, when audio is on, AAC 48 kHz. Frames
// are converted on the caller's thread and encoded on the writer's own
// thread; a frame that finds the encoder busy is dropped, never queued
// without bound. The file is fragmented MP4 from start to end, a fragment
// a second and a keyframe every ten seconds: a killed process leaves a
// playable file that lacks at most its last second (killed in its first
// second, it leaves none under the recording's name), and finish() only
// appends the last fragment and a random-access index and fills in the
// durations at the front, so it takes as long for an hour as for a minute.
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <deque>
#include <optional>
#include <utility>

#include "util/result.h"

class QRegion;

namespace nimbo {

struct MixedAudio;

// Which of a recording's two H.264 encoders takes the next picture. The
// thorough one (more motion search, CABAC) makes an everyday recording
// less than a third of the size, but in full motion costs two to three times
// the quick one per picture: more than 1080p60 leaves on two cores. The
// writer leaves the thorough one at once, with a keyframe, when it falls
// behind the recording's clock (by 50 ms, three pictures at 60 fps) or is
// busy more than 70 % of the recording's time over the last two seconds
// (judged after one). Busy is wall time: while other programs take the
// cores each picture takes longer though the screen is no harder, and a
// second of that alone must not bring in the quick one (falling behind
// still does). It comes back to the thorough one after two seconds in which
// the quick one kept up and was busy less than a quarter of the time (twice
// its work would leave half the time free): at once, with a keyframe of its
// own, unless the next scheduled keyframe is two seconds away or less, when
// it waits for that one. The quick one spends three to four times the bits
// on the same desktop, so a second of it costs more than the extra
// keyframe. After each return that lasted less than five seconds, the calm
// stretch asked for doubles, up to 32 s.
class EncoderChoice {
 public:
  enum Encoder { thorough, quick };
  explicit EncoderChoice(Encoder start) : current_(start) {}
  Encoder current() const { return current_; }
  // Before the picture at `ptsNs` (the capture's clock) starts encoding at
  // `wallNs` (the same clock): the encoder to give it to, when that is the
  // other one. `untilKeyframeNs`: how long until the next scheduled
  // keyframe, 0 when this picture is one.
  std::optional<Encoder> change(int64_t ptsNs, int64_t wallNs, int64_t untilKeyframeNs);
  // That picture took the encoder `busyNs`.
  void encoded(int64_t ptsNs, int64_t busyNs);

 private:
  // The share of the last `windowNs` of the recording the current encoder
  // was busy; nothing until it has encoded for `minSpanNs`.
  std::optional<double> load(int64_t nowNs, int64_t windowNs, int64_t minSpanNs) const;
  Encoder current_;
  std::optional<int64_t> fastest_;  // the least a picture waited to be encoded
  std::optional<int64_t> since_;  // the current encoder's first picture
  int64_t calmNeededNs_ = 2000000000LL;
  std::deque<std::pair<int64_t, int64_t>> recent_;  // (pts, busy), the last two seconds
};

class VideoWriter {
 public:
  // How many converted pictures may wait for the encoder before the next is
  // dropped: eight (133 ms at 60 fps, so a moment when other programs take
  // the cores costs no picture), as long as they stay within 100 MiB; never
  // fewer than five. At 4K (12 MB a picture) that is eight as well: the
  // encoder's cost decides the rate only after its first pictures, and
  // until then a 4K recording asked for 60 fps gets ahead of it by about
  // one picture in two; five filled before the decision came.
  static int maxPendingFrames(int width, int height);

  // `width` and `height` are the video's (even) pixel size; frames of any
  // size are scaled to it.
  static Result<std::unique_ptr<VideoWriter>> create(const QString& path, int width, int height, bool audioEnabled,
                                                     int audioChannels = 2);
  ~VideoWriter();

  // BGRA (or BGRX) pixels stamped on the monotonic clock. The first frame
  // starts the session. False when the frame was dropped. `changed`: where
  // it differs from the frame given before it (see ScreenFrame); a picture
  // reused from an earlier frame converts only what changed since that
  // frame.
  bool appendVideo(const uint8_t* bgra, int width, int height, int stride, int64_t ptsNs,
                   const QRegion* changed = nullptr);
  // Dropped unless audio is attached, the session has started and the
  // buffer is not older than its start.
  void appendAudio(const MixedAudio& audio);
  // Ends the file. `endPtsNs`: when the picture stood still until then, the
  // last frame is shown until that time. The completion runs on the writer's
  // thread with the finished file, or nothing when no frame was written.
  void finish(std::optional<int64_t> endPtsNs, std::function<void(std::optional<QString>)> completion);

  QString path() const;
  // The name the file takes once its first second is written, in place of
  // the one it was made with. Before the first frame only.
  void rename(const QString& path);
  bool finished() const;
  int framesWritten() const;
  int framesDropped() const;
  // How often the video went from one encoder to the other.
  int encoderChanges() const;
  // What the quick encoder (the one nothing faster stands behind) has cost
  // so far: its pictures other than keyframes, and the time they took it.
  struct QuickCost {
    int pictures = 0;
    int64_t busyNs = 0;
  };
  QuickCost quickCost() const;
  // Converted pictures waiting for the encoder now, and the most that may
  // (maxPendingFrames for this video).
  int framesWaiting() const;
  int mostFramesWaiting() const;

 private:
  VideoWriter();
  struct Impl;
  std::unique_ptr<Impl> d;
};

// "Nimbo-yyyy-MM-dd-at-HH.mm.ss.mp4" in the recordings folder (created when
// missing; the temporary folder when it cannot be).
QString makeRecordingPath();

// A recording goes by a hidden name with its process id until its first
// fragment is whole; those of processes that are gone (killed in their
// first second, with nothing to play) are removed from `folder`. Called at
// start-up, before anything is recorded.
void removeAbandonedRecordings(const QString& folder);

}  // namespace nimbo
