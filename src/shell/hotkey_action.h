#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace nimbo {

enum class HotkeyAction { captureToClipboard, captureAndUpload, recordAndUpload, recordToFile };
inline constexpr std::array<HotkeyAction, 4> kAllHotkeyActions{
    HotkeyAction::captureToClipboard, HotkeyAction::captureAndUpload, HotkeyAction::recordAndUpload,
    HotkeyAction::recordToFile};

// The stored text ("captureToClipboard").
QString actionId(HotkeyAction action);
std::optional<HotkeyAction> actionFromId(const QString& id);
// The command-line name ("capture-to-clipboard").
QString actionCommand(HotkeyAction action);
std::optional<HotkeyAction> actionFromCommand(const QString& command);
QString actionTitle(HotkeyAction action);
QString actionDescription(HotkeyAction action);

struct Shortcut {
  quint16 keyCode = 0;
  quint32 modifiers = 0;  // event modifier flags, low 16 bits zero
  QString character;      // for display only
  bool operator==(const Shortcut&) const = default;
};

Shortcut defaultShortcut(HotkeyAction action);
// Key caps in display order: Ctrl, Alt, Shift, Super, then the character
// upper-cased ("?" when it is empty).
QStringList displayKeycaps(const Shortcut& shortcut);
// "Shift+Super+U": how a person types a binding on the command line. Nothing
// for an unknown key or modifier.
std::optional<Shortcut> parseShortcut(const QString& text);

}  // namespace nimbo
