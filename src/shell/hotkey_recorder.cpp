#include "shell/hotkey_recorder.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>

#include "hot_key.h"
#include "key_combo.h"
#include "shell/hotkey_store.h"
#include "shell/hotkeys.h"
#include "ui/design_system.h"

namespace nimbo {
namespace {

using hotkey::Key;

HotkeyRecorder* g_active = nullptr;

bool isModifierKey(int qtKey) {
  switch (qtKey) {
    case Qt::Key_Shift: case Qt::Key_Control: case Qt::Key_Meta: case Qt::Key_Alt: case Qt::Key_AltGr:
    case Qt::Key_CapsLock: case Qt::Key_NumLock: case Qt::Key_ScrollLock: case Qt::Key_Super_L:
    case Qt::Key_Super_R: case Qt::Key_Hyper_L: case Qt::Key_Hyper_R: case Qt::Key_Mode_switch:
    case Qt::Key_Direction_L: case Qt::Key_Direction_R:
      return true;
    default: return false;
  }
}

bool isModifier(Key key) {
  return key >= Key::command && key <= Key::capsLock;
}

// The keysym of a Qt key, for window systems that report none.
quint32 keysymFromQtKey(int qtKey, Qt::KeyboardModifiers mods) {
  if (mods & Qt::KeypadModifier) {
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) return 0xffb0 + quint32(qtKey - Qt::Key_0);
    switch (qtKey) {
      case Qt::Key_Period: return 0xffae;
      case Qt::Key_Slash: return 0xffaf;
      case Qt::Key_Asterisk: return 0xffaa;
      case Qt::Key_Minus: return 0xffad;
      case Qt::Key_Plus: return 0xffab;
      case Qt::Key_Equal: return 0xffbd;
      case Qt::Key_Enter: return 0xff8d;
      default: break;
    }
  }
  // Latin-1 keys are their keysyms; Qt names letters in upper case.
  if (qtKey >= 0x20 && qtKey <= 0xff) return qtKey >= 'A' && qtKey <= 'Z' ? quint32(qtKey - 'A' + 'a') : quint32(qtKey);
  if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F20) return 0xffbe + quint32(qtKey - Qt::Key_F1);
  switch (qtKey) {
    case Qt::Key_Escape: return 0xff1b;
    case Qt::Key_Tab: return 0xff09;
    case Qt::Key_Backspace: return 0xff08;
    case Qt::Key_Return: return 0xff0d;
    case Qt::Key_Enter: return 0xff8d;
    case Qt::Key_Delete: return 0xffff;
    case Qt::Key_Home: return 0xff50;
    case Qt::Key_End: return 0xff57;
    case Qt::Key_Left: return 0xff51;
    case Qt::Key_Up: return 0xff52;
    case Qt::Key_Right: return 0xff53;
    case Qt::Key_Down: return 0xff54;
    case Qt::Key_PageUp: return 0xff55;
    case Qt::Key_PageDown: return 0xff56;
    case Qt::Key_Clear: return 0xff0b;
    case Qt::Key_Help: return 0xff6a;
    case Qt::Key_VolumeUp: return 0x1008ff13;
    case Qt::Key_VolumeDown: return 0x1008ff11;
    case Qt::Key_VolumeMute: return 0x1008ff12;
    default: return 0;
  }
}

// The key itself, whatever Shift makes it type: first what the key types
// without modifiers (X11), then the keysym the window system reported, then
// Qt's own name for it.
std::optional<Key> pressedKey(const RecordedKeyPress& p) {
  if (p.nativeKeycode)
    if (hotkey::HotKeyBackend* backend = hotkey::HotKeysController::backend())
      if (auto key = hotkey::keyFromKeysym(backend->baseKeysym(p.nativeKeycode))) return key;
  if (auto key = hotkey::keyFromKeysym(p.nativeKeysym)) return key;
  return hotkey::keyFromKeysym(keysymFromQtKey(p.qtKey, p.modifiers));
}

quint32 modifierFlags(Qt::KeyboardModifiers m) {
  using namespace hotkey::ModifierFlags;
  quint32 flags = 0;
  if (m & Qt::ShiftModifier) flags |= shift;
  if (m & Qt::ControlModifier) flags |= control;
  if (m & Qt::AltModifier) flags |= option;
  if (m & Qt::MetaModifier) flags |= command;
  return flags;
}

QString joined(const Shortcut& s) { return displayKeycaps(s).join('+'); }

// The rounded field that holds the key caps, or the prompt while recording.
class Pill : public QWidget {
 public:
  explicit Pill(QWidget* parent) : QWidget(parent) {}
  bool recording = false;

 protected:
  void paintEvent(QPaintEvent*) override {
    using namespace NimboTokens;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(recording ? accent : lineSoft, 1));
    p.setBrush(recording ? accentSoft : bg0);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
  }
};

}  // namespace

KeyCapture captureKeyPress(const RecordedKeyPress& press) {
  constexpr quint32 kEscapeKeysym = 0xff1b;
  if (press.qtKey == Qt::Key_Escape || press.nativeKeysym == kEscapeKeysym) return {KeyCapture::Outcome::cancel, {}};
  if (isModifierKey(press.qtKey)) return {};
  // Shift alone does not make a shortcut: it would take a typed character.
  if (!(press.modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) return {};
  const std::optional<Key> key = pressedKey(press);
  if (key && isModifier(*key)) return {};
  if (!key || *key == Key::function) return {KeyCapture::Outcome::unsupported, {}};
  Shortcut s{quint16(hotkey::carbonKeyCode(*key)), modifierFlags(press.modifiers),
             QString::fromStdString(hotkey::keyName(*key))};
  return {KeyCapture::Outcome::accept, s};
}

HotkeyRecorder::HotkeyRecorder(HotkeyAction action, QWidget* parent) : QWidget(parent), action_(action) {
  using namespace NimboTokens;
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(8);

  auto* pill = new Pill(this);
  pill_ = pill;
  pill->setObjectName(QStringLiteral("keys"));
  pill->setMinimumHeight(30);
  auto* inPill = new QHBoxLayout(pill);
  inPill->setContentsMargins(8, 3, 8, 3);
  inPill->setSpacing(4);
  caps_ = new QHBoxLayout;
  caps_->setSpacing(4);
  inPill->addLayout(caps_);
  prompt_ = new QLabel(QString::fromUtf8("Press keys… (Esc to cancel)"), pill);
  prompt_->setObjectName(QStringLiteral("prompt"));
  prompt_->setFont(nimboFont(FontFamily::interface, 12, QFont::Medium));
  QPalette pp = prompt_->palette();
  pp.setColor(QPalette::WindowText, accent);
  prompt_->setPalette(pp);
  inPill->addWidget(prompt_);
  row->addWidget(pill);

  rebind_ = new NimboButton(QStringLiteral("Rebind"), NimboButtonKind::ghost, NimboButtonSize::sm, [this] {
    if (recording_) cancelRecording();
    else startRecording();
  }, this);
  rebind_->setObjectName(QStringLiteral("rebind"));
  // Wide enough for "Cancel" too, so the row keeps still while recording.
  rebind_->setMinimumWidth(std::max(rebind_->sizeHint().width(),
                                    QFontMetrics(rebind_->font()).horizontalAdvance(QStringLiteral("Cancel")) + 28));
  row->addWidget(rebind_);

  reset_ = new NimboButton(QStringLiteral("Reset"), NimboButtonKind::subtle, NimboButtonSize::sm,
                           [this] { resetToDefault(); }, this);
  reset_->setObjectName(QStringLiteral("reset"));
  reset_->setAccessibleName(actionTitle(action) + QStringLiteral(": reset to the default shortcut"));
  QSizePolicy keep = reset_->sizePolicy();
  keep.setRetainSizeWhenHidden(true);
  reset_->setSizePolicy(keep);
  row->addWidget(reset_);

  connect(&HotkeyStore::shared(), &HotkeyStore::shortcutsChanged, this, &HotkeyRecorder::refresh);
  refresh();
}

HotkeyRecorder::~HotkeyRecorder() {
  if (recording_) stopRecording();
}

HotkeyRecorder* HotkeyRecorder::active() { return g_active; }

QStringList HotkeyRecorder::shownKeycaps() const {
  QStringList caps;
  for (int i = 0; i < caps_->count(); ++i)
    if (auto* cap = caps_->itemAt(i)->widget()) caps << cap->property("label").toString();
  return caps;
}

void HotkeyRecorder::refresh() {
  const Shortcut s = HotkeyStore::shared().effective(action_);
  while (QLayoutItem* item = caps_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  if (!recording_) {
    for (const QString& label : displayKeycaps(s)) {
      auto* cap = new Keycap(label, KeycapSize::sm, false, pill_);
      cap->setProperty("label", label);
      caps_->addWidget(cap);
    }
  }
  prompt_->setVisible(recording_);
  static_cast<Pill*>(pill_)->recording = recording_;
  pill_->update();
  rebind_->setText(recording_ ? QStringLiteral("Cancel") : QStringLiteral("Rebind"));
  rebind_->setAccessibleName(actionTitle(action_) + (recording_ ? QStringLiteral(": stop recording a shortcut")
                                                                : QStringLiteral(": record a new shortcut")));
  reset_->setVisible(!recording_ && HotkeyStore::shared().shortcuts().count(action_) > 0);
  const QString keys = joined(s);
  setAccessibleName(actionTitle(action_) + QStringLiteral(" shortcut"));
  setAccessibleDescription(recording_ ? prompt_->text() : keys);
  pill_->setAccessibleName(recording_ ? prompt_->text() : keys);
  pill_->setToolTip(recording_ ? QString() : keys);
  updateGeometry();
}

void HotkeyRecorder::startRecording() {
  if (recording_) return;
  if (g_active) g_active->cancelRecording();
  g_active = this;
  recording_ = true;
  Q_EMIT reported(QString());
  Hotkeys::suspendAll();
  qApp->installEventFilter(this);
  // Typing elsewhere would leave the shortcuts let go: leaving the window
  // ends the recording.
  watchedWindow_ = window();
  if (watchedWindow_) watchedWindow_->installEventFilter(this);
  refresh();
  rebind_->setFocus(Qt::OtherFocusReason);
  // Every key comes here while recording, even one another application
  // has taken: that one cannot be ours, and the pane can say so.
  grabKeyboard();
}

void HotkeyRecorder::stopRecording() {
  recording_ = false;
  releaseKeyboard();
  if (g_active == this) g_active = nullptr;
  qApp->removeEventFilter(this);
  if (watchedWindow_) watchedWindow_->removeEventFilter(this);
  watchedWindow_ = nullptr;
  Hotkeys::resumeAll();
}

void HotkeyRecorder::cancelRecording() {
  if (!recording_) return;
  stopRecording();
  refresh();
}

void HotkeyRecorder::resetToDefault() {
  if (recording_) cancelRecording();
  Q_EMIT reported(QString());
  if (!HotkeyStore::shared().tryRebind(action_, std::nullopt)) {
    const Shortcut wanted = defaultShortcut(action_);
    Q_EMIT reported(QStringLiteral("%1 could not be registered (another application may hold it); %2 stays.")
                        .arg(joined(wanted), joined(HotkeyStore::shared().effective(action_))));
  }
  refresh();
}

void HotkeyRecorder::take(const KeyCapture& capture) {
  switch (capture.outcome) {
    case KeyCapture::Outcome::keepWaiting: return;
    case KeyCapture::Outcome::unsupported:
      Q_EMIT reported(QStringLiteral("That key can't be part of a shortcut; try another."));
      return;
    case KeyCapture::Outcome::cancel: return cancelRecording();
    case KeyCapture::Outcome::accept: break;
  }
  // Our own grabs come back first, so the new one is registered among them.
  stopRecording();
  if (!HotkeyStore::shared().tryRebind(action_, capture.shortcut))
    Q_EMIT reported(QStringLiteral("%1 could not be registered (another application may hold it); %2 stays.")
                        .arg(joined(capture.shortcut), joined(HotkeyStore::shared().effective(action_))));
  else
    Q_EMIT reported(QString());
  refresh();
}

bool HotkeyRecorder::eventFilter(QObject* watched, QEvent* event) {
  if (!recording_) return false;
  switch (event->type()) {
    case QEvent::ShortcutOverride:
      // Claimed, so no window shortcut (Ctrl+W) acts on the keys: they come
      // back as a key press.
      event->accept();
      return true;
    case QEvent::KeyPress: {
      auto* k = static_cast<QKeyEvent*>(event);
      take(captureKeyPress({k->key(), k->modifiers(), k->nativeScanCode(), k->nativeVirtualKey()}));
      return true;
    }
    case QEvent::WindowDeactivate:
      if (watched == watchedWindow_) cancelRecording();
      return false;
    default: return false;
  }
}

void HotkeyRecorder::hideEvent(QHideEvent* event) {
  cancelRecording();
  QWidget::hideEvent(event);
}

}  // namespace nimbo
