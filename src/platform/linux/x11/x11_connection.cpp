#include "platform/linux/x11/x11_connection.h"

namespace nimbo::x11 {

Connection connect(const char* display, std::string* error) {
  Connection c;
  xcb_connection_t* conn = xcb_connect(display, &c.screenNumber);
  if (!conn || xcb_connection_has_error(conn)) {
    if (conn) xcb_disconnect(conn);
    if (error) *error = "cannot open the X display";
    return {};
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn));
  for (int i = 0; i < c.screenNumber && it.rem; ++i) xcb_screen_next(&it);
  if (!it.rem) {
    xcb_disconnect(conn);
    if (error) *error = "the X display has no screen";
    return {};
  }
  c.conn = conn;
  c.screen = it.data;
  return c;
}

}  // namespace nimbo::x11
