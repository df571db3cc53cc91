#pragma once
// Reading window properties and atoms over XCB.
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace nimbo::x11 {

inline xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* r =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr);
  if (!r) return XCB_ATOM_NONE;
  const xcb_atom_t a = r->atom;
  std::free(r);
  return a;
}

// The property's bytes as stored; empty when it is missing.
inline std::string propertyBytes(xcb_connection_t* c, xcb_window_t w, const char* prop, xcb_atom_t type) {
  xcb_get_property_reply_t* r =
      xcb_get_property_reply(c, xcb_get_property(c, 0, w, atom(c, prop), type, 0, 1 << 16), nullptr);
  if (!r) return {};
  // The length is in bytes whatever the format.
  std::string v(static_cast<const char*>(xcb_get_property_value(r)), size_t(xcb_get_property_value_length(r)));
  std::free(r);
  return v;
}

// A property of 32-bit values (windows, atoms, cardinals).
inline std::vector<uint32_t> cardinals(xcb_connection_t* c, xcb_window_t w, const char* prop, xcb_atom_t type) {
  const std::string bytes = propertyBytes(c, w, prop, type);
  std::vector<uint32_t> out(bytes.size() / 4);
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

}  // namespace nimbo::x11
