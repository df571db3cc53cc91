// The mixer's timeline: holdback, sums, gaps, jitter, late chunks, latency reports that settle, conversion and drift between two sources.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <cmath>
#include <cstring>
#include <functional>

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
  struct LateSource {
    int64_t lastHeard = 0;
    int frames = 0;
  };
  // The microphone (silent) and the system sound heard every 10 ms for ten
  // seconds, but the system sound's chunks from 2 s to 2.4 s come only at
  // 2.4 s, with their own times: later than the mix waits, so they go in
  // 150 ms late, and the source runs that far ahead of its times until it is
  // pulled back. `sound(n)` is its frame n; it comes in chunks of `chunk`
  // frames.
  LateSource playStalledSystemSound(const std::function<float(int64_t)>& sound, int chunk = 480) {
    LateSource system;
    std::vector<int64_t> queued;
    for (int64_t now = 10 * kMs; now <= 10000 * kMs; now += 10 * kMs) {
      mixer.append(AudioChunk::fromFloats(constant(480, 0.0f), kBase + now - 10 * kMs), false);
      queued.push_back(now - 10 * kMs);
      if (now > 2000 * kMs && now < 2400 * kMs) continue;
      for (int64_t heard : queued) {
        for (int from = 0; from < 480; from += chunk) {
          std::vector<float> v;
          for (int i = 0; i < chunk; ++i) v.push_back(sound(system.frames + i)), v.push_back(sound(system.frames + i));
          mixer.append(AudioChunk::fromFloats(v, kBase + heard + from * kMs / 48), true);
          system.frames += chunk;
        }
        system.lastHeard = heard;
      }
      queued.clear();
    }
    return system;
  }
  // Its last sound sits where it was heard, give or take the jitter allowed:
  // the source was pulled back into line.
  void expectBackInLine(const LateSource& system, const std::vector<float>& v) {
    int64_t last = int64_t(v.size() / 2) - 1;
    while (last > 0 && std::abs(v[size_t(2 * last)]) < 1e-3f) --last;
    const int64_t expected = std::llround(double(kBase + system.lastHeard - out.front().ptsNs) * 48000 / 1e9) + 479;
    EXPECT_NEAR(double(last), double(expected), double(AudioMixer::kJitter));
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
  // The microphone comes back 30 ms after the end of what is held.
  mixer.append(AudioChunk::fromFloats(constant(480, 0.25f), kBase + 50 * kMs), false);
  mixer.emit(mixer.accEnd());
  const std::vector<float> v = all();
  ASSERT_EQ(v.size(), size_t(6 * 480 * 2));
  EXPECT_EQ(v[0], 1.0f);                 // 0.8 + 0.7, clamped
  EXPECT_NEAR(v[2 * 480], -0.1f, 1e-6);  // -0.3 + 0.2
  for (int i = 960; i < 2400; ++i) ASSERT_EQ(v[size_t(2 * i)], 0.0f) << i;  // 1440 frames of silence
  EXPECT_EQ(v[2 * 2400], 0.25f);
}

TEST_F(MixerTest, ASourceFollowsOnThroughJitterInItsTimesAndNeverOverlapsItself) {
  // Times that stray by up to 15 ms either way, as latency reports do.
  std::vector<float> input;
  const int jitter[] = {0, 15, -15, 7, -3, 12, -12, 0};
  for (int i = 0; i < 40; ++i) {
    const auto chunk = ramp(480, float(i) / 80);
    input.insert(input.end(), chunk.begin(), chunk.end());
    mixer.append(AudioChunk::fromFloats(chunk, kBase + (i * 10 + jitter[i % 8]) * kMs), true);
  }
  mixer.emit(mixer.accEnd());
  EXPECT_EQ(all(), input);  // no silence slipped in, nothing summed with itself
  EXPECT_TRUE(contiguous());
}

TEST_F(MixerTest, ASourceWhoseFirstLatencyReportsAreFarTooLongKeepsItsSoundAndComesIntoLine) {
  // The microphone is heard from the start. The system sound's stream opens
  // 550 ms later, sends what it has every 150 ms, and its latency reports run
  // 570 ms too long for 800 ms, then 50 ms less every 100 ms until right.
  const int64_t systemOpens = 550 * kMs;
  auto overstated = [&](int64_t now) {
    const int64_t since = now - systemOpens;
    return since < 800 * kMs ? 570 * kMs : std::max<int64_t>(0, 570 * kMs - (since - 800 * kMs) / 2);
  };
  std::vector<int64_t> queued;  // when each waiting system chunk was heard
  int systemFrames = 0;
  int64_t lastSystemHeard = 0;
  for (int64_t now = 10 * kMs; now <= 10000 * kMs; now += 10 * kMs) {
    mixer.append(AudioChunk::fromFloats(constant(480, 0.125f), kBase + now - 10 * kMs), false);
    if (now < systemOpens) continue;
    queued.push_back(now - 10 * kMs);
    if ((now - systemOpens) % (150 * kMs) != 0) continue;
    for (int64_t heard : queued) {
      mixer.append(AudioChunk::fromFloats(constant(480, 0.5f), kBase + heard - overstated(now)), true);
      systemFrames += 480;
      lastSystemHeard = heard;
    }
    queued.clear();
  }
  mixer.emit(mixer.accEnd());
  const std::vector<float> v = all();
  int kept = 0;
  for (size_t i = 0; i < v.size(); i += 2) {
    ASSERT_LT(v[i], 0.75f) << "the system sound summed with itself at frame " << i / 2;
    kept += v[i] > 0.25f;
  }
  // Nothing is cut as it comes. Its first bursts, 150 ms old on arrival
  // and dated half a second early, go in after what was handed out, up to
  // 100 ms late; as its latency reports settle it comes back into line,
  // jumping ahead over a moment of silence.
  EXPECT_GE(kept, systemFrames - 4800);
  // The microphone, on time throughout, is neither moved nor cut: every
  // frame of its ten seconds has it, and nothing after.
  for (int64_t i = 0; i < int64_t(v.size() / 2); ++i) {
    const float mic = v[size_t(2 * i)] > 0.25f ? v[size_t(2 * i)] - 0.5f : v[size_t(2 * i)];
    ASSERT_FLOAT_EQ(mic, i < 480000 ? 0.125f : 0.0f) << i;
  }
  // The system sound's last chunk sits where it was heard, give or take the
  // jitter allowed.
  int64_t lastSystem = int64_t(v.size() / 2) - 1;
  while (lastSystem > 0 && v[size_t(2 * lastSystem)] < 0.25f) --lastSystem;
  const int64_t expected = std::llround(double(kBase + lastSystemHeard - out.front().ptsNs) * 48000 / 1e9) + 479;
  EXPECT_NEAR(double(lastSystem), double(expected), double(AudioMixer::kJitter));
}

// A 430 Hz tone.
float tone(int64_t n) { return 0.5f * float(std::sin(2 * M_PI * 430 * double(n) / 48000)); }

TEST_F(MixerTest, ASourcePulledBackLosesOnlyPauseWhereItPauses) {
  // In bursts of 300 ms with pauses as long.
  const LateSource system = playStalledSystemSound([](int64_t n) { return (n / 14400) % 2 ? tone(n) : 0.0f; });
  mixer.emit(mixer.accEnd());
  const std::vector<float> v = all();
  // Every burst comes out whole: what was left out was pause.
  std::vector<int64_t> bursts;
  for (int64_t i = 0, quiet = 0; i < int64_t(v.size() / 2); ++i) {
    if (std::abs(v[size_t(2 * i)]) < 1e-6f) {
      ++quiet;
      continue;
    }
    // A zero crossing is not a pause.
    if (quiet > 100 || bursts.empty()) bursts.push_back(1);
    else bursts.back() += quiet + 1;
    quiet = 0;
  }
  ASSERT_GE(bursts.size(), 15u);
  for (size_t b = 0; b + 1 < bursts.size(); ++b) EXPECT_NEAR(double(bursts[b]), 14400.0, 2.0) << "burst " << b;
  expectBackInLine(system, v);
}

TEST_F(MixerTest, ASourcePulledBackWithoutAPauseIsFadedOutAndInNotCut) {
  // In chunks of 5 ms: the fade out takes one whole chunk, and the cut ends
  // where one chunk ends, so the fade in is the next one's.
  const LateSource system = playStalledSystemSound(tone, 240);
  mixer.emit(mixer.accEnd());
  const std::vector<float> v = all();
  // Where a tone is cut, one frame differs from the next by up to its whole
  // swing; faded, by no more than the tone itself ever changes.
  float steepest = 0;
  for (size_t i = 2; i < v.size(); i += 2) steepest = std::max(steepest, std::abs(v[i] - v[i - 2]));
  EXPECT_LT(steepest, 0.035f);
  expectBackInLine(system, v);
}

TEST_F(MixerTest, AStalledSourceLandsInTimeUpToAQuarterSecondLateAndAfterThatAtTheFirstOpenFrame) {
  for (int i = 0; i < 10; ++i) mixer.append(AudioChunk::fromFloats(constant(480, 0.1f), kBase + i * 10 * kMs), true);
  ASSERT_EQ(mixer.accStart(), 4800 - 2400);
  // The microphone's first 960 frames, dated 480 frames before what is still
  // held: moved to the first open frame, whole.
  mixer.append(AudioChunk::fromFloats(constant(960, 0.5f), kBase + 40 * kMs), false);
  EXPECT_EQ(mixer.accEnd(), 4800);
  // The system sound goes on for 100 ms while the microphone stalls: the mix
  // waits for it, then takes what follows on from its first chunk in time.
  for (int i = 10; i < 20; ++i) mixer.append(AudioChunk::fromFloats(constant(480, 0.1f), kBase + i * 10 * kMs), true);
  EXPECT_EQ(mixer.accStart(), 3360);
  mixer.append(AudioChunk::fromFloats(constant(480, 0.3f), kBase + 70 * kMs), false);
  mixer.append(AudioChunk::fromFloats(constant(4800, 0.3f), kBase + 80 * kMs), false);
  std::vector<float> v = all();
  // Then a second-long stall: the mix waits a quarter second at most, and
  // the sound after it goes in at the first open frame, all of it.
  for (int i = 20; i < 120; ++i) mixer.append(AudioChunk::fromFloats(constant(480, 0.1f), kBase + i * 10 * kMs), true);
  EXPECT_EQ(mixer.accStart(), 57600 - AudioMixer::kMaxHoldback);
  mixer.append(AudioChunk::fromFloats(constant(480, 0.7f), kBase + 180 * kMs), false);
  mixer.emit(mixer.accEnd());
  v = all();
  ASSERT_EQ(v.size(), size_t(2 * 57600));
  EXPECT_FLOAT_EQ(v[2 * 2399], 0.1f);  // handed out before the microphone came
  EXPECT_FLOAT_EQ(v[2 * 2400], 0.6f);  // its first chunk, summed in place
  EXPECT_FLOAT_EQ(v[2 * 3359], 0.6f);
  EXPECT_FLOAT_EQ(v[2 * 3360], 0.4f);  // what followed, where it belongs
  EXPECT_FLOAT_EQ(v[2 * 8639], 0.4f);
  EXPECT_FLOAT_EQ(v[2 * 8640], 0.1f);
  EXPECT_FLOAT_EQ(v[2 * 45599], 0.1f);
  EXPECT_FLOAT_EQ(v[2 * 45600], 0.8f);  // after the long stall
  EXPECT_FLOAT_EQ(v[2 * 46079], 0.8f);
  EXPECT_FLOAT_EQ(v[2 * 46080], 0.1f);
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
  // The system sound's clock runs 0.1% fast, the microphone's 0.1% slow (ten
  // times what sound cards stray by): each sends 480 frames a chunk, in the
  // order they are heard, for a minute.
  const int systemChunks = 6006, micChunks = 5994;
  auto systemPts = [](int i) { return kBase + int64_t(i * 10 * kMs * 0.999); };
  auto micPts = [](int i) { return kBase + int64_t(i * 10 * kMs * 1.001); };
  for (int s = 0, m = 0; s < systemChunks || m < micChunks;) {
    if (m >= micChunks || (s < systemChunks && systemPts(s) <= micPts(m)))
      mixer.append(AudioChunk::fromFloats(constant(480, 0.1f), systemPts(s++)), true);
    else
      mixer.append(AudioChunk::fromFloats(constant(480, 0.2f), micPts(m++)), false);
  }
  const int64_t end = mixer.accEnd();
  mixer.emit(end);
  EXPECT_TRUE(contiguous());
  size_t frames = 0;
  for (const auto& m : out) frames += size_t(m.frames());
  EXPECT_EQ(int64_t(frames), end);
  const std::vector<float> v = all();
  for (float x : v) ASSERT_LE(std::abs(x), 1.0f);
  auto last = [&](float alone) {
    int64_t i = int64_t(v.size() / 2) - 1;
    while (i > 0 && std::abs(v[size_t(2 * i)] - alone) > 1e-4 && std::abs(v[size_t(2 * i)] - 0.3f) > 1e-4) --i;
    return double(i);
  };
  auto where = [](int64_t pts) { return double(std::llround(double(pts - kBase) * 48000 / 1e9) + 479); };
  // The slow microphone jumps ahead by a little silence whenever it falls
  // more than the jitter behind its times; the fast system sound is pulled
  // back now and then, within how far it runs ahead in the seconds that takes.
  EXPECT_NEAR(last(0.2f), where(micPts(micChunks - 1)), double(AudioMixer::kJitter));
  EXPECT_NEAR(last(0.1f), where(systemPts(systemChunks - 1)), double(AudioMixer::kJitter + 2 * AudioMixer::kRealign / 1000));
}

}  // namespace
}  // namespace nimbo
