#include "platform/linux/wayland/portal_screen_stream.h"

#include <unistd.h>

#include <QCoreApplication>

#include <cmath>
#include <mutex>
#include <optional>

#include "platform/linux/portal/portal_request.h"
#include "platform/linux/portal/portal_screencast.h"
#include "platform/linux/wayland/pipewire_stream.h"
#include "platform/linux/wayland/wayland_platform.h"
#include "util/log.h"
#include "util/preferences.h"

namespace nimbo {

// A monitor shared through the portal: the session, the monitor asked for,
// and the one the user shared when it could be told.
struct SharedMonitor {
  ScreenCastPortal::Session session;
  OutputPlacement wanted;
  QString output;
};

namespace {

// The portal's restore token for the last choice on each monitor: with it
// the desktop shares that monitor again without asking. Tokens are single
// use; the newest one is kept.
QString tokenKey(const QString& output) { return QStringLiteral("screenCast/restoreToken/") + output; }

// A cast and its portal session, which ends with it.
class PortalStream : public ScreenStream {
 public:
  PortalStream(std::unique_ptr<PipeWireStream> stream, QString session)
      : stream_(std::move(stream)), session_(std::move(session)) {}
  ~PortalStream() override {
    stream_.reset();
    ScreenCastPortal::close(session_);
  }
  void begin(std::function<void(const ScreenFrame&)> onFrame) { stream_->begin(std::move(onFrame)); }
  // The session that ends with the cast, from now on.
  void endsWith(QString session) { session_ = std::move(session); }
  int framesIdle() const override { return stream_->framesIdle(); }
  int framesMissed() const override { return stream_->framesMissed(); }
  void setHiddenWindows(std::vector<quint32> ids) override { stream_->setHiddenWindows(std::move(ids)); }
  void setFrameInterval(double seconds) override { stream_->setFrameInterval(seconds); }

 private:
  std::unique_ptr<PipeWireStream> stream_;
  QString session_;
};

using Cast = Result<std::unique_ptr<PortalStream>>;

// The PipeWire stream of a portal session that has started (held while
// `onFrame` is nothing). With `endsSession` the session ends with it, or at
// once when the stream cannot start; else it is kept.
Cast castFrom(const ScreenCastPortal::Session& session, QSize size, QRect crop, double interval,
              std::function<void(const ScreenFrame&)> onFrame, bool ofWindow = false, bool endsSession = true) {
  PipeWireStreamOptions options;
  options.fd = session.pipeWireFd;
  options.node = session.streams.front().node;
  options.displaySize = size;
  options.crop = crop;
  options.minInterval = interval;
  options.showsOurWindows = !ofWindow;
  Result<std::unique_ptr<PipeWireStream>> stream = PipeWireStream::start(options, std::move(onFrame));
  if (!stream.ok()) {
    if (endsSession) ScreenCastPortal::close(session.handle);
    return stream.error();
  }
  return std::make_unique<PortalStream>(stream.take(), endsSession ? session.handle : QString());
}

// A chosen window's session with a PipeWire connection of its own: the one
// the portal gave, or a new one once that was used.
Result<ScreenCastPortal::Session> connected(ScreenCastPortal::Session session) {
  if (session.pipeWireFd >= 0) return session;
  Result<int> fd = ScreenCastPortal::pipeWireRemote(session.handle);
  if (!fd.ok()) return fd.error();
  session.pipeWireFd = fd.value();
  return session;
}

// Ends a session nothing was connected to, and closes its PipeWire connection.
void endSession(const ScreenCastPortal::Session& session) {
  ScreenCastPortal::close(session.handle);
  if (session.pipeWireFd >= 0) ::close(session.pipeWireFd);
}

void logRecording(const QString& what) { logLine("Recorder: recording " + what + " through the screen cast portal"); }

// An output's size in pixels.
QSize pixelsOf(const OutputPlacement& o) {
  return QSize(int(std::lround(o.logical.width() * o.scale)), int(std::lround(o.logical.height() * o.scale)));
}

std::optional<OutputPlacement> outputFor(const std::vector<OutputPlacement>& outputs, quint32 displayID) {
  for (const OutputPlacement& o : outputs)
    if (o.displayID == displayID) return o;
  return std::nullopt;
}

// The restore token kept for a display (empty: never shared); nothing when
// the display is gone. Main thread.
std::optional<QString> keptToken(quint32 displayID) {
  const std::optional<OutputPlacement> o = outputFor(currentOutputs(), displayID);
  if (!o) return std::nullopt;
  return Preferences::stringValue(tokenKey(o->name));
}

// Asks the portal to share the monitor `request` names, restoring the last
// choice for it when a token is kept. Main thread; `done` runs once, on it.
void shareMonitor(const StreamRequest& request, std::function<void(Result<SharedMonitor>)> done) {
  // The outputs and the settings are read here, on the main thread.
  const std::vector<OutputPlacement> outputs = currentOutputs();
  const std::optional<OutputPlacement> wanted = outputFor(outputs, *request.displayID);
  if (!wanted) return done(platformError(PlatformErrorCode::noDisplay, QStringLiteral("the display is gone")));
  ScreenCastPortal::Request r;
  r.source = ScreenCastPortal::Source::monitor;
  r.embedCursor = request.showsCursor;
  r.restoreToken = Preferences::stringValue(tokenKey(wanted->name));
  ScreenCastPortal::openAsync(r, [done, outputs, wanted = *wanted](Result<ScreenCastPortal::Session> s) {
    if (!s.ok()) return done(s.error());
    SharedMonitor c{s.value(), wanted, wanted.name};
    // The portal says where the shared monitor lies; that tells which one
    // the user picked, and which monitor the new token restores.
    const ScreenCastPortal::Stream& first = c.session.streams.front();
    if (first.position)
      for (const OutputPlacement& o : outputs)
        if (o.logical.topLeft() == *first.position) c.output = o.name;
    if (!c.session.restoreToken.isEmpty()) Preferences::setValue(tokenKey(c.output), c.session.restoreToken);
    done(c);
  });
}

// The cast of a shared monitor, fitted to the monitor asked for.
Cast castChosen(const SharedMonitor& c, const StreamRequest& request, std::function<void(const ScreenFrame&)> onFrame) {
  if (c.output != c.wanted.name)
    logLine("Recorder: the desktop shared " + c.output + " instead of " + c.wanted.name + "; it is fitted to the recording");
  return castFrom(c.session, pixelsOf(c.wanted), request.source, request.frameInterval, std::move(onFrame));
}

// A monitor being shared again during a countdown. The portal answers on the
// main thread; the readied stream may be let go of on any.
struct PortalReadied : ScreenStreamService::Readied {
  struct State {
    std::mutex mutex;
    bool settled = false, abandoned = false;
    // The held cast or why there is none; nothing when there was no choice
    // to restore.
    std::optional<Cast> cast;
    QString output;
    std::function<void()> whenSettled;  // a start waiting for the answer
  };
  StreamRequest request;
  std::shared_ptr<State> state = std::make_shared<State>();
  ~PortalReadied() override {
    std::optional<Cast> unused;
    std::lock_guard lock(state->mutex);
    state->abandoned = true;
    unused = std::move(state->cast);  // its session ends here
  }
  static void settle(const std::shared_ptr<State>& state, std::optional<Cast> cast, const QString& output = {}) {
    std::function<void()> then;
    {
      std::lock_guard lock(state->mutex);
      if (!state->abandoned) {
        state->cast = std::move(cast);
        state->output = output;
        state->settled = true;
        then = std::move(state->whenSettled);
      }
    }
    // A cast nobody waits for any more ends with `cast`.
    if (then) then();
  }
};

// A chosen window connected while the countdown runs. Its session stays
// the choice's until a start takes the cast: let go of (the countdown
// cancelled), only the connection ends and the window stays chosen.
struct WindowReadied : ScreenStreamService::Readied {
  StreamRequest request;
  std::unique_ptr<PortalStream> cast;
};

}  // namespace

std::optional<PortalScreenStreams::PickedWindow> PortalScreenStreams::picked(quint32 windowID, bool keep) {
  std::lock_guard lock(mutex_);
  auto it = chosen_.find(windowID);
  if (it == chosen_.end()) return std::nullopt;
  PickedWindow c = it->second;
  // Its PipeWire connection goes with the copy.
  if (keep) it->second.session.pipeWireFd = -1;
  else chosen_.erase(it);
  return c;
}

PortalScreenStreams::PortalScreenStreams() = default;

PortalScreenStreams::~PortalScreenStreams() {
  if (ahead_) endSession(ahead_->session);
  for (auto& [id, c] : chosen_) endSession(c.session);
}

void PortalScreenStreams::chooseWindow(std::function<void(std::optional<ChosenWindow>)> done) {
  ScreenCastPortal::Request r;
  r.source = ScreenCastPortal::Source::window;
  // A window is chosen afresh each time: nothing to restore.
  r.persist = false;
  ScreenCastPortal::openAsync(r, [this, done = std::move(done)](Result<ScreenCastPortal::Session> s) {
    if (!s.ok()) {
      logLine("Recorder: no window chosen: " + s.error().description);
      return done(std::nullopt);
    }
    const ScreenCastPortal::Stream& stream = s.value().streams.front();
    if (!stream.size || stream.size->isEmpty()) {
      // Without a size the recording's frame cannot be set up.
      logLine(QStringLiteral("Recorder: the desktop did not say the chosen window's size"));
      endSession(s.value());
      return done(std::nullopt);
    }
    ChosenWindow window;
    {
      std::lock_guard lock(mutex_);
      for (auto& [id, c] : chosen_) endSession(c.session);
      chosen_.clear();
      window.id = nextWindowID_++;
      chosen_[window.id] = PickedWindow{s.value(), *stream.size};
    }
    // xdg-desktop-portal passes no window title on; the id is all there is.
    logLine(QStringLiteral("Recorder: the desktop chose a window of %1x%2").arg(stream.size->width()).arg(stream.size->height()));
    done(window);
  });
}

void PortalScreenStreams::chooseAhead(const StreamRequest& request, std::function<void(std::optional<Error>)> done) {
  // A window was chosen already, and a monitor shared before is restored
  // without asking.
  if (!request.displayID) return done(std::nullopt);
  const std::optional<QString> token = keptToken(*request.displayID);
  if (!token || !token->isEmpty()) return done(std::nullopt);  // a display gone: the start says so
  shareMonitor(request, [this, request, done = std::move(done)](Result<SharedMonitor> c) {
    if (!c.ok()) return done(c.error());
    auto shared = std::make_unique<SharedMonitor>(c.take());
    {
      std::lock_guard lock(mutex_);
      std::swap(ahead_, shared);
      aheadFor_ = request;
    }
    if (shared) endSession(shared->session);  // an earlier one nobody took
    done(std::nullopt);
  });
}

std::unique_ptr<SharedMonitor> PortalScreenStreams::takeAhead(const StreamRequest& request) {
  std::unique_ptr<SharedMonitor> shared;
  StreamRequest wasFor;
  {
    std::lock_guard lock(mutex_);
    shared = std::move(ahead_);
    wasFor = aheadFor_;
  }
  if (!shared) return nullptr;
  // Chosen for this monitor and pointer: what part of it is recorded does
  // not matter to the portal.
  if (wasFor.displayID == request.displayID && wasFor.showsCursor == request.showsCursor) return shared;
  endSession(shared->session);
  return nullptr;
}

std::unique_ptr<ScreenStreamService::Readied> PortalScreenStreams::ready(const StreamRequest& request) {
  if (request.windowID) {
    // The window was chosen in the desktop's dialog: connect to it now.
    std::optional<PickedWindow> c = picked(*request.windowID, true);
    if (!c) return nullptr;
    Result<ScreenCastPortal::Session> session = connected(c->session);
    if (!session.ok()) return nullptr;  // the start says why
    Cast cast = castFrom(session.value(), c->size, QRect(), request.frameInterval, nullptr, /*ofWindow=*/true,
                         /*endsSession=*/false);
    if (!cast.ok()) return nullptr;
    auto readied = std::make_unique<WindowReadied>();
    readied->request = request;
    readied->cast = cast.take();
    return readied;
  }
  QCoreApplication* app = QCoreApplication::instance();
  if (!request.displayID || !app) return nullptr;
  auto readied = std::make_unique<PortalReadied>();
  readied->request = request;
  if (std::unique_ptr<SharedMonitor> shared = takeAhead(request)) {
    // Chosen just before the countdown: connected now.
    PortalReadied::settle(readied->state, castChosen(*shared, request, nullptr), shared->output);
    return readied;
  }
  QMetaObject::invokeMethod(
      app,
      [state = readied->state, request] {
        {
          std::lock_guard lock(state->mutex);
          if (state->abandoned) return;
        }
        const std::optional<QString> token = keptToken(*request.displayID);
        if (!token || token->isEmpty()) return PortalReadied::settle(state, std::nullopt);
        shareMonitor(request, [state, request](Result<SharedMonitor> c) {
          if (!c.ok()) return PortalReadied::settle(state, Cast(c.error()));
          PortalReadied::settle(state, castChosen(c.value(), request, nullptr), c.value().output);
        });
      },
      Qt::QueuedConnection);
  return readied;
}

Result<std::unique_ptr<ScreenStream>> PortalScreenStreams::start(const StreamRequest& request,
                                                                 std::function<void(const ScreenFrame&)> onFrame,
                                                                 std::unique_ptr<Readied> readied) {
  if (request.windowID) {
    std::optional<PickedWindow> c = picked(*request.windowID, false);
    if (!c) return platformError(PlatformErrorCode::windowGone, QStringLiteral("choose the window again"));
    const QString what = QStringLiteral("the chosen window");
    if (auto* r = dynamic_cast<WindowReadied*>(readied.get()); r && r->request == request) {
      std::unique_ptr<PortalStream> stream = std::move(r->cast);
      stream->endsWith(c->session.handle);
      stream->begin(std::move(onFrame));
      logRecording(what);
      logLine(QStringLiteral("Recorder: connected during the countdown"));
      return std::unique_ptr<ScreenStream>(std::move(stream));
    }
    readied.reset();  // its connection ends before another opens
    Result<ScreenCastPortal::Session> session = connected(c->session);
    if (!session.ok()) {
      endSession(c->session);
      return session.error();
    }
    Cast cast = castFrom(session.value(), c->size, QRect(), request.frameInterval, std::move(onFrame), /*ofWindow=*/true);
    if (!cast.ok()) return cast.error();
    logRecording(what);
    return std::unique_ptr<ScreenStream>(cast.take());
  }
  if (!request.displayID)
    return platformError(PlatformErrorCode::noDisplay, QStringLiteral("nothing to record"));

  // Shared again during the countdown: the answer, once it has come (the
  // desktop may be asking after all, its token having lapsed), is this
  // start's, a refusal included.
  if (auto* r = dynamic_cast<PortalReadied*>(readied.get()); r && r->request == request) {
    const std::shared_ptr<PortalReadied::State> state = r->state;
    portal::await<bool>([state](std::function<void(Result<bool>)> done) {
      std::unique_lock lock(state->mutex);
      if (!state->settled) {
        state->whenSettled = [done] { done(true); };
        return;
      }
      lock.unlock();
      done(true);
    });
    std::optional<Cast> cast;
    QString output;
    {
      std::lock_guard lock(state->mutex);
      cast = std::move(state->cast);
      output = state->output;
    }
    if (cast) {
      if (!cast->ok()) return cast->error();
      std::unique_ptr<PortalStream> stream = cast->take();
      stream->begin(std::move(onFrame));
      logRecording(output);
      logLine(QStringLiteral("Recorder: shared and connected during the countdown"));
      return std::unique_ptr<ScreenStream>(std::move(stream));
    }
  }
  readied.reset();

  // Chosen before the countdown, else asked for now.
  std::unique_ptr<SharedMonitor> shared = takeAhead(request);
  if (!shared) {
    Result<SharedMonitor> chosen = portal::await<SharedMonitor>(
        [&request](std::function<void(Result<SharedMonitor>)> done) { shareMonitor(request, std::move(done)); });
    if (!chosen.ok()) return chosen.error();
    shared = std::make_unique<SharedMonitor>(chosen.take());
  }
  Cast cast = castChosen(*shared, request, std::move(onFrame));
  if (!cast.ok()) return cast.error();
  logRecording(shared->output);
  return std::unique_ptr<ScreenStream>(cast.take());
}

std::optional<QRect> PortalScreenStreams::displayPixels(quint32 displayID) {
  std::optional<QRect> out;
  portal::await<bool>([&](std::function<void(Result<bool>)> done) {
    if (const std::optional<OutputPlacement> o = outputFor(currentOutputs(), displayID))
      out = QRect(QPoint(0, 0), pixelsOf(*o));
    done(true);
  });
  return out;
}

std::optional<QSize> PortalScreenStreams::windowPixels(quint32 windowID) {
  std::lock_guard lock(mutex_);
  auto it = chosen_.find(windowID);
  if (it == chosen_.end()) return std::nullopt;
  return it->second.size;
}

}  // namespace nimbo
