#pragma once
// The control that rebinds one action's shortcut: its keys as key caps,
// "Rebind" to type a new combination, "Reset" back to the default.
#include <QPointer>
#include <QWidget>

#include "shell/hotkey_action.h"

class QHBoxLayout;
class QLabel;

namespace nimbo {

class NimboButton;

// One key press as the recorder sees it: Qt's key and modifiers and, where
// the window system gives them, the hardware key code and the keysym typed.
struct RecordedKeyPress {
  int qtKey = 0;
  Qt::KeyboardModifiers modifiers;
  quint32 nativeKeycode = 0;
  quint32 nativeKeysym = 0;
};

// What a key press means while a combination is being typed.
struct KeyCapture {
  enum class Outcome {
    cancel,       // Escape: keep the old binding
    keepWaiting,  // a modifier on its own, or no Ctrl, Alt or Super held
    unsupported,  // a key no shortcut can use
    accept,
  };
  Outcome outcome = Outcome::keepWaiting;
  Shortcut shortcut;  // when accepted
};
KeyCapture captureKeyPress(const RecordedKeyPress& press);

class HotkeyRecorder : public QWidget {
  Q_OBJECT
 public:
  explicit HotkeyRecorder(HotkeyAction action, QWidget* parent = nullptr);
  ~HotkeyRecorder() override;

  HotkeyAction action() const { return action_; }
  bool isRecording() const { return recording_; }
  void startRecording();
  void cancelRecording();
  void resetToDefault();
  // The key caps shown while not recording.
  QStringList shownKeycaps() const;
  // The recorder that is taking keys now, if any (one at a time).
  static HotkeyRecorder* active();

 Q_SIGNALS:
  // A sentence for the user about the last attempt (a combination another
  // application holds, a key that cannot be used); empty clears it.
  void reported(const QString& message);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void stopRecording();
  void take(const KeyCapture& capture);
  void refresh();

  HotkeyAction action_;
  bool recording_ = false;
  QWidget* pill_ = nullptr;
  QHBoxLayout* caps_ = nullptr;
  QLabel* prompt_ = nullptr;
  NimboButton* rebind_ = nullptr;
  NimboButton* reset_ = nullptr;
  QPointer<QWidget> watchedWindow_;
};

}  // namespace nimbo
