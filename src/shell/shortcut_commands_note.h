#pragma once
// On desktops that keep no global shortcuts for applications (Wayland
// without the GlobalShortcuts portal), the user binds our commands in the
// desktop's own keyboard settings; this says how, once.
#include <QStringList>
#include <QWidget>

namespace nimbo {

class ShortcutCommandsWindow : public QWidget {
  Q_OBJECT
 public:
  explicit ShortcutCommandsWindow(QWidget* parent = nullptr);

 protected:
  void keyPressEvent(QKeyEvent* e) override;
};

namespace ShortcutCommandsNote {
// "nimbo capture-to-clipboard", … in the actions' order.
QStringList commands();
// What the note says before the commands, and after them.
QString introText();
QString suggestionText();
// Logs the commands at every start; shows the window the first time only
// (after the welcome window, when that is on screen).
void presentIfNeeded();
ShortcutCommandsWindow* window();
void resetForTesting();
}  // namespace ShortcutCommandsNote

}  // namespace nimbo
