#include "key_combo.h"

namespace nimbo::hotkey {

KeyCombo::KeyCombo(Key key, uint32_t modifierFlags)
    : carbonKeyCode(hotkey::carbonKeyCode(key)), carbonModifiers(carbonModifiersFromFlags(modifierFlags)) {}

uint32_t KeyCombo::carbonModifiersFromFlags(uint32_t f) {
  uint32_t c = 0;
  if (f & ModifierFlags::command) c |= CarbonModifiers::command;
  if (f & ModifierFlags::option) c |= CarbonModifiers::option;
  if (f & ModifierFlags::control) c |= CarbonModifiers::control;
  if (f & ModifierFlags::shift) c |= CarbonModifiers::shift;
  return c;
}

uint32_t KeyCombo::flagsFromCarbonModifiers(uint32_t c) {
  uint32_t f = 0;
  if (c & CarbonModifiers::command) f |= ModifierFlags::command;
  if (c & CarbonModifiers::option) f |= ModifierFlags::option;
  if (c & CarbonModifiers::control) f |= ModifierFlags::control;
  if (c & CarbonModifiers::shift) f |= ModifierFlags::shift;
  return f;
}

}  // namespace nimbo::hotkey
