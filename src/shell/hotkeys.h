#pragma once
#include <Qt>

#include <functional>
#include <utility>

#include "key.h"
#include "shell/hotkey_action.h"

namespace nimbo::Hotkeys {

// (Re)registers one action's effective shortcut with the system.
void registerAction(HotkeyAction action);
// What a pressed shortcut (or its command-line action) does.
void handle(HotkeyAction action);
// Whether the action currently holds a live registration.
bool isBound(HotkeyAction action);
void unregisterAllForTesting();

// A window of ours that has the keyboard gets the first say over a global
// shortcut's keys (the editor's Ctrl+Shift+S is also the default "record to
// file" shortcut). The handler returns true when it used the keys.
using LocalKeyHandler = std::function<bool(int qtKey, Qt::KeyboardModifiers modifiers)>;
void setLocalKeyHandler(LocalKeyHandler handler);
// The Qt key and modifiers a stored shortcut is typed as (key 0 when it has
// no Qt equivalent).
std::pair<int, Qt::KeyboardModifiers> qtKeys(hotkey::Key key, quint32 modifierFlags);

}  // namespace nimbo::Hotkeys
