#pragma once
#include <cstdint>
#include <optional>

#include "key.h"

namespace nimbo::hotkey {

// Modifier flags as stored in bindings (the device-independent event mask).
namespace ModifierFlags {
inline constexpr uint32_t capsLock = 0x10000;
inline constexpr uint32_t shift = 0x20000;
inline constexpr uint32_t control = 0x40000;
inline constexpr uint32_t option = 0x80000;   // Alt
inline constexpr uint32_t command = 0x100000; // Super
inline constexpr uint32_t numericPad = 0x200000;
inline constexpr uint32_t function = 0x800000;
}  // namespace ModifierFlags

// The compact modifier bits a registration carries.
namespace CarbonModifiers {
inline constexpr uint32_t command = 0x100;
inline constexpr uint32_t shift = 0x200;
inline constexpr uint32_t option = 0x800;
inline constexpr uint32_t control = 0x1000;
}  // namespace CarbonModifiers

struct KeyCombo {
  uint32_t carbonKeyCode = 0;
  uint32_t carbonModifiers = 0;

  KeyCombo() = default;
  KeyCombo(uint32_t keyCode, uint32_t carbonMods) : carbonKeyCode(keyCode), carbonModifiers(carbonMods) {}
  // Flags other than the four modifiers (caps lock, fn, keypad) are dropped.
  KeyCombo(Key key, uint32_t modifierFlags);

  std::optional<Key> key() const { return keyFromCarbonKeyCode(carbonKeyCode); }
  uint32_t modifiers() const { return flagsFromCarbonModifiers(carbonModifiers); }

  static uint32_t carbonModifiersFromFlags(uint32_t flags);
  static uint32_t flagsFromCarbonModifiers(uint32_t carbon);

  bool operator==(const KeyCombo&) const = default;
};

}  // namespace nimbo::hotkey
