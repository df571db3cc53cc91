#pragma once
#include "shell/hotkey_action.h"

namespace nimbo::Hotkeys {

// (Re)registers one action's effective shortcut with the system.
void registerAction(HotkeyAction action);
// What a pressed shortcut (or its command-line action) does.
void handle(HotkeyAction action);
// Whether the action currently holds a live registration.
bool isBound(HotkeyAction action);
void unregisterAllForTesting();

}  // namespace nimbo::Hotkeys
