#include "ui/dialogs.h"

#include <QMessageBox>
#include <QPushButton>

namespace nimbo {

bool MessageBoxDialogs::screenCapturePermissionAlert() {
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Nimbo"),
                  QStringLiteral("Screen Recording permission needed"));
  box.setInformativeText(QStringLiteral(
      "If Settings already shows Nimbo toggled on, the grant is for a previous build. In "
      "Terminal, run:\n\n  make reset-permissions\n\nfrom the mac-app/ directory. Then quit "
      "Nimbo and relaunch it — Linux will ask fresh."));
  QPushButton* open = box.addButton(QStringLiteral("Open System Settings"), QMessageBox::AcceptRole);
  box.addButton(QStringLiteral("Close"), QMessageBox::RejectRole);
  box.activateWindow();
  box.exec();
  return box.clickedButton() == open;
}

EditorCloseChoice MessageBoxDialogs::editorClosePrompt(QWidget* window) {
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Nimbo"), QStringLiteral("Save your edits before closing?"),
                  QMessageBox::NoButton, window);
  box.setWindowModality(Qt::WindowModal);
  box.setInformativeText(QStringLiteral(
      "You can replace the original capture, save your annotated version as a new capture, or discard the "
      "changes entirely."));
  // One role for all four keeps them in this order whatever the desktop's
  // button layout.
  QPushButton* save = box.addButton(QStringLiteral("Save"), QMessageBox::ActionRole);
  QPushButton* saveAsNew = box.addButton(QStringLiteral("Save as New"), QMessageBox::ActionRole);
  QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::ActionRole);
  QPushButton* discard = box.addButton(QStringLiteral("Discard"), QMessageBox::ActionRole);
  box.setDefaultButton(save);
  box.setEscapeButton(cancel);
  box.exec();
  if (box.clickedButton() == save) return EditorCloseChoice::save;
  if (box.clickedButton() == saveAsNew) return EditorCloseChoice::saveAsNew;
  if (box.clickedButton() == discard) return EditorCloseChoice::discard;
  return EditorCloseChoice::cancel;
}

}  // namespace nimbo
