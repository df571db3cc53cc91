// The mixer's timeline: holdback, sums, gaps, late chunks, conversion and drift between two sources.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <cmath>
#include <cstring>

#include "recording/audio_mixer.h"

namespace nimbo {
namespace {

constexpr int64_t kMs = 1000000;  // nanoseconds
constexpr int64_t kBase = 5000 * kMs;

std::vector<float> ramp(int frames, float start) {
  std::vector<float> v;
  for (int i = 0; i < frames; ++i) v.push_back(start + i * 1e-4f), v.push_back(-(start + i * 1e-4f));
  return v;
}

std::vector<float> constant(int frames, float value) { return std::vector<float>(size_t(frames) * 2, value); }

class MixerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mixer.onOutput = [this](MixedAudio m) { out.push_back(std::move(m)); };
  }
  std::vector<float> all() const {
    std::vector<float> v;
    for (const auto& m : out) v.insert(v.end(), m.samples.begin(), m.samples.end());
    return v;
  }
  // Every buffer starts where the previous one ended.
  bool contiguous() const {
    int64_t frames = 0;
    for (const auto& m : out) {
      if (std::llround(double(m.ptsNs - out[0].ptsNs) * 48000 / 1e9) != frames) return false;
      frames += m.frames();
    }
    return true;
  }
  AudioMixer mixer;
  std::vector<MixedAudio> out;
};

TEST_F(MixerTest, OneSourceComesOutWholeAndFiftyMillisecondsBehind) {
  std::vector<float> input;
  for (int i = 0; i < 20; ++i) {
    const auto chunk = ramp(480, float(i) / 40);
    input.insert(input.end(), chunk.begin(), chunk.end());
    mixer.append(AudioChunk::fromFloats(chunk, kBase + i * 10 * kMs), true);
    // Everything older than the newest 2400 frames has been handed out.
    EXPECT_EQ(mixer.accStart(), std::max<int64_t>(0, mixer.accEnd() - 2400));
  }
  EXPECT_EQ(out.front().ptsNs, kBase);
  mixer.emit(mixer.accEnd());
  EXPECT_EQ(all(), input);
  EXPECT_TRUE(contiguous());
  // Nothing more to hand out, and nothing before any audio.
  const size_t n = out.size();
  mixer.emit(mixer.accStart());
  EXPECT_EQ(out.size(), n);
  AudioMixer fresh;
  int calls = 0;
  fresh.onOutput = [&](MixedAudio) { ++calls; };
  fresh.emit(1000);
  EXPECT_EQ(calls, 0);
}

TEST_F(MixerTest, OverlapsAreSummedAndClampedAndHolesAreSilent) {
  mixer.append(AudioChunk::fromFloats(constant(480, 0.8f), kBase), true);
  mixer.append(AudioChunk::fromFloats(constant(480, 0.7f), kBase), false);
  mixer.append(AudioChunk::fromFloats(constant(480, -0.3f), kBase + 10 * kMs), true);
  mixer.append(AudioChunk::fromFloats(constant(480, 0.2f), kBase + 10 * kMs), false);
  // The microphone comes back 10 ms after the end of what is held.
  mixer.append(AudioChunk::fromFloats(constant(480, 0.25f), kBase + 30 * kMs), false);
  mixer.emit(mixer.accEnd());
  const std::vector<float> v = all();
  ASSERT_EQ(v.size(), size_t(4 * 480 * 2));
  EXPECT_EQ(v[0], 1.0f);                 // 0.8 + 0.7, clamped
  EXPECT_NEAR(v[2 * 480], -0.1f, 1e-6);  // -0.3 + 0.2
  for (int i = 960; i < 1440; ++i) ASSERT_EQ(v[size_t(2 * i)], 0.0f) << i;  // 480 frames of silence
  EXPECT_EQ(v[2 * 1440], 0.25f);
}

TEST_F(MixerTest, ALateChunkLosesOnlyWhatWasAlreadyHandedOut) {
  for (int i = 0; i < 10; ++i) mixer.append(AudioChunk::fromFloats(constant(480, 0.1f), kBase + i * 10 * kMs), true);
  ASSERT_EQ(mixer.accStart(), 4800 - 2400);
  // 960 frames starting 480 frames before what is still held.
  mixer.append(AudioChunk::fromFloats(constant(960, 0.5f), kBase + 40 * kMs), false);
  mixer.emit(mixer.accEnd());
  const std::vector<float> v = all();
  ASSERT_EQ(v.size(), size_t(4800 * 2));
  EXPECT_FLOAT_EQ(v[2 * 2399], 0.1f);  // handed out before the chunk came
  EXPECT_FLOAT_EQ(v[2 * 2400], 0.6f);  // its second half, summed in place
  EXPECT_FLOAT_EQ(v[2 * 2879], 0.6f);
  EXPECT_FLOAT_EQ(v[2 * 2880], 0.1f);
  // A chunk entirely in the past is dropped.
  mixer.append(AudioChunk::fromFloats(constant(100, 0.9f), kBase), false);
  EXPECT_EQ(mixer.accEnd(), 4800);
}

TEST_F(MixerTest, AMonoMicrophoneAt44kIsConvertedAndAFormatChangeMakesANewConverter) {
  const int rate = 44100;
  auto mono = [&](int frames, int first, int sampleRate) {
    AudioChunk c;
    c.format = {AV_SAMPLE_FMT_S16, sampleRate, 1};
    c.frames = frames;
    std::vector<int16_t> s(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) s[size_t(i)] = int16_t(16000 * std::sin(2 * M_PI * 440 * (first + i) / sampleRate));
    c.planes.emplace_back(reinterpret_cast<uint8_t*>(s.data()), reinterpret_cast<uint8_t*>(s.data() + frames));
    c.ptsNs = kBase + int64_t(first) * 1000000000LL / sampleRate;
    return c;
  };
  for (int i = 0; i < 100; ++i) mixer.append(mono(441, i * 441, rate), false);  // one second
  EXPECT_EQ(mixer.convertersMade(false), 1);
  mixer.emit(mixer.accEnd());
  const std::vector<float> v = all();
  EXPECT_NEAR(double(v.size() / 2), 48000, 200);  // the resampler keeps a few frames back
  double energy = 0;
  for (size_t i = 0; i + 1 < v.size(); i += 2) {
    ASSERT_EQ(v[i], v[i + 1]);  // mono on both channels, at its own level
    energy += v[i] * v[i];
  }
  EXPECT_NEAR(std::sqrt(energy / (v.size() / 2)), 16000.0 / 32768 / std::sqrt(2.0), 0.02);
  mixer.append(mono(480, 48000, 48000), false);  // the device switched to 48 kHz
  EXPECT_EQ(mixer.convertersMade(false), 2);
  mixer.append(mono(480, 48480, 48000), false);
  EXPECT_EQ(mixer.convertersMade(false), 2);
}

TEST_F(MixerTest, SourcesOnDriftingClocksStayContinuousForAMinute) {
  // The system sound's clock runs 1% fast, the microphone's 1% slow: 1.2 s apart after a minute.
  const int chunks = 6000;
  for (int i = 0; i < chunks; ++i) {
    mixer.append(AudioChunk::fromFloats(constant(480, 0.1f), kBase + int64_t(i * 10 * kMs * 0.99)), true);
    mixer.append(AudioChunk::fromFloats(constant(480, 0.2f), kBase + int64_t(i * 10 * kMs * 1.01)), false);
  }
  const int64_t end = mixer.accEnd();
  mixer.emit(end);
  EXPECT_TRUE(contiguous());
  size_t frames = 0;
  for (const auto& m : out) frames += size_t(m.frames());
  EXPECT_EQ(int64_t(frames), end);
  EXPECT_EQ(end, std::llround((chunks - 1) * 10 * kMs * 1.01 * 48000 / 1e9) + 480);  // the mic's last chunk
  for (float v : all()) ASSERT_LE(std::abs(v), 1.0f);
}

}  // namespace
}  // namespace nimbo
