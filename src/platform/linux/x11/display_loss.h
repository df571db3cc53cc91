#pragma once
#include <functional>

namespace nimbo {

// Calls `onLost` (on whichever thread noticed, usually the main one) when
// the connection to the X server breaks, before Qt or Xlib would call
// exit() with our threads still running and crash in static destructors.
// `onLost` must end the process itself; it is called at most once.
void watchForDisplayLoss(std::function<void()> onLost);

}  // namespace nimbo
