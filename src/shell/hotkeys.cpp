#include "shell/hotkeys.h"

#include <map>
#include <memory>

#include "capture/capture_flow.h"
#include "hot_key.h"
#include "recording/recording_flow.h"
#include "recording/recording_indicators.h"
#include "recording/screen_recorder.h"
#include "shell/hotkey_store.h"
#include "util/log.h"

namespace nimbo::Hotkeys {
namespace {
std::map<HotkeyAction, std::unique_ptr<hotkey::HotKey>>& table() {
  static std::map<HotkeyAction, std::unique_ptr<hotkey::HotKey>> t;
  return t;
}
LocalKeyHandler& localHandler() {
  static LocalKeyHandler h;
  return h;
}
}  // namespace

void setLocalKeyHandler(LocalKeyHandler handler) { localHandler() = std::move(handler); }

std::pair<int, Qt::KeyboardModifiers> qtKeys(hotkey::Key key, quint32 flags) {
  using namespace hotkey::ModifierFlags;
  Qt::KeyboardModifiers m;
  if (flags & shift) m |= Qt::ShiftModifier;
  if (flags & control) m |= Qt::ControlModifier;
  if (flags & option) m |= Qt::AltModifier;
  if (flags & command) m |= Qt::MetaModifier;
  // Latin-1 keysyms are Qt's key codes, letters in upper case.
  const uint32_t sym = hotkey::keysym(key);
  if (sym < 0x20 || sym > 0xff) return {0, m};
  return {int(sym >= 'a' && sym <= 'z' ? sym - 'a' + 'A' : sym), m};
}

void registerAction(HotkeyAction action) {
  // The old combination is released before the new one is taken.
  table().erase(action);
  const Shortcut s = HotkeyStore::shared().effective(action);
  const quint32 flags = s.modifiers & 0xffff0000u;
  const std::optional<hotkey::Key> key = hotkey::keyFromCarbonKeyCode(s.keyCode);
  if (!key) {
    logLine(QStringLiteral("Nimbo: unsupported keyCode %1 for %2").arg(s.keyCode).arg(actionId(action)));
    return;
  }
  auto hk = std::make_unique<hotkey::HotKey>(hotkey::KeyCombo(*key, flags));
  if (!hk->isRegistered()) {
    // Usually another application holds the same combination.
    logLine(QStringLiteral("Nimbo: shortcut %1 for %2 could not be registered (another application may "
                           "hold it); it stays unbound")
                .arg(displayKeycaps(s).join('+'), actionId(action)));
    return;
  }
  hk->keyDownHandler = [action, key = *key, flags] {
    const auto [qtKey, qtMods] = qtKeys(key, flags);
    // A record shortcut always reaches a recording or countdown in progress,
    // whatever window has the keyboard: it is how the user stops it.
    const bool stops = (action == HotkeyAction::recordAndUpload || action == HotkeyAction::recordToFile) &&
                       (RecordingFlow::recorder().isRecording() || CountdownOverlay::isShowing());
    if (!stops && qtKey && localHandler() && localHandler()(qtKey, qtMods)) {
      logLine("Nimbo: " + actionId(action) + " keys taken by the focused window");
      return;
    }
    handle(action);
  };
  table()[action] = std::move(hk);
}

bool isBound(HotkeyAction action) { return table().count(action) > 0; }

void unregisterAllForTesting() { table().clear(); }

void handle(HotkeyAction action) {
  logLine("Nimbo: " + actionId(action) + " fired");
  switch (action) {
    case HotkeyAction::captureToClipboard: return CaptureFlow::run(CaptureMode::clipboardOnly);
    case HotkeyAction::captureAndUpload: return CaptureFlow::run(CaptureMode::uploadAndCopyURL);
    case HotkeyAction::recordAndUpload: return RecordingFlow::requestPanel(RecordingDestination::shareLink);
    case HotkeyAction::recordToFile: return RecordingFlow::requestPanel(RecordingDestination::localFile);
  }
}

}  // namespace nimbo::Hotkeys
