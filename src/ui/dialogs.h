#pragma once
#include "core/seams.h"

namespace nimbo {

// The app's two modal questions as message boxes.
class MessageBoxDialogs : public Dialogs {
 public:
  bool screenCapturePermissionAlert() override;
  EditorCloseChoice editorClosePrompt(QWidget* window) override;
  bool microphoneAccessAlert() override;
  bool cameraAccessAlert(const QString& group) override;

  static QString microphoneText();
  static QString cameraText(const QString& group);
};

}  // namespace nimbo
