#pragma once
// Global shortcuts on X11: passive key grabs on the root window, one for the
// combination and one for each CapsLock/NumLock variant, read from our own
// X connection on the main thread.
#include <QObject>

#include <map>
#include <string>
#include <vector>

#include "hot_key.h"

struct xcb_connection_t;
class QSocketNotifier;

namespace nimbo::hotkey {

class X11HotKeyBackend : public QObject, public HotKeyBackend {
  Q_OBJECT
 public:
  // Nothing, with the reason, when the X display cannot be opened.
  static std::unique_ptr<X11HotKeyBackend> create(std::string* error);
  ~X11HotKeyBackend() override;

  std::optional<uintptr_t> registerHotKey(uint32_t carbonKeyCode, uint32_t carbonModifiers,
                                          EventHotKeyID id) override;
  void unregisterHotKey(uintptr_t ref) override;
  void installEventHandler() override;
  uint32_t baseKeysym(uint32_t keycode) const override;

  // The X modifier mask for the four modifiers (Shift, Control, Alt, Super).
  static uint16_t xModifiers(uint32_t carbonModifiers);

 private:
  X11HotKeyBackend() = default;
  void loadKeyboard();
  std::optional<uint8_t> keycodeFor(uint32_t keysym) const;
  std::vector<uint16_t> lockVariants() const;
  void readEvents();
  void ungrab(uint8_t keycode, uint16_t modifiers);

  struct Grab {
    uint8_t keycode;
    uint16_t modifiers;
    EventHotKeyID id;
  };
  xcb_connection_t* conn_ = nullptr;
  uint32_t root_ = 0;
  uint16_t numLockMask_ = 0;
  uint8_t minKeycode_ = 8;
  int keysymsPerKeycode_ = 0;
  std::vector<uint32_t> keysyms_;
  std::map<uintptr_t, Grab> grabs_;
  uintptr_t nextRef_ = 1;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace nimbo::hotkey
