#pragma once
// Mixes the computer's sound and the microphone into one 48 kHz float stereo
// stream on a shared timeline, holding back the newest 50 ms, and more until
// every source that has begun has reached a point (up to 250 ms), so the
// slower one can still land in it. Each source is laid down without gaps or
// overlaps of its own: a chunk follows the one before unless its time says
// it came clearly later (a pause) or the source has run ahead of its times
// for seconds (a fast clock), which pulls it back, in a quiet moment where
// one comes. Sound that comes after its place has been handed out goes in
// at the first place still open. Not thread-safe: the recorder calls it
// under its sample lock.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/media_types.h"

struct SwrContext;

namespace nimbo {

namespace ffmpeg {
struct Api;
}

// Mixed output: interleaved stereo floats, each clamped to ±1.
struct MixedAudio {
  int64_t ptsNs = 0;
  std::vector<float> samples;
  int frames() const { return int(samples.size() / 2); }
};

class AudioMixer {
 public:
  static constexpr int kSampleRate = 48000;
  static constexpr int64_t kHoldback = 2400;
  static constexpr int64_t kMaxHoldback = 12000;
  static constexpr int kConverterMargin = 64;
  // How far a chunk's time may stray from where its source's last chunk
  // ended and still follow on from it: sound servers' latency reports jitter
  // by a few milliseconds.
  static constexpr int64_t kJitter = 720;
  // How long a source must run ahead of its times before it is pulled back.
  static constexpr int64_t kRealign = 5 * kSampleRate;
  // A source is pulled back in a quiet moment (kQuietRun frames under kQuiet,
  // about -60 dBFS) when one comes within kQuietWait; else where it is,
  // faded out and in over kFade frames.
  static constexpr float kQuiet = 1.0f / 1024;
  static constexpr int64_t kQuietRun = kSampleRate / 200;
  static constexpr int64_t kQuietWait = 2 * kSampleRate;
  static constexpr int64_t kFade = kSampleRate / 200;

  AudioMixer() = default;
  ~AudioMixer();
  AudioMixer(const AudioMixer&) = delete;
  AudioMixer& operator=(const AudioMixer&) = delete;

  std::function<void(MixedAudio)> onOutput;

  void append(const AudioChunk& chunk, bool isSystem);
  // Hands out everything before timeline frame `upto`; the recorder flushes
  // with accEnd() when it stops.
  void emit(int64_t upto);

  int64_t accStart() const { return accStart_; }
  int64_t accEnd() const { return accEnd_; }
  // How many converters a source has had (a new one per format change).
  int convertersMade(bool isSystem) const { return (isSystem ? system_ : mic_).made; }

 private:
  struct Slot {
    SwrContext* swr = nullptr;
    std::optional<AudioFormat> format;
    int made = 0;
    // Where this source's last chunk ended on the timeline.
    std::optional<int64_t> next;
    // Frames laid down while ahead of their times by more than kJitter, and
    // the least it was ahead by in that time.
    int64_t aheadFor = 0, aheadBy = 0;
    // Frames still to leave out to pull it back, how many have been laid
    // down since without a quiet moment, and whether a cut has begun.
    int64_t toSkip = 0, owingFor = 0;
    bool cutting = false;
    // How far the sound after a cut has been faded in (kFade: done); the
    // fade may run on into the next chunks.
    int64_t fadedIn = kFade;
  };
  // Where on the timeline a chunk of `frames` whose time says `estimate`
  // goes; the source's next chunk follows it.
  int64_t place(Slot& slot, int64_t estimate, int64_t frames);
  // Leaves out of a chunk what the source owes and may give now; how many
  // frames that was.
  int64_t payBack(Slot& slot, std::vector<float>& samples);
  // Goes on fading in, from frame `from`, the sound after a cut.
  void fadeIn(Slot& slot, std::vector<float>& samples, int64_t from);
  std::optional<std::vector<float>> convert(const AudioChunk& chunk, bool isSystem);
  void add(const std::vector<float>& samples, int64_t offset);
  // Where the held sound may be handed out up to.
  int64_t settled() const;

  // FFmpeg is opened for the first source that needs converting.
  std::shared_ptr<const ffmpeg::Api> ffmpeg_;
  std::optional<int64_t> anchor_;
  std::vector<float> acc_;
  int64_t accStart_ = 0, accEnd_ = 0;
  Slot system_, mic_;
};

}  // namespace nimbo
