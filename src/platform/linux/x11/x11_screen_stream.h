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
  // Readying opens the stream's connection and primes its shared segment
  // (a third of a second at 4K), so the first frame comes on the first tick.
  std::unique_ptr<Readied> ready(const StreamRequest& request) override;
  Result<std::unique_ptr<ScreenStream>> start(const StreamRequest& request,
                                              std::function<void(const ScreenFrame&)> onFrame,
                                              std::unique_ptr<Readied> readied) override;
  std::optional<QRect> displayPixels(quint32 displayID) override;
  std::optional<QSize> windowPixels(quint32 windowID) override;
  std::vector<WindowInfo> windows() override;

 private:
  Result<QRect> areaFor(const StreamRequest& request);
  std::shared_ptr<x11::Grabber> grabber_;
};

}  // namespace nimbo
