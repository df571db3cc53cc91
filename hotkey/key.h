#pragma once
// The keys a global shortcut can use, identified by the platform-neutral
// virtual key codes that stored bindings carry (0 = A, 50 = grave, …), with
// the X keysym each one is typed as.
#include <cstdint>
#include <optional>
#include <string>

namespace nimbo::hotkey {

enum class Key {
  a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, t, u, v, w, x, y, z,
  zero, one, two, three, four, five, six, seven, eight, nine,
  period, quote, rightBracket, semicolon, slash, backslash, comma, equal, grave, leftBracket, minus,
  section, space, tab, returnKey,
  command, rightCommand, option, rightOption, control, rightControl, shift, rightShift, function,
  capsLock,
  pageUp, pageDown, home, end, upArrow, rightArrow, downArrow, leftArrow,
  f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12, f13, f14, f15, f16, f17, f18, f19, f20,
  keypad0, keypad1, keypad2, keypad3, keypad4, keypad5, keypad6, keypad7, keypad8, keypad9,
  keypadClear, keypadDecimal, keypadDivide, keypadEnter, keypadEquals, keypadMinus, keypadMultiply,
  keypadPlus,
  escape, deleteKey, forwardDelete, help, volumeUp, volumeDown, mute,
};
inline constexpr int kKeyCount = int(Key::mute) + 1;

// Nothing for a code above 126 or one that names none of the keys.
std::optional<Key> keyFromCarbonKeyCode(uint32_t code);
uint32_t carbonKeyCode(Key key);
// The X keysym the key produces without modifiers; 0 when X has none (fn).
uint32_t keysym(Key key);
// The key typed as `sym`; an upper-case letter counts as its key.
std::optional<Key> keyFromKeysym(uint32_t sym);
// "A", "F5", "`", "Space", … as a person names the key.
std::string keyName(Key key);
// The inverse of keyName, case-insensitive; also accepts the typed character.
std::optional<Key> keyFromName(const std::string& name);

}  // namespace nimbo::hotkey
