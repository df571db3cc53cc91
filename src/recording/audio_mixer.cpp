#include "recording/audio_mixer.h"

#include "media/ffmpeg_library.h"

#include <QString>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "util/log.h"

namespace nimbo {

AudioMixer::~AudioMixer() {
  if (!ffmpeg_) return;
  av().swr_free(&system_.swr);
  av().swr_free(&mic_.swr);
}

void AudioMixer::append(const AudioChunk& chunk, bool isSystem) {
  if (!chunk.ready) return;
  const std::optional<std::vector<float>> samples = convert(chunk, isSystem);
  if (!samples) return;
  if (!anchor_) {
    anchor_ = chunk.ptsNs;
    accStart_ = accEnd_ = 0;
  }
  // Frames from the anchor, rounded half away from zero.
  const double frames = double(chunk.ptsNs - *anchor_) * kSampleRate / 1e9;
  if (!std::isfinite(frames)) return;
  Slot& slot = isSystem ? system_ : mic_;
  std::vector<float> laid = std::move(*samples);
  const int64_t at = place(slot, std::llround(frames), int64_t(laid.size() / 2));
  if (slot.toSkip > 0) *slot.next -= payBack(slot, laid);
  else fadeIn(slot, laid, 0);
  add(laid, at);
  emit(settled());
}

int64_t AudioMixer::settled() const {
  // Not before every source that has begun has had its say, so one that runs
  // late is not pushed out by the other; but no more than kMaxHoldback
  // behind the newest sound, so one that has stopped holds nothing up.
  int64_t upto = accEnd_ - kHoldback;
  for (const Slot* slot : {&system_, &mic_})
    if (slot->next) upto = std::min(upto, *slot->next);
  return std::max(upto, accEnd_ - kMaxHoldback);
}

int64_t AudioMixer::place(Slot& slot, int64_t estimate, int64_t frames) {
  // A chunk follows on from the source's last one unless its time says it
  // came clearly later: the source paused, or its latency report settled
  // lower. A gap is silence.
  const bool follows = slot.next && estimate <= *slot.next + kJitter;
  int64_t at = follows ? *slot.next : estimate;
  if (at < accStart_) {
    // Its place was handed out already: it goes in at the first open frame.
    // A source's first chunk can be dated far too early by the latency a
    // sound server reports for a freshly opened stream (PulseAudio: half a
    // second, for a second or so); a later one stalled for longer than the
    // mix waits.
    at = accStart_;
  }
  if (!follows) {
    slot.aheadFor = 0;
    slot.toSkip = 0;
    slot.owingFor = 0;
    slot.cutting = false;
    slot.fadedIn = kFade;
  } else if (const int64_t ahead = at - estimate; ahead <= kJitter) {
    slot.aheadFor = 0;
  } else {
    // Ahead of its own times: a clock faster than ours, a passing spike in
    // the latency report, or moved up after coming late. Only seconds of it
    // pull the source back, by the least it was ahead in that time.
    slot.aheadBy = slot.aheadFor > 0 ? std::min(slot.aheadBy, ahead) : ahead;
    slot.aheadFor += frames;
    if (slot.aheadFor >= kRealign) {
      if (slot.toSkip == 0) slot.owingFor = 0;
      slot.toSkip = std::max(slot.toSkip, slot.aheadBy);
      slot.aheadFor = 0;
    }
  }
  slot.next = at + frames;
  return at;
}

int64_t AudioMixer::payBack(Slot& slot, std::vector<float>& samples) {
  const int64_t frames = int64_t(samples.size() / 2);
  const auto cut = [&](int64_t from, int64_t n) {
    samples.erase(samples.begin() + std::ptrdiff_t(2 * from), samples.begin() + std::ptrdiff_t(2 * (from + n)));
    slot.toSkip -= n;
    return n;
  };
  if (!slot.cutting) {
    // A quiet stretch: the longest run of frames under kQuiet in both ears.
    // Up to half of it goes, from its middle, and nothing audible with it.
    int64_t best = 0, bestAt = 0;
    for (int64_t i = 0, run = 0; i < frames; ++i) {
      const bool quiet = std::abs(samples[size_t(2 * i)]) < kQuiet && std::abs(samples[size_t(2 * i + 1)]) < kQuiet;
      run = quiet ? run + 1 : 0;
      if (run > best) best = run, bestAt = i + 1 - run;
    }
    if (best >= kQuietRun) {
      const int64_t n = std::min(slot.toSkip, best / 2);
      return cut(bestAt + (best - n) / 2, n);
    }
    slot.owingFor += frames;
    if (slot.owingFor < kQuietWait) return 0;
  }
  // No quiet moment came: the sound is left out where it is, faded out
  // before the cut and in after it, so the skip does not click.
  int64_t from = 0;
  if (!slot.cutting) {
    from = std::min(kFade, frames);
    for (int64_t i = 0; i < from; ++i)
      for (int c = 0; c < 2; ++c) samples[size_t(2 * i + c)] *= float(from - 1 - i) / float(from);
    slot.cutting = true;
  }
  const int64_t n = cut(from, std::min(slot.toSkip, frames - from));
  if (slot.toSkip == 0) {
    slot.cutting = false;
    slot.fadedIn = 0;
    fadeIn(slot, samples, from);
  }
  return n;
}

void AudioMixer::fadeIn(Slot& slot, std::vector<float>& samples, int64_t from) {
  const int64_t frames = int64_t(samples.size() / 2);
  for (int64_t i = from; i < frames && slot.fadedIn < kFade; ++i, ++slot.fadedIn)
    for (int c = 0; c < 2; ++c) samples[size_t(2 * i + c)] *= float(slot.fadedIn + 1) / float(kFade + 1);
}

std::optional<std::vector<float>> AudioMixer::convert(const AudioChunk& chunk, bool isSystem) {
  const AudioFormat& f = chunk.format;
  if (chunk.frames < 1 || chunk.planes.empty() || f.channels < 1 || f.sampleRate < 1) return std::nullopt;
  // Already 48 kHz float stereo: copied straight out.
  if (f.sampleFormat == AV_SAMPLE_FMT_FLT && f.sampleRate == kSampleRate && f.channels == 2) {
    const size_t n = size_t(chunk.frames) * 2;
    if (chunk.planes[0].size() < n * sizeof(float)) return std::nullopt;
    std::vector<float> out(n);
    std::memcpy(out.data(), chunk.planes[0].data(), n * sizeof(float));
    return out;
  }
  if (!ffmpeg_) {
    Result<ffmpeg::Hold> hold = ffmpeg::open();
    if (!hold.ok()) return std::nullopt;
    ffmpeg_ = hold.take();
  }
  Slot& slot = isSystem ? system_ : mic_;
  if (!slot.format || *slot.format != f) {
    // A new source format: a new converter, so no state of the old one
    // leaks into the new stream.
    av().swr_free(&slot.swr);
    slot.format = f;
  }
  const auto format = AVSampleFormat(f.sampleFormat);
  const bool planar = av().av_sample_fmt_is_planar(format);
  const size_t bytesPerPlane = size_t(chunk.frames) * av().av_get_bytes_per_sample(format) * (planar ? 1 : f.channels);
  if (chunk.planes.size() < size_t(planar ? f.channels : 1)) return std::nullopt;
  for (size_t i = 0; i < size_t(planar ? f.channels : 1); ++i)
    if (chunk.planes[i].size() < bytesPerPlane) return std::nullopt;
  if (!slot.swr) {
    AVChannelLayout in{}, out{};
    av().av_channel_layout_default(&in, f.channels);
    av().av_channel_layout_default(&out, 2);
    SwrContext* swr = nullptr;
    bool ok = av().swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_FLT, kSampleRate, &in, format, f.sampleRate, 0, nullptr) >= 0;
    // A mono microphone goes to both ears at its own level (the default
    // up-mix would lower it by 3 dB).
    const double monoToStereo[2] = {1.0, 1.0};
    if (ok && f.channels == 1) ok = av().swr_set_matrix(swr, monoToStereo, 1) >= 0;
    if (!ok || av().swr_init(swr) < 0) {
      av().swr_free(&swr);
      return std::nullopt;
    }
    slot.swr = swr;
    ++slot.made;
  }
  const int capacity = int(double(kSampleRate) / f.sampleRate * chunk.frames) + kConverterMargin;
  std::vector<float> out(size_t(capacity) * 2);
  uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(out.data())};
  std::vector<const uint8_t*> inPlanes;
  for (const auto& p : chunk.planes) inPlanes.push_back(p.data());
  const int got = av().swr_convert(slot.swr, outPlanes, capacity, inPlanes.data(), chunk.frames);
  if (got < 0) {
    char why[AV_ERROR_MAX_STRING_SIZE] = {};
    av().av_strerror(got, why, sizeof why);
    logLine(QStringLiteral("Nimbo: audio conversion failed: ") + QString::fromUtf8(why));
    return std::nullopt;
  }
  if (got == 0) return std::nullopt;
  out.resize(size_t(got) * 2);
  return out;
}

void AudioMixer::add(const std::vector<float>& samples, int64_t offset) {
  // place() never puts a chunk before what was handed out; were it ever to,
  // the part before would be left out rather than written outside the held
  // audio. Whole frames only: a stray last sample would swap the channels of
  // everything after it.
  Q_ASSERT(offset >= accStart_);
  const int64_t frames = int64_t(samples.size() / 2);
  const int64_t skip = std::clamp<int64_t>(accStart_ - offset, 0, frames);
  const float* in = samples.data() + 2 * skip;
  int64_t at = offset + skip, left = frames - skip;
  // Overlap with held audio: summed.
  if (const int64_t m = std::min(accEnd_ - at, left); m > 0) {
    float* dst = acc_.data() + 2 * (at - accStart_);
    for (int64_t j = 0; j < 2 * m; ++j) dst[j] += in[j];
    in += 2 * m, at += m, left -= m;
  }
  if (left <= 0) return;
  // A hole between the held audio and this chunk: silence.
  if (accEnd_ < at) {
    acc_.insert(acc_.end(), size_t(2 * (at - accEnd_)), 0.0f);
    accEnd_ = at;
  }
  acc_.insert(acc_.end(), in, in + 2 * left);
  accEnd_ += left;
}

void AudioMixer::emit(int64_t upto) {
  const int64_t end = std::min(upto, accEnd_);
  if (end <= accStart_ || !anchor_) return;
  const int64_t n = end - accStart_;
  MixedAudio out;
  out.samples.assign(acc_.begin(), acc_.begin() + std::ptrdiff_t(2 * n));
  acc_.erase(acc_.begin(), acc_.begin() + std::ptrdiff_t(2 * n));
  const int64_t first = accStart_;
  accStart_ = end;
  for (float& v : out.samples) v = std::clamp(v, -1.0f, 1.0f);
  out.ptsNs = *anchor_ + first * 1000000000LL / kSampleRate;
  if (onOutput) onOutput(std::move(out));
}

}  // namespace nimbo
