#pragma once
// The audio level the pill and the recorder panel show: rms over every
// sample of every channel, mapped as min(1, sqrt(4 x rms)) so that a
// full-scale sine reads 1 and quiet speech still moves the bars.
#include <cstddef>
#include <optional>

#include "platform/media_types.h"

namespace nimbo::AudioLevelMeter {

// 32-bit float or 16-bit signed samples, interleaved or planar; any other
// format, or no samples, gives nothing.
std::optional<float> level(const AudioChunk& chunk);
// Interleaved floats; nothing when there are none.
std::optional<float> level(const float* samples, size_t count);

}  // namespace nimbo::AudioLevelMeter
