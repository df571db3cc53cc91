#pragma once
#include "core/seams.h"

namespace nimbo {

// The app's two modal questions as message boxes.
class MessageBoxDialogs : public Dialogs {
 public:
  bool screenCapturePermissionAlert() override;
  EditorCloseChoice editorClosePrompt(QWidget* window) override;
};

}  // namespace nimbo
