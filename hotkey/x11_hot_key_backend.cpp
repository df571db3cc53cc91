#include "x11_hot_key_backend.h"

#include "platform/linux/x11/x11_connection.h"

#include <xcb/xcb.h>

#include <QSocketNotifier>

#include <cstdlib>

namespace nimbo::hotkey {
namespace {
constexpr uint32_t kNumLockKeysym = 0xff7f;
constexpr uint16_t kRelevant = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;
}  // namespace

std::unique_ptr<X11HotKeyBackend> X11HotKeyBackend::create(std::string* error) {
  const nimbo::x11::Connection c = nimbo::x11::connect(nullptr, error);
  if (!c.conn) return nullptr;
  std::unique_ptr<X11HotKeyBackend> b(new X11HotKeyBackend);
  b->conn_ = c.conn;
  b->root_ = c.screen->root;
  b->loadKeyboard();
  return b;
}

X11HotKeyBackend::~X11HotKeyBackend() {
  for (const auto& [ref, g] : grabs_) ungrab(g.keycode, g.modifiers);
  if (conn_) xcb_disconnect(conn_);
}

uint16_t X11HotKeyBackend::xModifiers(uint32_t c) {
  uint16_t m = 0;
  if (c & CarbonModifiers::shift) m |= XCB_MOD_MASK_SHIFT;
  if (c & CarbonModifiers::control) m |= XCB_MOD_MASK_CONTROL;
  if (c & CarbonModifiers::option) m |= XCB_MOD_MASK_1;   // Alt
  if (c & CarbonModifiers::command) m |= XCB_MOD_MASK_4;  // Super
  return m;
}

void X11HotKeyBackend::loadKeyboard() {
  const xcb_setup_t* setup = xcb_get_setup(conn_);
  minKeycode_ = setup->min_keycode;
  const int count = setup->max_keycode - setup->min_keycode + 1;
  xcb_get_keyboard_mapping_reply_t* map = xcb_get_keyboard_mapping_reply(
      conn_, xcb_get_keyboard_mapping(conn_, setup->min_keycode, uint8_t(count)), nullptr);
  keysyms_.clear();
  if (map) {
    keysymsPerKeycode_ = map->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map);
    keysyms_.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(map));
    std::free(map);
  }
  // Which modifier bit NumLock sits on differs between servers (usually Mod2).
  numLockMask_ = 0;
  const std::optional<uint8_t> numLock = keycodeFor(kNumLockKeysym);
  xcb_get_modifier_mapping_reply_t* mods =
      xcb_get_modifier_mapping_reply(conn_, xcb_get_modifier_mapping(conn_), nullptr);
  if (mods && numLock) {
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(mods);
    const int per = mods->keycodes_per_modifier;
    for (int m = 0; m < 8; ++m)
      for (int k = 0; k < per; ++k)
        if (codes[m * per + k] == *numLock) numLockMask_ = uint16_t(1 << m);
  }
  std::free(mods);
}

std::optional<uint8_t> X11HotKeyBackend::keycodeFor(uint32_t keysym) const {
  if (!keysym || keysymsPerKeycode_ <= 0) return std::nullopt;
  // Prefer a key that types the symbol without Shift, then any level.
  for (int level = 0; level < keysymsPerKeycode_; ++level)
    for (size_t k = 0; k * keysymsPerKeycode_ < keysyms_.size(); ++k)
      if (keysyms_[k * keysymsPerKeycode_ + level] == keysym) return uint8_t(minKeycode_ + k);
  return std::nullopt;
}

uint32_t X11HotKeyBackend::baseKeysym(uint32_t keycode) const {
  if (keysymsPerKeycode_ <= 0 || keycode < minKeycode_) return 0;
  const size_t at = size_t(keycode - minKeycode_) * size_t(keysymsPerKeycode_);
  return at < keysyms_.size() ? keysyms_[at] : 0;
}

std::vector<uint16_t> X11HotKeyBackend::lockVariants() const {
  std::vector<uint16_t> v{0, XCB_MOD_MASK_LOCK};
  if (numLockMask_) {
    v.push_back(numLockMask_);
    v.push_back(uint16_t(numLockMask_ | XCB_MOD_MASK_LOCK));
  }
  return v;
}

void X11HotKeyBackend::ungrab(uint8_t keycode, uint16_t modifiers) {
  for (uint16_t lock : lockVariants()) xcb_ungrab_key(conn_, keycode, root_, uint16_t(modifiers | lock));
  xcb_flush(conn_);
}

std::optional<uintptr_t> X11HotKeyBackend::registerHotKey(uint32_t carbonKeyCode, uint32_t carbonModifiers,
                                                          EventHotKeyID id) {
  const std::optional<Key> key = keyFromCarbonKeyCode(carbonKeyCode);
  if (!key) return std::nullopt;
  const std::optional<uint8_t> keycode = keycodeFor(keysym(*key));
  if (!keycode) return std::nullopt;
  const uint16_t mods = xModifiers(carbonModifiers);

  // All variants or none: a shortcut that fires only with CapsLock off would
  // look broken.
  std::vector<xcb_void_cookie_t> cookies;
  for (uint16_t lock : lockVariants())
    cookies.push_back(xcb_grab_key_checked(conn_, 1, root_, uint16_t(mods | lock), *keycode,
                                           XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
  bool refused = false;
  for (xcb_void_cookie_t c : cookies) {
    if (xcb_generic_error_t* e = xcb_request_check(conn_, c)) {
      refused = true;
      std::free(e);
    }
  }
  if (refused) {
    ungrab(*keycode, mods);
    return std::nullopt;
  }
  const uintptr_t ref = nextRef_++;
  grabs_[ref] = Grab{*keycode, mods, id};
  return ref;
}

void X11HotKeyBackend::unregisterHotKey(uintptr_t ref) {
  auto it = grabs_.find(ref);
  if (it == grabs_.end()) return;
  const Grab g = it->second;
  grabs_.erase(it);
  // Another registration of the same combination keeps the grab.
  for (const auto& [r, other] : grabs_)
    if (other.keycode == g.keycode && other.modifiers == g.modifiers) return;
  ungrab(g.keycode, g.modifiers);
}

void X11HotKeyBackend::installEventHandler() {
  if (notifier_) return;
  notifier_ = new QSocketNotifier(xcb_get_file_descriptor(conn_), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &X11HotKeyBackend::readEvents);
  readEvents();  // anything already queued
}

void X11HotKeyBackend::readEvents() {
  while (xcb_generic_event_t* ev = xcb_poll_for_event(conn_)) {
    const uint8_t type = ev->response_type & 0x7f;
    if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
      auto* k = reinterpret_cast<xcb_key_press_event_t*>(ev);
      const uint16_t mods = k->state & kRelevant;
      const uint32_t kind = type == XCB_KEY_PRESS ? HotKeysController::kEventHotKeyPressed
                                                  : HotKeysController::kEventHotKeyReleased;
      std::vector<EventHotKeyID> hits;
      for (const auto& [ref, g] : grabs_)
        if (g.keycode == k->detail && g.modifiers == mods) hits.push_back(g.id);
      for (const EventHotKeyID& id : hits) HotKeysController::handleEvent(id, kind);
    } else if (type == XCB_MAPPING_NOTIFY) {
      loadKeyboard();
    }
    std::free(ev);
  }
}

}  // namespace nimbo::hotkey
