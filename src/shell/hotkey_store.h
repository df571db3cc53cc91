#pragma once
#include <QObject>

#include <map>
#include <optional>

#include "shell/hotkey_action.h"

namespace nimbo {

// The user's own bindings (defaults are never stored), kept under
// "hotkeyShortcuts" as a JSON object keyed by the actions' stored texts.
class HotkeyStore : public QObject {
  Q_OBJECT
 public:
  static constexpr char defaultsKey[] = "hotkeyShortcuts";
  static HotkeyStore& shared();
  static void resetSharedForTesting();

  const std::map<HotkeyAction, Shortcut>& shortcuts() const { return shortcuts_; }
  Shortcut effective(HotkeyAction action) const;
  // Sets (or with nothing, resets to the default) one binding, saves, and
  // registers the action again: the three always go together.
  void rebind(HotkeyAction action, const std::optional<Shortcut>& shortcut);
  // rebind, but when the new binding cannot be registered the previous one
  // is put back (stored and registered again) and false returned.
  bool tryRebind(HotkeyAction action, const std::optional<Shortcut>& shortcut);

  void load();
  void save() const;

  static std::map<HotkeyAction, Shortcut> decode(const QByteArray& json);
  static QByteArray encode(const std::map<HotkeyAction, Shortcut>& shortcuts);

 Q_SIGNALS:
  void shortcutsChanged();

 private:
  HotkeyStore() { load(); }
  std::map<HotkeyAction, Shortcut> shortcuts_;
};

}  // namespace nimbo
