#include "platform/linux/pulse/pulse_audio.h"

#include <pulse/error.h>
#include <pulse/pulseaudio.h>

#include <QScopeGuard>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

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

// Records 48 kHz float stereo from one source; the server converts whatever
// the device delivers. Runs on PulseAudio's own threaded main loop, so
// stopping never waits on a device that has gone quiet.
class PulseStream : public AudioStream {
 public:
  static Result<std::unique_ptr<AudioStream>> open(const QByteArray& device, const char* name,
                                                   std::function<void(const AudioChunk&)> onChunk, QString* why) {
    std::unique_ptr<PulseStream> p(new PulseStream(std::move(onChunk)));
    if (!p->connect(device, name, why)) return Error{*why};
    return std::unique_ptr<AudioStream>(std::move(p));
  }
  ~PulseStream() override {
    if (!loop_) return;
    pa_threaded_mainloop_lock(loop_);
    if (stream_) {
      pa_stream_set_read_callback(stream_, nullptr, nullptr);
      pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
    }
    if (context_) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }

 private:
  explicit PulseStream(std::function<void(const AudioChunk&)> f) : onChunk_(std::move(f)) {}

  bool connect(const QByteArray& device, const char* name, QString* why) {
    loop_ = pa_threaded_mainloop_new();
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Nimbo");
    auto signal = [](pa_context*, void* u) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(u), 0); };
    pa_context_set_state_callback(context_, signal, loop_);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 || pa_threaded_mainloop_start(loop_) < 0) {
      *why = QString::fromUtf8(pa_strerror(pa_context_errno(context_)));
      return false;
    }
    pa_threaded_mainloop_lock(loop_);
    const auto unlock = qScopeGuard([this] { pa_threaded_mainloop_unlock(loop_); });
    for (;;) {
      const pa_context_state_t st = pa_context_get_state(context_);
      if (st == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(st)) {
        *why = QString::fromUtf8(pa_strerror(pa_context_errno(context_)));
        return false;
      }
      pa_threaded_mainloop_wait(loop_);
    }
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 2};
    stream_ = pa_stream_new(context_, name, &spec, nullptr);
    pa_stream_set_state_callback(
        stream_, [](pa_stream*, void* u) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(u), 0); },
        loop_);
    pa_stream_set_read_callback(
        stream_, [](pa_stream* s, size_t, void* u) { static_cast<PulseStream*>(u)->read(s); }, this);
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.fragsize = kChunkFrames * 2 * sizeof(float);
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                         PA_STREAM_INTERPOLATE_TIMING);
    if (pa_stream_connect_record(stream_, device.constData(), &attr, flags) < 0) {
      *why = QString::fromUtf8(pa_strerror(pa_context_errno(context_)));
      return false;
    }
    for (;;) {
      const pa_stream_state_t st = pa_stream_get_state(stream_);
      if (st == PA_STREAM_READY) return true;
      if (!PA_STREAM_IS_GOOD(st)) {
        *why = QString::fromUtf8(pa_strerror(pa_context_errno(context_)));
        return false;
      }
      pa_threaded_mainloop_wait(loop_);
    }
  }

  // On the main loop's thread, with its lock held.
  void read(pa_stream* s) {
    while (pa_stream_readable_size(s) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) return;
      if (data) {
        // Everything still buffered, this fragment first, was heard this
        // long ago.
        pa_usec_t latency = 0;
        int negative = 0;
        if (pa_stream_get_latency(s, &latency, &negative) < 0 || negative) latency = 0;
        // At least this fragment's own length: it was all heard before now.
        latency = std::max<pa_usec_t>(latency, pa_bytes_to_usec(bytes, pa_stream_get_sample_spec(s)));
        const auto* f = static_cast<const float*>(data);
        std::vector<float> samples(f, f + bytes / sizeof(float));
        onChunk_(AudioChunk::fromFloats(samples, monotonicNs() - int64_t(latency) * 1000));
      }
      pa_stream_drop(s);
    }
  }

  std::function<void(const AudioChunk&)> onChunk_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
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
    if (st.microphones.empty()) return platformError(PlatformErrorCode::noDevice, QStringLiteral("no microphone"));
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
  QString why;
  Result<std::unique_ptr<AudioStream>> stream = PulseStream::open(
      device, source == AudioSource::system ? "System sound" : "Microphone", std::move(onChunk), &why);
  if (stream.ok()) return stream;
  if (source == AudioSource::microphone)
    return platformError(PlatformErrorCode::deviceUnavailable, "the microphone cannot be recorded: " + why);
  return platformError(PlatformErrorCode::failed, "the system sound cannot be recorded: " + why);
}

}  // namespace nimbo
