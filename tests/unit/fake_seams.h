#pragma once
// In-memory stand-ins for the product's seams, for unit tests.
#include <QStringList>

#include <deque>
#include <functional>
#include <vector>

#include "core/seams.h"

namespace nimbo::fake {

// Holds each upload until the test answers it.
class FakeUploader : public Uploader {
 public:
  struct Pending {
    QByteArray png;
    QString videoPath;
    Callback<QString> done;
  };
  std::deque<Pending> pending;
  void uploadImage(const QByteArray& png, Callback<QString> done) override {
    pending.push_back({png, {}, std::move(done)});
  }
  void uploadVideo(const QString& path, Callback<QString> done) override {
    pending.push_back({{}, path, std::move(done)});
  }
  void answer(Result<QString> r) {
    Pending p = std::move(pending.front());
    pending.pop_front();
    p.done(std::move(r));
  }
};

class FakeEditorHost : public EditorHost {
 public:
  QStringList opened;
  void open(const QString& id) override { opened << id; }
};

// Records each presentation; the test answers it with `complete`.
class FakeRegionPresenter : public RegionPresenter {
 public:
  struct Call {
    std::vector<ScreenInfo> screens;
    FrozenImages frozen;
  };
  std::vector<Call> calls;
  std::function<void(RegionSelection)> completion;
  void present(const std::vector<ScreenInfo>& screens, const FrozenImages& frozen,
               std::function<void(RegionSelection)> done) override {
    calls.push_back({screens, frozen});
    completion = std::move(done);
  }
  void complete(RegionSelection s) {
    auto c = std::move(completion);
    completion = nullptr;
    if (c) c(std::move(s));
  }
};

class FakeDialogs : public Dialogs {
 public:
  bool answerOpenSettings = false;
  int shown = 0;
  bool screenCapturePermissionAlert() override {
    ++shown;
    return answerOpenSettings;
  }
  int micAlerts = 0, cameraAlerts = 0;
  QString cameraGroup;
  bool microphoneAccessAlert() override {
    ++micAlerts;
    return answerOpenSettings;
  }
  bool cameraAccessAlert(const QString& group) override {
    ++cameraAlerts;
    cameraGroup = group;
    return answerOpenSettings;
  }
  EditorCloseChoice closeAnswer = EditorCloseChoice::cancel;
  int closePrompts = 0;
  std::function<void()> whilePrompting;  // runs as if from the prompt's own event loop
  EditorCloseChoice editorClosePrompt(QWidget*) override {
    ++closePrompts;
    if (whilePrompting) whilePrompting();
    return closeAnswer;
  }
};

}  // namespace nimbo::fake
