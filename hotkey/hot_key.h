#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "key_combo.h"

namespace nimbo::hotkey {

// One live registration of a key combination: made when the HotKey is
// created, ended when it is destroyed.
class HotKey {
 public:
  using Handler = std::function<void()>;
  explicit HotKey(KeyCombo combo, Handler keyDown = {}, Handler keyUp = {});
  ~HotKey();
  HotKey(const HotKey&) = delete;
  HotKey& operator=(const HotKey&) = delete;

  const std::string& identifier() const { return identifier_; }
  const KeyCombo& keyCombo() const { return combo_; }
  Handler keyDownHandler;
  Handler keyUpHandler;
  // Whether the system accepted the combination.
  bool isRegistered() const;

 private:
  std::string identifier_;
  KeyCombo combo_;
};

struct EventHotKeyID {
  uint32_t signature = 0;
  uint32_t id = 0;
};

// What actually grabs keys: X11 in the app, a fake in tests. It calls
// HotKeysController::handleEvent on the main thread when a combination is
// pressed or released.
class HotKeyBackend {
 public:
  virtual ~HotKeyBackend() = default;
  // A handle, or nothing when the system refuses the combination.
  virtual std::optional<uintptr_t> registerHotKey(uint32_t carbonKeyCode, uint32_t carbonModifiers,
                                                  EventHotKeyID id) = 0;
  virtual void unregisterHotKey(uintptr_t ref) = 0;
  // Starts delivering events; called once, at the first successful registration.
  virtual void installEventHandler() = 0;
  // The keysym a hardware key code types without modifiers (0 when unknown),
  // so a key pressed with Shift is named by its own key ("1", not "!").
  virtual uint32_t baseKeysym(uint32_t keycode) const { return 0; }
};

class HotKeysController {
 public:
  static constexpr uint32_t eventHotKeySignature = 0x48744B79;  // "HtKy"
  static constexpr int noErr = 0;
  static constexpr int eventNotHandledErr = -9874;
  static constexpr uint32_t kEventHotKeyPressed = 5;
  static constexpr uint32_t kEventHotKeyReleased = 6;

  static void setBackend(std::unique_ptr<HotKeyBackend> backend);
  static HotKeyBackend* backend();

  static void registerHotKey(HotKey* hotKey);
  static void unregisterHotKey(HotKey* hotKey);
  static bool isRegistered(const HotKey* hotKey);
  static int handleEvent(std::optional<EventHotKeyID> id, uint32_t kind);
  static uint32_t hotKeysCount();
  static size_t liveRegistrations();

  struct HotKeyBox {
    std::string identifier;
    HotKey* hotKey = nullptr;
    uint32_t carbonHotKeyID = 0;
    std::optional<uintptr_t> carbonEventHotKey;
  };

 private:
  static HotKeyBox* box(const HotKey* hotKey);
};

}  // namespace nimbo::hotkey
