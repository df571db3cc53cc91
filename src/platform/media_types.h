#pragma once
// Values the platform's media services hand to the product: audio chunks and
// the clock every frame and chunk is stamped on.
#include <chrono>
#include <cstdint>
#include <vector>

namespace nimbo {

// Nanoseconds on the monotonic clock, the time base of every frame and chunk.
inline int64_t monotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A source's sample layout: FFmpeg sample format (AVSampleFormat), rate and
// channel count.
struct AudioFormat {
  int sampleFormat = 3;  // AV_SAMPLE_FMT_FLT: float, interleaved
  int sampleRate = 48000;
  int channels = 2;
  bool operator==(const AudioFormat&) const = default;
};

// One captured chunk. Interleaved formats use one plane, planar ones one per
// channel. Times are nanoseconds on the monotonic clock.
struct AudioChunk {
  AudioFormat format;
  int64_t ptsNs = 0;
  int frames = 0;
  std::vector<std::vector<uint8_t>> planes;
  bool ready = true;

  // 48 kHz float stereo from interleaved samples.
  static AudioChunk fromFloats(const std::vector<float>& interleaved, int64_t ptsNs, int sampleRate = 48000,
                               int channels = 2) {
    AudioChunk c;
    c.format = {3, sampleRate, channels};
    c.ptsNs = ptsNs;
    c.frames = int(interleaved.size() / size_t(channels));
    c.planes.emplace_back(reinterpret_cast<const uint8_t*>(interleaved.data()),
                          reinterpret_cast<const uint8_t*>(interleaved.data() + interleaved.size()));
    return c;
  }
};

}  // namespace nimbo
