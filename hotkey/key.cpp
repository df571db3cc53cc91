#include "key.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace nimbo::hotkey {
namespace {

struct Entry {
  Key key;
  uint16_t code;    // virtual key code
  uint32_t keysym;  // X keysym
  const char* name;
};

// Virtual key codes as published for the platform's keyboards (kVK_*).
constexpr std::array<Entry, kKeyCount> kTable{{
    {Key::a, 0x00, 0x61, "A"}, {Key::b, 0x0B, 0x62, "B"}, {Key::c, 0x08, 0x63, "C"},
    {Key::d, 0x02, 0x64, "D"}, {Key::e, 0x0E, 0x65, "E"}, {Key::f, 0x03, 0x66, "F"},
    {Key::g, 0x05, 0x67, "G"}, {Key::h, 0x04, 0x68, "H"}, {Key::i, 0x22, 0x69, "I"},
    {Key::j, 0x26, 0x6a, "J"}, {Key::k, 0x28, 0x6b, "K"}, {Key::l, 0x25, 0x6c, "L"},
    {Key::m, 0x2E, 0x6d, "M"}, {Key::n, 0x2D, 0x6e, "N"}, {Key::o, 0x1F, 0x6f, "O"},
    {Key::p, 0x23, 0x70, "P"}, {Key::q, 0x0C, 0x71, "Q"}, {Key::r, 0x0F, 0x72, "R"},
    {Key::s, 0x01, 0x73, "S"}, {Key::t, 0x11, 0x74, "T"}, {Key::u, 0x20, 0x75, "U"},
    {Key::v, 0x09, 0x76, "V"}, {Key::w, 0x0D, 0x77, "W"}, {Key::x, 0x07, 0x78, "X"},
    {Key::y, 0x10, 0x79, "Y"}, {Key::z, 0x06, 0x7a, "Z"},
    {Key::zero, 0x1D, 0x30, "0"}, {Key::one, 0x12, 0x31, "1"}, {Key::two, 0x13, 0x32, "2"},
    {Key::three, 0x14, 0x33, "3"}, {Key::four, 0x15, 0x34, "4"}, {Key::five, 0x17, 0x35, "5"},
    {Key::six, 0x16, 0x36, "6"}, {Key::seven, 0x1A, 0x37, "7"}, {Key::eight, 0x1C, 0x38, "8"},
    {Key::nine, 0x19, 0x39, "9"},
    {Key::period, 0x2F, 0x2e, "."}, {Key::quote, 0x27, 0x27, "'"}, {Key::rightBracket, 0x1E, 0x5d, "]"},
    {Key::semicolon, 0x29, 0x3b, ";"}, {Key::slash, 0x2C, 0x2f, "/"}, {Key::backslash, 0x2A, 0x5c, "\\"},
    {Key::comma, 0x2B, 0x2c, ","}, {Key::equal, 0x18, 0x3d, "="}, {Key::grave, 0x32, 0x60, "`"},
    {Key::leftBracket, 0x21, 0x5b, "["}, {Key::minus, 0x1B, 0x2d, "-"}, {Key::section, 0x0A, 0xa7, "§"},
    {Key::space, 0x31, 0x20, "Space"}, {Key::tab, 0x30, 0xff09, "Tab"}, {Key::returnKey, 0x24, 0xff0d, "Return"},
    {Key::command, 0x37, 0xffeb, "Super"}, {Key::rightCommand, 0x36, 0xffec, "RightSuper"},
    {Key::option, 0x3A, 0xffe9, "Alt"}, {Key::rightOption, 0x3D, 0xffea, "RightAlt"},
    {Key::control, 0x3B, 0xffe3, "Ctrl"}, {Key::rightControl, 0x3E, 0xffe4, "RightCtrl"},
    {Key::shift, 0x38, 0xffe1, "Shift"}, {Key::rightShift, 0x3C, 0xffe2, "RightShift"},
    {Key::function, 0x3F, 0, "Fn"}, {Key::capsLock, 0x39, 0xffe5, "CapsLock"},
    {Key::pageUp, 0x74, 0xff55, "PageUp"}, {Key::pageDown, 0x79, 0xff56, "PageDown"},
    {Key::home, 0x73, 0xff50, "Home"}, {Key::end, 0x77, 0xff57, "End"},
    {Key::upArrow, 0x7E, 0xff52, "Up"}, {Key::rightArrow, 0x7C, 0xff53, "Right"},
    {Key::downArrow, 0x7D, 0xff54, "Down"}, {Key::leftArrow, 0x7B, 0xff51, "Left"},
    {Key::f1, 0x7A, 0xffbe, "F1"}, {Key::f2, 0x78, 0xffbf, "F2"}, {Key::f3, 0x63, 0xffc0, "F3"},
    {Key::f4, 0x76, 0xffc1, "F4"}, {Key::f5, 0x60, 0xffc2, "F5"}, {Key::f6, 0x61, 0xffc3, "F6"},
    {Key::f7, 0x62, 0xffc4, "F7"}, {Key::f8, 0x64, 0xffc5, "F8"}, {Key::f9, 0x65, 0xffc6, "F9"},
    {Key::f10, 0x6D, 0xffc7, "F10"}, {Key::f11, 0x67, 0xffc8, "F11"}, {Key::f12, 0x6F, 0xffc9, "F12"},
    {Key::f13, 0x69, 0xffca, "F13"}, {Key::f14, 0x6B, 0xffcb, "F14"}, {Key::f15, 0x71, 0xffcc, "F15"},
    {Key::f16, 0x6A, 0xffcd, "F16"}, {Key::f17, 0x40, 0xffce, "F17"}, {Key::f18, 0x4F, 0xffcf, "F18"},
    {Key::f19, 0x50, 0xffd0, "F19"}, {Key::f20, 0x5A, 0xffd1, "F20"},
    {Key::keypad0, 0x52, 0xffb0, "KP0"}, {Key::keypad1, 0x53, 0xffb1, "KP1"}, {Key::keypad2, 0x54, 0xffb2, "KP2"},
    {Key::keypad3, 0x55, 0xffb3, "KP3"}, {Key::keypad4, 0x56, 0xffb4, "KP4"}, {Key::keypad5, 0x57, 0xffb5, "KP5"},
    {Key::keypad6, 0x58, 0xffb6, "KP6"}, {Key::keypad7, 0x59, 0xffb7, "KP7"}, {Key::keypad8, 0x5B, 0xffb8, "KP8"},
    {Key::keypad9, 0x5C, 0xffb9, "KP9"},
    {Key::keypadClear, 0x47, 0xff0b, "KPClear"}, {Key::keypadDecimal, 0x41, 0xffae, "KP."},
    {Key::keypadDivide, 0x4B, 0xffaf, "KP/"}, {Key::keypadEnter, 0x4C, 0xff8d, "KPEnter"},
    {Key::keypadEquals, 0x51, 0xffbd, "KP="}, {Key::keypadMinus, 0x4E, 0xffad, "KP-"},
    {Key::keypadMultiply, 0x43, 0xffaa, "KP*"}, {Key::keypadPlus, 0x45, 0xffab, "KP+"},
    {Key::escape, 0x35, 0xff1b, "Escape"}, {Key::deleteKey, 0x33, 0xff08, "Backspace"},
    {Key::forwardDelete, 0x75, 0xffff, "Delete"}, {Key::help, 0x72, 0xff6a, "Help"},
    {Key::volumeUp, 0x48, 0x1008ff13, "VolumeUp"}, {Key::volumeDown, 0x49, 0x1008ff11, "VolumeDown"},
    {Key::mute, 0x4A, 0x1008ff12, "Mute"},
}};

const Entry& entry(Key key) { return kTable[size_t(key)]; }

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

}  // namespace

std::optional<Key> keyFromCarbonKeyCode(uint32_t code) {
  if (code > 126) return std::nullopt;
  for (const Entry& e : kTable)
    if (e.code == code) return e.key;
  return std::nullopt;
}

uint32_t carbonKeyCode(Key key) { return entry(key).code; }
uint32_t keysym(Key key) { return entry(key).keysym; }

std::optional<Key> keyFromKeysym(uint32_t sym) {
  if (sym >= 'A' && sym <= 'Z') sym += 'a' - 'A';
  if (!sym) return std::nullopt;
  for (const Entry& e : kTable)
    if (e.keysym == sym) return e.key;
  return std::nullopt;
}
std::string keyName(Key key) { return entry(key).name; }

std::optional<Key> keyFromName(const std::string& name) {
  const std::string n = lower(name);
  for (const Entry& e : kTable)
    if (lower(e.name) == n) return e.key;
  if (n == "grave" || n == "backtick") return Key::grave;
  if (n == "enter") return Key::returnKey;
  if (n == "esc") return Key::escape;
  return std::nullopt;
}

}  // namespace nimbo::hotkey
