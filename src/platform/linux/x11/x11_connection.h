#pragma once
// Opening a connection to the X server and finding its screen, the same way
// for every part that keeps a connection of its own (one-shot grabs, the
// recording stream's thread, the global hotkeys). No Qt.
#include <xcb/xcb.h>

#include <string>

namespace nimbo::x11 {

struct Connection {
  xcb_connection_t* conn = nullptr;
  xcb_screen_t* screen = nullptr;  // the display's default screen
  int screenNumber = 0;
};

// Connects to `display` (nullptr: $DISPLAY). On failure `conn` is null, any
// half-made connection is closed and `error` says why.
Connection connect(const char* display, std::string* error);

}  // namespace nimbo::x11
