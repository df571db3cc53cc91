#include "platform/linux/wayland/portal_screen_stream.h"

#include <unistd.h>

#include <QObject>
#include <QTimer>

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

// A stream connected while the countdown runs: a monitor shared just
// before it, whose session ends with the cast, or a window chosen in the
// desktop's dialog, whose session stays the choice's until a start takes
// the cast (let go of, the countdown cancelled, only the connection ends
// and the window stays chosen).
struct PortalReadied : ScreenStreamService::Readied {
  StreamRequest request;
  std::unique_ptr<PortalStream> cast;
  QString what;
};

// How the log names what a window recording records: the desktop's dialog
// chose it, and says no more of it.
QString chosenWindow() { return QStringLiteral("the chosen window"); }

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

PortalScreenStreams::PortalScreenStreams(int aheadKeptMs) : aheadKeptMs_(aheadKeptMs), guard_(std::make_unique<QObject>()) {}

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
  // A window was chosen in the desktop's dialog already.
  if (!request.displayID) return done(std::nullopt);
  // Shared now, restoring the last choice when there is one: a desktop that
  // asks after all (the first time, a token that has lapsed, a portal that
  // keeps no choices) asks before the countdown, not over it.
  shareMonitor(request, [this, request, done = std::move(done)](Result<SharedMonitor> c) {
    if (!c.ok()) return done(c.error());
    auto shared = std::make_unique<SharedMonitor>(c.take());
    quint64 serial = 0;
    {
      std::lock_guard lock(mutex_);
      std::swap(ahead_, shared);
      aheadFor_ = request;
      serial = ++aheadSerial_;
    }
    if (shared) endSession(shared->session);  // an earlier one nobody took
    // One nobody takes (a countdown cancelled before its stream was
    // connected) does not go on sharing the screen.
    QTimer::singleShot(aheadKeptMs_, guard_.get(), [this, serial] {
      std::unique_ptr<SharedMonitor> unused;
      {
        std::lock_guard lock(mutex_);
        if (serial == aheadSerial_) unused = std::move(ahead_);
      }
      if (unused) endSession(unused->session);
    });
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
  std::optional<Cast> cast;
  QString what;
  if (request.windowID) {
    // The window was chosen in the desktop's dialog: connect to it now.
    std::optional<PickedWindow> c = picked(*request.windowID, true);
    if (!c) return nullptr;
    Result<ScreenCastPortal::Session> session = connected(c->session);
    if (!session.ok()) return nullptr;  // the start says why
    cast = castFrom(session.value(), c->size, QRect(), request.frameInterval, nullptr, /*ofWindow=*/true,
                    /*endsSession=*/false);
    what = chosenWindow();
  } else {
    // The monitor shared just before the countdown. Without one (a caller
    // that did not ask ahead) the start shares it.
    std::unique_ptr<SharedMonitor> shared = takeAhead(request);
    if (!shared) return nullptr;
    cast = castChosen(*shared, request, nullptr);
    what = shared->output;
  }
  if (!cast->ok()) return nullptr;
  auto readied = std::make_unique<PortalReadied>();
  readied->request = request;
  readied->what = what;
  readied->cast = cast->take();
  return readied;
}

Result<std::unique_ptr<ScreenStream>> PortalScreenStreams::start(const StreamRequest& request,
                                                                 std::function<void(const ScreenFrame&)> onFrame,
                                                                 std::unique_ptr<Readied> readied) {
  std::optional<PickedWindow> window;
  if (request.windowID) {
    window = picked(*request.windowID, false);
    if (!window) return platformError(PlatformErrorCode::windowGone, QStringLiteral("choose the window again"));
  } else if (!request.displayID) {
    return platformError(PlatformErrorCode::noDisplay, QStringLiteral("nothing to record"));
  }
  if (auto* r = dynamic_cast<PortalReadied*>(readied.get()); r && r->request == request) {
    std::unique_ptr<PortalStream> stream = std::move(r->cast);
    if (window) stream->endsWith(window->session.handle);
    stream->begin(std::move(onFrame));
    logRecording(r->what);
    logLine(QStringLiteral("Recorder: connected during the countdown"));
    return std::unique_ptr<ScreenStream>(std::move(stream));
  }
  readied.reset();  // its connection ends before another opens

  if (window) {
    Result<ScreenCastPortal::Session> session = connected(window->session);
    if (!session.ok()) {
      endSession(window->session);
      return session.error();
    }
    Cast cast = castFrom(session.value(), window->size, QRect(), request.frameInterval, std::move(onFrame),
                         /*ofWindow=*/true);
    if (!cast.ok()) return cast.error();
    logRecording(chosenWindow());
    return std::unique_ptr<ScreenStream>(cast.take());
  }

  // Shared before the countdown, else asked for now.
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
