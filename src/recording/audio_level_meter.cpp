#include "recording/audio_level_meter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace nimbo::AudioLevelMeter {
namespace {

// FFmpeg's AVSampleFormat numbers, without FFmpeg's headers.
constexpr int kS16 = 1, kFlt = 3, kS16P = 6, kFltP = 8;

float fromRms(double sum, size_t n) {
  const double rms = std::sqrt(sum / double(n));
  return float(std::min(1.0, std::sqrt(4 * rms)));
}

}  // namespace

std::optional<float> level(const float* samples, size_t count) {
  if (!samples || count == 0) return std::nullopt;
  double sum = 0;
  for (size_t i = 0; i < count; ++i) sum += double(samples[i]) * samples[i];
  return fromRms(sum, count);
}

std::optional<float> level(const AudioChunk& chunk) {
  const int f = chunk.format.sampleFormat;
  const bool isFloat = f == kFlt || f == kFltP;
  if (!isFloat && f != kS16 && f != kS16P) return std::nullopt;
  const size_t width = isFloat ? 4 : 2;
  double sum = 0;
  size_t n = 0;
  for (const std::vector<uint8_t>& plane : chunk.planes) {
    const size_t count = plane.size() / width;
    for (size_t i = 0; i < count; ++i) {
      double v;
      if (isFloat) {
        float x;
        std::memcpy(&x, plane.data() + i * 4, 4);
        v = x;
      } else {
        int16_t x;
        std::memcpy(&x, plane.data() + i * 2, 2);
        v = x / 32767.0;
      }
      sum += v * v;
    }
    n += count;
  }
  if (n == 0) return std::nullopt;
  return fromRms(sum, n);
}

}  // namespace nimbo::AudioLevelMeter
