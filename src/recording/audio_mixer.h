#pragma once
// Mixes the computer's sound and the microphone into one 48 kHz float stereo
// stream on a shared timeline, holding back the newest 50 ms so the slower
// source can still land in it. Not thread-safe: the recorder calls it under
// its sample lock.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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
  static constexpr int kConverterMargin = 64;

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
  };
  std::optional<std::vector<float>> convert(const AudioChunk& chunk, bool isSystem);
  void add(const std::vector<float>& samples, int64_t offset);

  // FFmpeg is opened for the first source that needs converting.
  std::shared_ptr<const ffmpeg::Api> ffmpeg_;
  std::optional<int64_t> anchor_;
  std::vector<float> acc_;
  int64_t accStart_ = 0, accEnd_ = 0;
  Slot system_, mic_;
};

}  // namespace nimbo
