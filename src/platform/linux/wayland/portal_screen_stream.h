#pragma once
// Recording streams on Wayland: the ScreenCast portal picks (or restores)
// what is shared and hands over a PipeWire stream of it.
#include <map>
#include <mutex>

#include "platform/linux/portal/portal_screencast.h"
#include "platform/platform.h"

namespace nimbo {

struct SharedMonitor;

class PortalScreenStreams : public ScreenStreamService {
 public:
  PortalScreenStreams();
  // A monitor shared before (a restore token is kept for it) is shared again
  // while the countdown runs, its stream connected and held, so the
  // recording has its first picture at the start. The portal is asked from
  // the main thread; this returns at once. Without a token nothing is
  // readied (the desktop would ask over the countdown) unless the monitor
  // was chosen just before it. A monitor chosen so, or a window chosen in
  // the desktop's dialog, is connected here (a worker's wait).
  std::unique_ptr<Readied> ready(const StreamRequest& request) override;
  // A monitor never shared before is chosen in the desktop's dialog now,
  // before the countdown; the session is kept for the recording.
  void chooseAhead(const StreamRequest& request, std::function<void(std::optional<Error>)> done) override;
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
};

}  // namespace nimbo
