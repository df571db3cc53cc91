#pragma once
#include <QString>
#include <Qt>

#include <functional>
#include <utility>

#include "key.h"
#include "shell/hotkey_action.h"

namespace nimbo::Hotkeys {

// (Re)registers one action's effective shortcut with the system. Where the
// desktop keeps the shortcuts (platform().systemShortcuts), all four are
// offered again together, once per event-loop turn.
void registerAction(HotkeyAction action);
// What a pressed shortcut (or its command-line action) does.
void handle(HotkeyAction action);
// Whether the action currently holds a live registration (where the desktop
// keeps the shortcuts: whether it bound the action).
bool isBound(HotkeyAction action);
// Whether the desktop, not Nimbo, decides which keys run the actions.
bool desktopKeepsShortcuts();
// Who makes the keys run the actions: our own grabs (X11), the desktop
// (the GlobalShortcuts portal), or nobody (the user binds our commands in
// the desktop's keyboard settings).
enum class Keeper { app, desktop, nobody };
Keeper keeper();
// While the user types a new combination our own grabs are let go, or a
// combination we already hold would never reach the window; resumeAll
// takes the effective bindings again. Nothing to do where the desktop keeps
// the shortcuts.
void suspendAll();
void resumeAll();
bool isSuspended();
void unregisterAllForTesting();

// A window of ours that has the keyboard gets the first say over a global
// shortcut's keys (the editor's Ctrl+Shift+S is also the default "record to
// file" shortcut). The handler returns true when it used the keys.
using LocalKeyHandler = std::function<bool(int qtKey, Qt::KeyboardModifiers modifiers)>;
void setLocalKeyHandler(LocalKeyHandler handler);
// The Qt key and modifiers a stored shortcut is typed as (key 0 when it has
// no Qt equivalent).
std::pair<int, Qt::KeyboardModifiers> qtKeys(hotkey::Key key, quint32 modifierFlags);
// A stored shortcut as the desktop portal's trigger text: CTRL, ALT, SHIFT,
// LOGO, then the key's XKB keysym name ("CTRL+SHIFT+r", "CTRL+grave");
// empty for a key XKB has no name for.
QString portalTrigger(const Shortcut& shortcut);

}  // namespace nimbo::Hotkeys
