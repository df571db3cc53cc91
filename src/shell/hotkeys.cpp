#include "shell/hotkeys.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <map>
#include <memory>
#include <set>

#include "capture/capture_flow.h"
#include "hot_key.h"
#include "platform/platform.h"
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

// What the desktop was last offered and what it bound.
struct DesktopState {
  QPointer<QTimer> offer;  // the next offer, at most one per event-loop turn
  int generation = 0;      // answers to an older offer are stale
  std::set<HotkeyAction> bound;
};
DesktopState& desktop() {
  static DesktopState d;
  return d;
}
bool g_suspended = false;

// The XKB keysym name of the key the shortcut is typed with.
QString xkbName(hotkey::Key key) {
  using K = hotkey::Key;
  const uint32_t sym = hotkey::keysym(key);
  if ((sym >= 'a' && sym <= 'z') || (sym >= '0' && sym <= '9')) return QString(QChar(char16_t(sym)));
  if (key >= K::f1 && key <= K::f20) return "F" + QString::number(int(key) - int(K::f1) + 1);
  if (key >= K::keypad0 && key <= K::keypad9) return "KP_" + QString::number(int(key) - int(K::keypad0));
  switch (key) {
    case K::period: return QStringLiteral("period");
    case K::quote: return QStringLiteral("apostrophe");
    case K::rightBracket: return QStringLiteral("bracketright");
    case K::semicolon: return QStringLiteral("semicolon");
    case K::slash: return QStringLiteral("slash");
    case K::backslash: return QStringLiteral("backslash");
    case K::comma: return QStringLiteral("comma");
    case K::equal: return QStringLiteral("equal");
    case K::grave: return QStringLiteral("grave");
    case K::leftBracket: return QStringLiteral("bracketleft");
    case K::minus: return QStringLiteral("minus");
    case K::section: return QStringLiteral("section");
    case K::space: return QStringLiteral("space");
    case K::tab: return QStringLiteral("Tab");
    case K::returnKey: return QStringLiteral("Return");
    case K::command: return QStringLiteral("Super_L");
    case K::rightCommand: return QStringLiteral("Super_R");
    case K::option: return QStringLiteral("Alt_L");
    case K::rightOption: return QStringLiteral("Alt_R");
    case K::control: return QStringLiteral("Control_L");
    case K::rightControl: return QStringLiteral("Control_R");
    case K::shift: return QStringLiteral("Shift_L");
    case K::rightShift: return QStringLiteral("Shift_R");
    case K::capsLock: return QStringLiteral("Caps_Lock");
    case K::pageUp: return QStringLiteral("Page_Up");
    case K::pageDown: return QStringLiteral("Page_Down");
    case K::home: return QStringLiteral("Home");
    case K::end: return QStringLiteral("End");
    case K::upArrow: return QStringLiteral("Up");
    case K::rightArrow: return QStringLiteral("Right");
    case K::downArrow: return QStringLiteral("Down");
    case K::leftArrow: return QStringLiteral("Left");
    case K::keypadClear: return QStringLiteral("Clear");
    case K::keypadDecimal: return QStringLiteral("KP_Decimal");
    case K::keypadDivide: return QStringLiteral("KP_Divide");
    case K::keypadEnter: return QStringLiteral("KP_Enter");
    case K::keypadEquals: return QStringLiteral("KP_Equal");
    case K::keypadMinus: return QStringLiteral("KP_Subtract");
    case K::keypadMultiply: return QStringLiteral("KP_Multiply");
    case K::keypadPlus: return QStringLiteral("KP_Add");
    case K::escape: return QStringLiteral("Escape");
    case K::deleteKey: return QStringLiteral("BackSpace");
    case K::forwardDelete: return QStringLiteral("Delete");
    case K::help: return QStringLiteral("Help");
    case K::volumeUp: return QStringLiteral("XF86AudioRaiseVolume");
    case K::volumeDown: return QStringLiteral("XF86AudioLowerVolume");
    case K::mute: return QStringLiteral("XF86AudioMute");
    default: return {};  // fn: no keysym
  }
}

// A pressed shortcut, grabbed by us or reported by the desktop.
void pressed(HotkeyAction action, hotkey::Key key, quint32 flags) {
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
}

void desktopActivated(const QString& id) {
  const std::optional<HotkeyAction> action = actionFromId(id);
  if (!action) return logLine("Nimbo: the desktop pressed an unknown shortcut " + id);
  // The desktop does not say which keys were pressed; they are the offered
  // ones unless the user changed them in its settings.
  const Shortcut s = HotkeyStore::shared().effective(*action);
  const std::optional<hotkey::Key> key = hotkey::keyFromCarbonKeyCode(s.keyCode);
  if (!key) return handle(*action);
  pressed(*action, *key, s.modifiers & 0xffff0000u);
}

void offerToDesktop() {
  SystemShortcuts* system = platform().systemShortcuts.get();
  if (!system) return;
  system->activated = desktopActivated;
  std::vector<SystemShortcuts::Binding> bindings;
  QStringList offered;
  for (HotkeyAction action : kAllHotkeyActions) {
    const QString trigger = portalTrigger(HotkeyStore::shared().effective(action));
    bindings.push_back({actionId(action), actionTitle(action), trigger});
    offered << actionId(action) + ' ' + (trigger.isEmpty() ? QStringLiteral("(no keys)") : trigger);
  }
  DesktopState& d = desktop();
  const int generation = ++d.generation;
  // The new offer replaces the old session: nothing is bound until it answers.
  d.bound.clear();
  logLine("Nimbo: offering the shortcuts to the desktop: " + offered.join(", "));
  system->bind(std::move(bindings), [generation](Result<std::vector<QString>> r) {
    DesktopState& d = desktop();
    if (generation != d.generation) return;
    if (!r.ok()) {
      logLine("Nimbo: the desktop bound no shortcuts: " + r.error().description);
      return;
    }
    for (const QString& id : r.value())
      if (const auto action = actionFromId(id)) d.bound.insert(*action);
    QStringList bound, unbound;
    for (HotkeyAction action : kAllHotkeyActions) (d.bound.count(action) ? bound : unbound) << actionId(action);
    logLine("Nimbo: the desktop bound " + (bound.isEmpty() ? QStringLiteral("no shortcuts") : bound.join(", ")));
    if (!unbound.isEmpty())
      logLine("Nimbo: not bound by the desktop (set them in its shortcut settings): " + unbound.join(", "));
  });
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

QString portalTrigger(const Shortcut& s) {
  using namespace hotkey::ModifierFlags;
  const std::optional<hotkey::Key> key = hotkey::keyFromCarbonKeyCode(s.keyCode);
  const QString name = key ? xkbName(*key) : QString();
  if (name.isEmpty()) return {};
  QStringList parts;
  if (s.modifiers & control) parts << QStringLiteral("CTRL");
  if (s.modifiers & option) parts << QStringLiteral("ALT");
  if (s.modifiers & shift) parts << QStringLiteral("SHIFT");
  if (s.modifiers & command) parts << QStringLiteral("LOGO");
  parts << name;
  return parts.join('+');
}

bool desktopKeepsShortcuts() { return bool(platform().systemShortcuts); }

Keeper keeper() {
  if (desktopKeepsShortcuts()) return Keeper::desktop;
  return hotkey::HotKeysController::backend() ? Keeper::app : Keeper::nobody;
}

void suspendAll() {
  if (g_suspended || keeper() != Keeper::app) return;
  g_suspended = true;
  table().clear();
  logLine(QStringLiteral("Nimbo: global shortcuts let go while a new one is typed"));
}

void resumeAll() {
  if (!g_suspended) return;
  g_suspended = false;
  for (HotkeyAction action : kAllHotkeyActions) registerAction(action);
  logLine(QStringLiteral("Nimbo: global shortcuts taken again"));
}

bool isSuspended() { return g_suspended; }

void registerAction(HotkeyAction action) {
  if (desktopKeepsShortcuts()) {
    // The desktop takes the whole set at once, and each offer may put a
    // dialog in front of the user: start-up's four calls become one.
    QPointer<QTimer>& offer = desktop().offer;
    if (!offer) {
      offer = new QTimer(QCoreApplication::instance());
      offer->setSingleShot(true);
      offer->setInterval(0);
      QObject::connect(offer, &QTimer::timeout, offerToDesktop);
    }
    offer->start();
    return;
  }
  // The old combination is released before the new one is taken.
  table().erase(action);
  if (!hotkey::HotKeysController::backend()) {
    logLine("Nimbo: no global shortcut for " + actionId(action) + " on this session");
    return;
  }
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
  hk->keyDownHandler = [action, key = *key, flags] { pressed(action, key, flags); };
  table()[action] = std::move(hk);
}

bool isBound(HotkeyAction action) {
  if (desktopKeepsShortcuts()) return desktop().bound.count(action) > 0;
  return table().count(action) > 0;
}

void unregisterAllForTesting() {
  table().clear();
  g_suspended = false;
  DesktopState& d = desktop();
  if (d.offer) d.offer->stop();
  ++d.generation;
  d.bound.clear();
  if (SystemShortcuts* system = platform().systemShortcuts.get()) system->activated = nullptr;
}

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
