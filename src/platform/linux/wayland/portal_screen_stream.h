#pragma once
// Recording streams on Wayland: the ScreenCast portal picks (or restores)
// what is shared and hands over a PipeWire stream of it.
#include <map>
#include <mutex>

#include "platform/linux/portal/portal_screencast.h"
#include "platform/platform.h"

class QObject;

namespace nimbo {

struct SharedMonitor;

class PortalScreenStreams : public ScreenStreamService {
 public:
  // A monitor shared ahead that nothing takes within `aheadKeptMs` ends.
  explicit PortalScreenStreams(int aheadKeptMs = 10000);
  // The monitor is shared now, before the countdown, restoring the last
  // choice for it when the desktop gave a token for one; the desktop asks
  // only when it cannot (never shared, a lapsed token, a portal that keeps
  // no choices). The session is kept for this recording.
  void chooseAhead(const StreamRequest& request, std::function<void(std::optional<Error>)> done) override;
  // Connects, on the worker, the monitor shared just before the countdown
  // or a window chosen in the desktop's dialog, and holds the stream, so
  // the recording has its first picture at the start. Nothing for a monitor
  // not shared ahead: the start shares it.
  std::unique_ptr<Readied> ready(const StreamRequest& request) override;
  Result<std::unique_ptr<ScreenStream>> start(const StreamRequest& request,
                                              std::function<void(const ScreenFrame&)> onFrame,
                                              std::unique_ptr<Readied> readied) override;
  std::optional<QRect> displayPixels(quint32 displayID) override;
  std::optional<QSize> windowPixels(quint32 windowID) override;
  std::vector<WindowInfo> windows() override { return {}; }  // no client may list others' windows
  bool desktopChoosesWindows() const override { return true; }
  // The portal's window chooser; the session it opens is kept for the
  // recording (one at a time: a new choice ends the previous one).
  void chooseWindow(std::function<void(std::optional<ChosenWindow>)> done) override;
  ~PortalScreenStreams() override;

 private:
  struct PickedWindow {
    ScreenCastPortal::Session session;
    QSize size;
  };
  // A copy of the chosen window's session; `keep` leaves the choice in
  // place (its PipeWire connection goes with the copy), else it is taken.
  std::optional<PickedWindow> picked(quint32 windowID, bool keep);
  // The monitor chosen ahead when it was for `request`'s; else it ends.
  std::unique_ptr<SharedMonitor> takeAhead(const StreamRequest& request);
  std::mutex mutex_;
  std::map<quint32, PickedWindow> chosen_;
  quint32 nextWindowID_ = 1;
  std::unique_ptr<SharedMonitor> ahead_;
  StreamRequest aheadFor_;
  quint64 aheadSerial_ = 0;
  int aheadKeptMs_;
  std::unique_ptr<QObject> guard_;  // the context of main-thread timers, gone with this
};

}  // namespace nimbo
