#include "media/ffmpeg_library.h"

#include <QCoreApplication>
#include <QTimer>

#include <dlfcn.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "util/log.h"

namespace nimbo::ffmpeg {

namespace {

// The libraries we were built against, by their major versions.
const char* const kLibraries[] = {
    "libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR),
    "libswresample.so." AV_STRINGIFY(LIBSWRESAMPLE_VERSION_MAJOR),
    "libswscale.so." AV_STRINGIFY(LIBSWSCALE_VERSION_MAJOR),
    "libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR),
    "libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR),
    "libx264.so." AV_STRINGIFY(X264_BUILD),
    "libavdevice.so." AV_STRINGIFY(LIBAVDEVICE_VERSION_MAJOR),
};
constexpr int kCodecLibraries = 6;  // all but libavdevice
constexpr int kAllLibraries = 7;

using Clock = std::chrono::steady_clock;

struct State {
  std::mutex lock;
  int holds = 0;
  void* handles[kAllLibraries] = {};
  Api api;
  Clock::time_point lastLetGo;
};

// Never destroyed: a hold may be let go while the process exits.
State& state() {
  static State* s = new State;
  return *s;
}

std::atomic<const Api*> current{nullptr};

int lingerMs() {
  bool ok = false;
  const int v = qEnvironmentVariableIntValue("NIMBO_FFMPEG_LINGER_MS", &ok);
  return ok && v >= 0 ? v : kLingerMs;
}

template <typename F>
bool resolve(void* library, const char* name, F& out, QString* why) {
  void* p = dlsym(library, name);
  if (!p) {
    *why = QStringLiteral("FFmpeg lacks %1").arg(QLatin1String(name));
    return false;
  }
  out = reinterpret_cast<F>(p);
  return true;
}

// Resolves what library `index` provides.
bool resolveAll(State& s, int index, QString* why) {
  void* h = s.handles[index];
  Api& a = s.api;
#define NIMBO_FFMPEG_RESOLVE(name) \
  if (!resolve(h, #name, a.name, why)) return false;
  switch (index) {
    case 0: NIMBO_FFMPEG_AVUTIL(NIMBO_FFMPEG_RESOLVE) break;
    case 1: NIMBO_FFMPEG_SWRESAMPLE(NIMBO_FFMPEG_RESOLVE) break;
    case 2: NIMBO_FFMPEG_SWSCALE(NIMBO_FFMPEG_RESOLVE) break;
    case 3: NIMBO_FFMPEG_AVCODEC(NIMBO_FFMPEG_RESOLVE) break;
    case 4: NIMBO_FFMPEG_AVFORMAT(NIMBO_FFMPEG_RESOLVE) break;
    case 5:
      NIMBO_FFMPEG_X264(NIMBO_FFMPEG_RESOLVE)
      if (!resolve(h, AV_STRINGIFY(x264_encoder_open), a.x264_encoder_open, why)) return false;
      break;
    case 6: NIMBO_FFMPEG_AVDEVICE(NIMBO_FFMPEG_RESOLVE) break;
  }
#undef NIMBO_FFMPEG_RESOLVE
  return true;
}

void closeLocked(State& s) {
  if (s.handles[0]) logLine(QStringLiteral("Nimbo: FFmpeg closed"));
  current.store(nullptr, std::memory_order_release);
  for (int i = kAllLibraries - 1; i >= 0; --i)
    if (s.handles[i]) {
      dlclose(s.handles[i]);
      s.handles[i] = nullptr;
    }
  s.api = Api{};
  // Hand what the recording's buffers and the libraries' heap used back to
  // the system, rather than keep it in the process.
  malloc_trim(0);
}

bool openLocked(State& s, int count, QString* why) {
  for (int i = 0; i < count; ++i) {
    if (s.handles[i]) continue;
    dlerror();
    s.handles[i] = dlopen(kLibraries[i], RTLD_NOW | RTLD_LOCAL);
    if (!s.handles[i]) {
      const char* e = dlerror();
      *why = QStringLiteral("Couldn't load FFmpeg (%1): %2")
                 .arg(QLatin1String(kLibraries[i]), e ? QString::fromUtf8(e) : QStringLiteral("not found"));
      return false;
    }
    if (!resolveAll(s, i, why)) {
      dlclose(s.handles[i]);
      s.handles[i] = nullptr;
      return false;
    }
    // The encoders' statistics are not for the user's terminal.
    if (i == 0) s.api.av_log_set_level(AV_LOG_ERROR);
    if (i == 6) s.api.avdevice_register_all();
  }
  if (!current.load(std::memory_order_relaxed)) logLine(QStringLiteral("Nimbo: FFmpeg opened"));
  current.store(&s.api, std::memory_order_release);
  return true;
}

void closeAfterLinger() {
  State& s = state();
  std::lock_guard l(s.lock);
  if (s.holds > 0 || !s.handles[0]) return;
  // Let go again since this timer was set: that one's timer decides (timers
  // are precise, never early).
  if (Clock::now() - s.lastLetGo < std::chrono::milliseconds(lingerMs()) - std::chrono::milliseconds(50)) return;
  closeLocked(s);
}

void letGo() {
  State& s = state();
  {
    std::lock_guard l(s.lock);
    if (--s.holds > 0) return;
    s.lastLetGo = Clock::now();
  }
  // Without an event loop FFmpeg stays open until the process ends.
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  const int linger = lingerMs();
  QMetaObject::invokeMethod(
      app, [app, linger] { QTimer::singleShot(linger, Qt::PreciseTimer, app, [] { closeAfterLinger(); }); },
      Qt::QueuedConnection);
}

}  // namespace

Result<Hold> open(Needs needs) {
  State& s = state();
  std::lock_guard l(s.lock);
  QString why;
  if (!openLocked(s, needs == Needs::devices ? kAllLibraries : kCodecLibraries, &why)) {
    if (s.holds == 0) closeLocked(s);
    logLine(QStringLiteral("Nimbo: ") + why);
    return Error{why, QStringLiteral("Nimbo.FFmpeg"), 1};
  }
  ++s.holds;
  return Hold(&s.api, [](const Api*) { letGo(); });
}

bool closeIfUnused() {
  State& s = state();
  std::lock_guard l(s.lock);
  if (s.holds > 0) return false;
  if (s.handles[0]) closeLocked(s);
  return true;
}

bool isOpen() { return current.load(std::memory_order_acquire) != nullptr; }

}  // namespace nimbo::ffmpeg

namespace nimbo {

const ffmpeg::Api& av() {
  const ffmpeg::Api* api = ffmpeg::current.load(std::memory_order_acquire);
  if (!api) qFatal("FFmpeg used without holding it open");
  return *api;
}

}  // namespace nimbo
