#pragma once
// Qt's screens as the logic sees them, for every platform that shows its
// windows through Qt.
#include <vector>

#include "platform/platform.h"

namespace nimbo {

// The primary screen's bottom edge in Qt's top-left points: where the y-up
// space has y = 0.
double primaryScreenBottom();
// Every Qt screen: key, name, y-up frame and scale; no display number.
std::vector<ScreenInfo> qtScreenInfos();

}  // namespace nimbo
