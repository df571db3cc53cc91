#pragma once
// One recording's MP4: H.264 video and, when audio is on, AAC 48 kHz. Frames
// are converted on the caller's thread and encoded on the writer's own
// thread; a frame that finds the encoder busy is dropped, never queued
// without bound. The file is fragmented MP4 from start to end, a fragment
// a second and a keyframe every five: a killed process leaves a playable
// file that lacks at most its last second (killed in its first second, it
// leaves none under the recording's name), and finish() only appends the
// last fragment and a random-access index and fills in the durations at the
// front, so it takes as long for an hour as for a minute.
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "util/result.h"

namespace nimbo {

struct MixedAudio;

class VideoWriter {
 public:
  // How many converted pictures may wait for the encoder before the next is
  // dropped: eight (133 ms at 60 fps, so a moment when other programs take
  // the cores costs no picture), as long as they stay within 24 MiB; never
  // fewer than three (a 4K picture is 12 MB, and a machine too slow for the
  // rate is better told early).
  static int maxPendingFrames(int width, int height);

  // `width` and `height` are the video's (even) pixel size; frames of any
  // size are scaled to it.
  static Result<std::unique_ptr<VideoWriter>> create(const QString& path, int width, int height, bool audioEnabled,
                                                     int audioChannels = 2);
  ~VideoWriter();

  // BGRA (or BGRX) pixels stamped on the monotonic clock. The first frame
  // starts the session. False when the frame was dropped.
  bool appendVideo(const uint8_t* bgra, int width, int height, int stride, int64_t ptsNs);
  // Dropped unless audio is attached, the session has started and the
  // buffer is not older than its start.
  void appendAudio(const MixedAudio& audio);
  // Ends the file. `endPtsNs`: when the picture stood still until then, the
  // last frame is shown until that time. The completion runs on the writer's
  // thread with the finished file, or nothing when no frame was written.
  void finish(std::optional<int64_t> endPtsNs, std::function<void(std::optional<QString>)> completion);

  QString path() const;
  bool finished() const;
  int framesWritten() const;
  int framesDropped() const;

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
