#pragma once
// The product's own seams: what one subsystem asks of another whose real
// implementation lives elsewhere (the uploader of sharing, the editor
// window, the selection overlay, the dialogs). The application wires the
// real ones at start; unit tests wire fakes.
#include <QRectF>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "util/result.h"

class QWidget;

namespace nimbo {

class Uploader {
 public:
  virtual ~Uploader() = default;
  virtual void uploadImage(const QByteArray& png, Callback<QString> done) = 0;
  virtual void uploadVideo(const QString& path, Callback<QString> done) = 0;
};

class EditorHost {
 public:
  virtual ~EditorHost() = default;
  virtual void open(const QString& historyID) = 0;
};

struct RegionSelection {
  bool selected = false;
  QRectF rect;        // global points, y up
  ScreenInfo screen;
  static RegionSelection cancelled() { return {}; }
};
using FrozenImages = std::map<quintptr, QImage>;

class RegionPresenter {
 public:
  virtual ~RegionPresenter() = default;
  virtual void present(const std::vector<ScreenInfo>& screens, const FrozenImages& frozen,
                       std::function<void(RegionSelection)> completion) = 0;
};

enum class EditorCloseChoice { save, saveAsNew, cancel, discard };

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // "Save your edits before closing?", over the editor window.
  virtual EditorCloseChoice editorClosePrompt(QWidget* window) = 0;
  // The screen-capture permission alert; true when the user chose to open
  // the system's settings.
  virtual bool screenCapturePermissionAlert() = 0;
  // "Microphone access is off" and "Camera access is off"; true when the
  // user chose to open the desktop's settings. `group`: the group the camera
  // device needs, when that is why it cannot be opened.
  virtual bool microphoneAccessAlert() = 0;
  virtual bool cameraAccessAlert(const QString& group) = 0;
};

struct Seams {
  std::unique_ptr<Uploader> uploader;
  std::unique_ptr<EditorHost> editorHost;
  std::unique_ptr<RegionPresenter> regionPresenter;
  std::unique_ptr<Dialogs> dialogs;
};

Seams& seams();
// Installs a new set and returns the previous one.
std::unique_ptr<Seams> installSeams(std::unique_ptr<Seams> s);

}  // namespace nimbo
