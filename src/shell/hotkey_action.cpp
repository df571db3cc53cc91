#include "shell/hotkey_action.h"

#include "key_combo.h"

namespace nimbo {

using namespace hotkey;

QString actionId(HotkeyAction a) {
  switch (a) {
    case HotkeyAction::captureToClipboard: return QStringLiteral("captureToClipboard");
    case HotkeyAction::captureAndUpload: return QStringLiteral("captureAndUpload");
    case HotkeyAction::recordAndUpload: return QStringLiteral("recordAndUpload");
    case HotkeyAction::recordToFile: return QStringLiteral("recordToFile");
  }
  return {};
}

std::optional<HotkeyAction> actionFromId(const QString& id) {
  for (HotkeyAction a : kAllHotkeyActions)
    if (actionId(a) == id) return a;
  return std::nullopt;
}

QString actionCommand(HotkeyAction a) {
  switch (a) {
    case HotkeyAction::captureToClipboard: return QStringLiteral("capture-to-clipboard");
    case HotkeyAction::captureAndUpload: return QStringLiteral("capture-and-upload");
    case HotkeyAction::recordAndUpload: return QStringLiteral("record-and-upload");
    case HotkeyAction::recordToFile: return QStringLiteral("record-to-file");
  }
  return {};
}

std::optional<HotkeyAction> actionFromCommand(const QString& command) {
  for (HotkeyAction a : kAllHotkeyActions)
    if (actionCommand(a) == command) return a;
  return std::nullopt;
}

QString actionTitle(HotkeyAction a) {
  switch (a) {
    case HotkeyAction::captureToClipboard: return QStringLiteral("Capture to clipboard");
    case HotkeyAction::captureAndUpload: return QStringLiteral("Capture and upload");
    case HotkeyAction::recordAndUpload: return QStringLiteral("Record & copy link");
    case HotkeyAction::recordToFile: return QStringLiteral("Record to file");
  }
  return {};
}

QString actionDescription(HotkeyAction a) {
  switch (a) {
    case HotkeyAction::captureToClipboard:
      return QStringLiteral("Drag a region; the PNG goes on your clipboard.");
    case HotkeyAction::captureAndUpload:
      return QStringLiteral("Drag a region; uploads and copies a short URL.");
    case HotkeyAction::recordAndUpload:
      return QStringLiteral(
          "Open the recorder, set to share a link on your share server. Stops a recording in progress.");
    case HotkeyAction::recordToFile:
      return QStringLiteral("Open the recorder, set to save a video file. Stops a recording in progress.");
  }
  return {};
}

Shortcut defaultShortcut(HotkeyAction a) {
  switch (a) {
    case HotkeyAction::captureToClipboard: return {50, ModifierFlags::control, QStringLiteral("`")};
    case HotkeyAction::captureAndUpload:
      return {32, ModifierFlags::shift | ModifierFlags::command, QStringLiteral("U")};
    case HotkeyAction::recordAndUpload:
      return {15, ModifierFlags::control | ModifierFlags::shift, QStringLiteral("R")};
    case HotkeyAction::recordToFile: return {1, ModifierFlags::control | ModifierFlags::shift, QStringLiteral("S")};
  }
  return {};
}

QStringList displayKeycaps(const Shortcut& s) {
  QStringList caps;
  if (s.modifiers & ModifierFlags::control) caps << QStringLiteral("Ctrl");
  if (s.modifiers & ModifierFlags::option) caps << QStringLiteral("Alt");
  if (s.modifiers & ModifierFlags::shift) caps << QStringLiteral("Shift");
  if (s.modifiers & ModifierFlags::command) caps << QStringLiteral("Super");
  caps << (s.character.isEmpty() ? QStringLiteral("?") : s.character.toUpper());
  return caps;
}

std::optional<Shortcut> parseShortcut(const QString& text) {
  const QStringList parts = text.split('+', Qt::KeepEmptyParts);
  if (parts.isEmpty()) return std::nullopt;
  Shortcut s;
  for (int i = 0; i < parts.size() - 1; ++i) {
    const QString m = parts[i].trimmed().toLower();
    if (m == "ctrl" || m == "control") s.modifiers |= ModifierFlags::control;
    else if (m == "alt" || m == "option") s.modifiers |= ModifierFlags::option;
    else if (m == "shift") s.modifiers |= ModifierFlags::shift;
    else if (m == "super" || m == "meta" || m == "win" || m == "cmd" || m == "command")
      s.modifiers |= ModifierFlags::command;
    else return std::nullopt;
  }
  // "Ctrl++" names the plus key... which no layout types unshifted; keep it simple.
  const QString keyText = parts.last().trimmed();
  const std::optional<Key> key = keyFromName(keyText.toStdString());
  if (!key) return std::nullopt;
  s.keyCode = quint16(carbonKeyCode(*key));
  s.character = QString::fromStdString(keyName(*key));
  return s;
}

}  // namespace nimbo
