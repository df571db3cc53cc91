#pragma once
// Recording streams on Wayland: the ScreenCast portal picks (or restores)
// what is shared and hands over a PipeWire stream of it.
#include "platform/platform.h"

namespace nimbo {

class PortalScreenStreams : public ScreenStreamService {
 public:
  Result<std::unique_ptr<ScreenStream>> start(const StreamRequest& request,
                                              std::function<void(const ScreenFrame&)> onFrame) override;
  std::optional<QRect> displayPixels(quint32 displayID) override;
  std::optional<QSize> windowPixels(quint32 windowID) override;
  std::vector<WindowInfo> windows() override { return {}; }  // no client may list others' windows
};

}  // namespace nimbo
