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

namespace {

bool accessAlert(const QString& title, const QString& text) {
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Nimbo"), title);
  box.setInformativeText(text);
  QPushButton* open = box.addButton(QStringLiteral("Open Settings"), QMessageBox::AcceptRole);
  box.addButton(QStringLiteral("Close"), QMessageBox::RejectRole);
  box.activateWindow();
  box.exec();
  return box.clickedButton() == open;
}

}  // namespace

QString MessageBoxDialogs::microphoneText() {
  return QStringLiteral(
      "You turned on the microphone, but Nimbo doesn't have mic access. Enable it in Settings → Privacy → "
      "Microphone, or switch the microphone off.");
}

QString MessageBoxDialogs::cameraText(const QString& group) {
  if (!group.isEmpty())
    return QStringLiteral(
               "You turned on the camera bubble, but Nimbo doesn't have camera access. Add your account to the "
               "“%1” group (sudo usermod -aG %1 $USER, then log in again), or switch the bubble off.")
        .arg(group);
  return QStringLiteral(
      "You turned on the camera bubble, but Nimbo doesn't have camera access. Enable it in Settings → Privacy → "
      "Camera, or switch the bubble off.");
}

bool MessageBoxDialogs::microphoneAccessAlert() {
  return accessAlert(QStringLiteral("Microphone access is off"), microphoneText());
}

bool MessageBoxDialogs::cameraAccessAlert(const QString& group) {
  return accessAlert(QStringLiteral("Camera access is off"), cameraText(group));
}

}  // namespace nimbo
