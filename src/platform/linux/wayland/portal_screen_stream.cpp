#include "platform/linux/wayland/portal_screen_stream.h"

#include "platform/linux/wayland/wayland_platform.h"

namespace nimbo {

Result<std::unique_ptr<ScreenStream>> PortalScreenStreams::start(const StreamRequest&,
                                                                 std::function<void(const ScreenFrame&)>) {
  return platformError(PlatformErrorCode::failed, QStringLiteral("recording on Wayland is not available yet"));
}

std::optional<QRect> PortalScreenStreams::displayPixels(quint32 displayID) {
  for (const OutputPlacement& o : currentOutputs())
    if (o.displayID == displayID)
      return QRect(0, 0, int(std::lround(o.logical.width() * o.scale)), int(std::lround(o.logical.height() * o.scale)));
  return std::nullopt;
}

std::optional<QSize> PortalScreenStreams::windowPixels(quint32) { return std::nullopt; }

}  // namespace nimbo
