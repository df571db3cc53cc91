#include "shell/hotkey_store.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

#include <cmath>
#include <memory>

#include "shell/hotkeys.h"
#include "util/preferences.h"

namespace nimbo {
namespace {
std::unique_ptr<HotkeyStore> g_store;

std::optional<quint64> wholeNumber(const QJsonValue& v, quint64 max) {
  if (!v.isDouble()) return std::nullopt;
  const double d = v.toDouble();
  if (d < 0 || d > double(max) || d != std::floor(d)) return std::nullopt;
  return quint64(d);
}
}  // namespace

HotkeyStore& HotkeyStore::shared() {
  if (!g_store) g_store.reset(new HotkeyStore);
  return *g_store;
}

void HotkeyStore::resetSharedForTesting() { g_store.reset(); }

Shortcut HotkeyStore::effective(HotkeyAction action) const {
  auto it = shortcuts_.find(action);
  return it != shortcuts_.end() ? it->second : defaultShortcut(action);
}

std::map<HotkeyAction, Shortcut> HotkeyStore::decode(const QByteArray& json) {
  std::map<HotkeyAction, Shortcut> out;
  QJsonParseError err{};
  const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
  if (err.error != QJsonParseError::NoError || !doc.isObject()) return {};
  const QJsonObject root = doc.object();
  // The whole value must decode: one malformed binding means none are used.
  std::map<QString, Shortcut> decoded;
  for (auto it = root.begin(); it != root.end(); ++it) {
    if (!it.value().isObject()) return {};
    const QJsonObject o = it.value().toObject();
    const auto code = wholeNumber(o.value("keyCode"), 0xffff);
    const auto mods = wholeNumber(o.value("modifiers"), 0xffffffff);
    if (!code || !mods || !o.value("character").isString()) return {};
    decoded[it.key()] = Shortcut{quint16(*code), quint32(*mods), o.value("character").toString()};
  }
  for (const auto& [key, shortcut] : decoded)
    if (auto action = actionFromId(key)) out[*action] = shortcut;
  return out;
}

QByteArray HotkeyStore::encode(const std::map<HotkeyAction, Shortcut>& shortcuts) {
  QJsonObject root;
  for (const auto& [action, s] : shortcuts)
    root[actionId(action)] = QJsonObject{{"keyCode", s.keyCode}, {"modifiers", qint64(s.modifiers)},
                                         {"character", s.character}};
  return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

void HotkeyStore::load() {
  shortcuts_.clear();
  if (!Preferences::contains(defaultsKey)) return;
  shortcuts_ = decode(Preferences::store().value(defaultsKey).toByteArray());
}

void HotkeyStore::save() const { Preferences::setValue(defaultsKey, encode(shortcuts_)); }

void HotkeyStore::rebind(HotkeyAction action, const std::optional<Shortcut>& shortcut) {
  if (shortcut) shortcuts_[action] = *shortcut;
  else shortcuts_.erase(action);
  save();
  Hotkeys::registerAction(action);
  Q_EMIT shortcutsChanged();
}

bool HotkeyStore::tryRebind(HotkeyAction action, const std::optional<Shortcut>& shortcut) {
  std::optional<Shortcut> previous;
  if (auto it = shortcuts_.find(action); it != shortcuts_.end()) previous = it->second;
  rebind(action, shortcut);
  // Where the desktop keeps the shortcuts the stored keys are only offered;
  // its own settings have the last word, so there is nothing to put back.
  if (Hotkeys::desktopKeepsShortcuts() || Hotkeys::isBound(action)) return true;
  // Usually another application holds the new combination: the user keeps
  // the one that worked rather than none at all.
  rebind(action, previous);
  return false;
}

}  // namespace nimbo
