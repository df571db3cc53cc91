#pragma once
#include <memory>

#include "platform/platform.h"

namespace nimbo {

namespace x11 {
class Grabber;
}

// Recording streams on X11: a capture thread with its own connection grabs
// through MIT-SHM at the frame interval, draws the pointer from XFixes, and
// skips frames in which XDamage saw no change. A window is read from its
// XComposite pixmap, so it is recorded whole even when covered.
class X11ScreenStreams : public ScreenStreamService {
 public:
  explicit X11ScreenStreams(std::shared_ptr<x11::Grabber> grabber);
  Result<std::unique_ptr<ScreenStream>> start(const StreamRequest& request,
                                              std::function<void(const ScreenFrame&)> onFrame) override;
  std::optional<QRect> displayPixels(quint32 displayID) override;
  std::optional<QSize> windowPixels(quint32 windowID) override;
  std::vector<WindowInfo> windows() override;

 private:
  std::shared_ptr<x11::Grabber> grabber_;
};

}  // namespace nimbo
