#include "platform/linux/pulse/pulse_audio.h"

#include <pulse/error.h>
#include <pulse/pulseaudio.h>
#include <pulse/simple.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "recording/audio_mixer.h"
#include "recording/screen_recorder.h"
#include "util/log.h"

namespace nimbo {

namespace {

struct PulseState {
  QString defaultSource;
  std::vector<AudioDevice> microphones;  // non-monitor sources
  std::vector<AudioDevice> all;
  bool ok = false;
};

// One synchronous look at the server: its default source and its sources.
PulseState queryServer() {
  PulseState st;
  pa_mainloop* ml = pa_mainloop_new();
  pa_context* ctx = pa_context_new(pa_mainloop_get_api(ml), "Nimbo");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  auto spinUntil = [&](const std::function<bool()>& done) {
    while (!done() && std::chrono::steady_clock::now() < deadline) pa_mainloop_iterate(ml, 0, nullptr), usleep(500);
    return done();
  };
  if (ctx && pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
      spinUntil([&] {
        const pa_context_state_t s = pa_context_get_state(ctx);
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
      }) &&
      pa_context_get_state(ctx) == PA_CONTEXT_READY) {
    int pending = 2;
    struct Ctx {
      PulseState* st;
      int* pending;
    } c{&st, &pending};
    pa_operation* a = pa_context_get_server_info(
        ctx,
        [](pa_context*, const pa_server_info* i, void* u) {
          auto* c = static_cast<Ctx*>(u);
          if (i && i->default_source_name) c->st->defaultSource = QString::fromUtf8(i->default_source_name);
          --*c->pending;
        },
        &c);
    pa_operation* b = pa_context_get_source_info_list(
        ctx,
        [](pa_context*, const pa_source_info* i, int eol, void* u) {
          auto* c = static_cast<Ctx*>(u);
          if (eol) {
            --*c->pending;
            return;
          }
          const AudioDevice d{QString::fromUtf8(i->name), QString::fromUtf8(i->description)};
          c->st->all.push_back(d);
          if (i->monitor_of_sink == PA_INVALID_INDEX) c->st->microphones.push_back(d);
        },
        &c);
    st.ok = spinUntil([&] { return pending == 0; });
    if (a) pa_operation_unref(a);
    if (b) pa_operation_unref(b);
    pa_context_disconnect(ctx);
  }
  if (ctx) pa_context_unref(ctx);
  pa_mainloop_free(ml);
  return st;
}

constexpr int kChunkFrames = 480;  // 10 ms at 48 kHz

// Reads 48 kHz float stereo from one source on its own thread; the server
// converts whatever the device delivers.
class PulseStream : public AudioStream {
 public:
  PulseStream(pa_simple* s, std::function<void(const AudioChunk&)> f) : s_(s), onChunk_(std::move(f)) {
    thread_ = std::thread([this] { run(); });
  }
  ~PulseStream() override {
    stop_ = true;
    thread_.join();
    pa_simple_free(s_);
  }

 private:
  void run() {
    std::vector<float> buf(kChunkFrames * 2);
    while (!stop_) {
      int err = 0;
      if (pa_simple_read(s_, buf.data(), buf.size() * sizeof(float), &err) < 0) {
        logLine(QStringLiteral("Nimbo: audio capture stopped: ") + QString::fromUtf8(pa_strerror(err)));
        return;
      }
      // The chunk's first sample was heard this long before now: what is
      // still buffered plus the chunk itself.
      const pa_usec_t latency = pa_simple_get_latency(s_, &err);
      const int64_t pts = monotonicNs() - int64_t(latency) * 1000 - int64_t(kChunkFrames) * 1000000000LL / 48000;
      onChunk_(AudioChunk::fromFloats(buf, pts));
    }
  }
  pa_simple* s_;
  std::function<void(const AudioChunk&)> onChunk_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

std::vector<AudioDevice> PulseAudioCapture::microphones() { return queryServer().microphones; }

std::optional<AudioDevice> PulseAudioCapture::defaultMicrophone() {
  const PulseState st = queryServer();
  for (const AudioDevice& d : st.microphones)
    if (d.id == st.defaultSource) return d;
  return std::nullopt;
}

Result<std::unique_ptr<AudioStream>> PulseAudioCapture::start(AudioSource source, const QString& deviceID,
                                                              std::function<void(const AudioChunk&)> onChunk) {
  QByteArray device;
  if (source == AudioSource::system) {
    device = "@DEFAULT_MONITOR@";
  } else {
    const PulseState st = queryServer();
    if (st.microphones.empty()) return RecordingError::setupFailed(QStringLiteral("No microphone found."));
    // A device that was unplugged falls back to the default microphone.
    auto has = [&](const QString& id) {
      return std::any_of(st.microphones.begin(), st.microphones.end(), [&](const AudioDevice& d) { return d.id == id; });
    };
    if (!deviceID.isEmpty() && has(deviceID))
      device = deviceID.toUtf8();
    else if (has(st.defaultSource))
      device = st.defaultSource.toUtf8();
    else
      device = st.microphones.front().id.toUtf8();
  }
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 2};
  pa_buffer_attr attr{};
  attr.maxlength = uint32_t(-1);
  attr.fragsize = kChunkFrames * 2 * sizeof(float);
  int err = 0;
  pa_simple* s = pa_simple_new(nullptr, "Nimbo", PA_STREAM_RECORD, device.constData(),
                               source == AudioSource::system ? "System sound" : "Microphone", &spec, nullptr, &attr,
                               &err);
  if (!s) {
    if (source == AudioSource::microphone)
      return RecordingError::setupFailed(QStringLiteral("Couldn't attach the microphone."));
    return Error{QStringLiteral("the system sound cannot be recorded: ") + QString::fromUtf8(pa_strerror(err))};
  }
  return std::unique_ptr<AudioStream>(new PulseStream(s, std::move(onChunk)));
}

}  // namespace nimbo
