#include "hot_key.h"

#include <cstdio>
#include <random>

namespace nimbo::hotkey {
namespace {

struct State {
  std::map<uint32_t, HotKeysController::HotKeyBox> hotKeys;
  uint32_t hotKeysCount = 0;
  bool handlerInstalled = false;
  std::unique_ptr<HotKeyBackend> backend;
};

State& state() {
  static State s;
  return s;
}

std::string newUuid() {
  static std::random_device rd;
  static std::mt19937_64 rng(rd());
  const uint64_t hi = rng(), lo = rng();
  char buf[37];
  std::snprintf(buf, sizeof buf, "%08X-%04X-4%03X-%04X-%012llX", uint32_t(hi >> 32), uint32_t(hi >> 16) & 0xffff,
                uint32_t(hi) & 0xfff, uint32_t(0x8000 | (lo >> 48 & 0x3fff)),
                static_cast<unsigned long long>(lo & 0xffffffffffffULL));
  return buf;
}

}  // namespace

HotKey::HotKey(KeyCombo combo, Handler keyDown, Handler keyUp)
    : keyDownHandler(std::move(keyDown)), keyUpHandler(std::move(keyUp)), identifier_(newUuid()), combo_(combo) {
  HotKeysController::registerHotKey(this);
}

HotKey::~HotKey() { HotKeysController::unregisterHotKey(this); }

bool HotKey::isRegistered() const { return HotKeysController::isRegistered(this); }

void HotKeysController::setBackend(std::unique_ptr<HotKeyBackend> backend) {
  state().backend = std::move(backend);
  state().handlerInstalled = false;
}

HotKeyBackend* HotKeysController::backend() { return state().backend.get(); }

HotKeysController::HotKeyBox* HotKeysController::box(const HotKey* hotKey) {
  for (auto& [number, b] : state().hotKeys)
    if (b.identifier == hotKey->identifier()) return &b;
  return nullptr;
}

void HotKeysController::registerHotKey(HotKey* hotKey) {
  State& s = state();
  if (box(hotKey)) return;
  const uint32_t number = ++s.hotKeysCount;  // never reused
  HotKeyBox& b = s.hotKeys[number];
  b.identifier = hotKey->identifier();
  b.hotKey = hotKey;
  b.carbonHotKeyID = number;
  if (!s.backend) return;
  const KeyCombo& c = hotKey->keyCombo();
  b.carbonEventHotKey = s.backend->registerHotKey(c.carbonKeyCode, c.carbonModifiers,
                                                  EventHotKeyID{eventHotKeySignature, number});
  if (b.carbonEventHotKey && !s.handlerInstalled) {
    s.backend->installEventHandler();
    s.handlerInstalled = true;
  }
}

void HotKeysController::unregisterHotKey(HotKey* hotKey) {
  State& s = state();
  HotKeyBox* b = box(hotKey);
  if (!b) return;
  if (b->carbonEventHotKey && s.backend) s.backend->unregisterHotKey(*b->carbonEventHotKey);
  s.hotKeys.erase(b->carbonHotKeyID);
}

bool HotKeysController::isRegistered(const HotKey* hotKey) {
  HotKeyBox* b = box(hotKey);
  return b && b->carbonEventHotKey.has_value();
}

int HotKeysController::handleEvent(std::optional<EventHotKeyID> id, uint32_t kind) {
  if (!id) return eventNotHandledErr;
  if (id->signature != eventHotKeySignature) return eventNotHandledErr;
  auto it = state().hotKeys.find(id->id);
  if (it == state().hotKeys.end() || !it->second.hotKey) return eventNotHandledErr;
  HotKey* hotKey = it->second.hotKey;
  if (kind == kEventHotKeyPressed) {
    if (hotKey->keyDownHandler) hotKey->keyDownHandler();
    return noErr;
  }
  if (kind == kEventHotKeyReleased) {
    if (hotKey->keyUpHandler) hotKey->keyUpHandler();
    return noErr;
  }
  return eventNotHandledErr;
}

uint32_t HotKeysController::hotKeysCount() { return state().hotKeysCount; }
size_t HotKeysController::liveRegistrations() { return state().hotKeys.size(); }

}  // namespace nimbo::hotkey
