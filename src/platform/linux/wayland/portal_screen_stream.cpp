#include "platform/linux/wayland/portal_screen_stream.h"

#include <unistd.h>

#include "platform/linux/portal/portal_request.h"
#include "platform/linux/portal/portal_screencast.h"
#include "platform/linux/wayland/pipewire_stream.h"
#include "platform/linux/wayland/wayland_platform.h"
#include "util/log.h"
#include "util/preferences.h"

namespace nimbo {
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
  int framesIdle() const override { return stream_->framesIdle(); }
  int framesMissed() const override { return stream_->framesMissed(); }
  void setHiddenWindows(std::vector<quint32> ids) override { stream_->setHiddenWindows(std::move(ids)); }
  void setFrameInterval(double seconds) override { stream_->setFrameInterval(seconds); }

 private:
  std::unique_ptr<PipeWireStream> stream_;
  QString session_;
};

// The PipeWire stream of a portal session that has started; the session
// ends with it, or at once when the stream cannot start.
Result<std::unique_ptr<ScreenStream>> castFrom(const ScreenCastPortal::Session& session, QSize size, QRect crop,
                                               double interval, std::function<void(const ScreenFrame&)> onFrame,
                                               const QString& what) {
  PipeWireStreamOptions options;
  options.fd = session.pipeWireFd;
  options.node = session.streams.front().node;
  options.displaySize = size;
  options.crop = crop;
  options.minInterval = interval;
  Result<std::unique_ptr<PipeWireStream>> stream = PipeWireStream::start(options, std::move(onFrame));
  if (!stream.ok()) {
    ScreenCastPortal::close(session.handle);
    return stream.error();
  }
  logLine("Recorder: recording " + what + " through the screen cast portal");
  return std::unique_ptr<ScreenStream>(new PortalStream(stream.take(), session.handle));
}

struct Chosen {
  ScreenCastPortal::Session session;
  QString output;  // the monitor the user shared, when it could be told
};

}  // namespace

PortalScreenStreams::~PortalScreenStreams() {
  for (auto& [id, c] : chosen_) {
    ScreenCastPortal::close(c.session.handle);
    if (c.session.pipeWireFd >= 0) ::close(c.session.pipeWireFd);
  }
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
      ScreenCastPortal::close(s.value().handle);
      ::close(s.value().pipeWireFd);
      return done(std::nullopt);
    }
    ChosenWindow window;
    {
      std::lock_guard lock(mutex_);
      for (auto& [id, c] : chosen_) {
        ScreenCastPortal::close(c.session.handle);
        ::close(c.session.pipeWireFd);
      }
      chosen_.clear();
      window.id = nextWindowID_++;
      chosen_[window.id] = PickedWindow{s.value(), *stream.size};
    }
    // xdg-desktop-portal passes no window title on; the id is all there is.
    logLine(QStringLiteral("Recorder: the desktop chose a window of %1x%2").arg(stream.size->width()).arg(stream.size->height()));
    done(window);
  });
}

Result<std::unique_ptr<ScreenStream>> PortalScreenStreams::start(const StreamRequest& request,
                                                                 std::function<void(const ScreenFrame&)> onFrame,
                                                                 std::unique_ptr<Readied>) {
  if (request.windowID) {
    PickedWindow c;
    {
      std::lock_guard lock(mutex_);
      auto it = chosen_.find(*request.windowID);
      if (it == chosen_.end())
        return platformError(PlatformErrorCode::windowGone, QStringLiteral("choose the window again"));
      c = it->second;
      chosen_.erase(it);
    }
    return castFrom(c.session, c.size, QRect(), request.frameInterval, std::move(onFrame),
                    QStringLiteral("the chosen window"));
  }
  if (!request.displayID)
    return platformError(PlatformErrorCode::noDisplay, QStringLiteral("nothing to record"));
  const quint32 displayID = *request.displayID;
  std::optional<OutputPlacement> wanted;
  Result<Chosen> chosen = portal::await<Chosen>([&](std::function<void(Result<Chosen>)> done) {
    // Main thread: the outputs and the settings are read here.
    const std::vector<OutputPlacement> outputs = currentOutputs();
    for (const OutputPlacement& o : outputs)
      if (o.displayID == displayID) wanted = o;
    if (!wanted) return done(platformError(PlatformErrorCode::noDisplay, QStringLiteral("the display is gone")));
    ScreenCastPortal::Request r;
    r.source = ScreenCastPortal::Source::monitor;
    r.embedCursor = request.showsCursor;
    r.restoreToken = Preferences::stringValue(tokenKey(wanted->name));
    ScreenCastPortal::openAsync(r, [done, outputs, name = wanted->name](Result<ScreenCastPortal::Session> s) {
      if (!s.ok()) return done(s.error());
      Chosen c{s.value(), name};
      // The portal says where the shared monitor lies; that tells which one
      // the user picked, and which monitor the new token restores.
      const ScreenCastPortal::Stream& first = c.session.streams.front();
      if (first.position)
        for (const OutputPlacement& o : outputs)
          if (o.logical.topLeft() == *first.position) c.output = o.name;
      if (!c.session.restoreToken.isEmpty()) Preferences::setValue(tokenKey(c.output), c.session.restoreToken);
      done(c);
    });
  });
  if (!chosen.ok()) return chosen.error();
  Chosen c = chosen.take();
  if (c.output != wanted->name)
    logLine("Recorder: the desktop shared " + c.output + " instead of " + wanted->name + "; it is fitted to the recording");

  const QSize pixels(int(std::lround(wanted->logical.width() * wanted->scale)),
                     int(std::lround(wanted->logical.height() * wanted->scale)));
  return castFrom(c.session, pixels, request.source, request.frameInterval, std::move(onFrame), c.output);
}

std::optional<QRect> PortalScreenStreams::displayPixels(quint32 displayID) {
  std::optional<QRect> out;
  portal::await<bool>([&](std::function<void(Result<bool>)> done) {
    for (const OutputPlacement& o : currentOutputs())
      if (o.displayID == displayID)
        out = QRect(0, 0, int(std::lround(o.logical.width() * o.scale)), int(std::lround(o.logical.height() * o.scale)));
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
