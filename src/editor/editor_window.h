#pragma once
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>

#include "capture/capture_item.h"
#include "core/seams.h"
#include "platform/platform.h"

class QKeyEvent;

namespace nimbo {

class Canvas;
class EditorInspectorView;
class EditorToolbarView;
class EditorView;

// The one editor window of the process, reused for every capture opened.
class EditorWindowController : public QObject {
  Q_OBJECT
 public:
  static constexpr char kFrameKey[] = "nimbo.editor.window.v2";
  static constexpr QSize kContentSize{1100, 760}, kMinimumSize{720, 520}, kSmallestRestored{900, 600};

  static EditorWindowController& shared();
  // Loads the capture into the shared window and brings it forward.
  static void show(const CaptureItem& item);
  // Drops the shared window (tests start from a new one).
  static void resetForTesting();
  ~EditorWindowController() override;

  QWidget* window() const;
  Canvas* currentCanvas() const { return canvas_.get(); }
  const std::optional<CaptureItem>& currentItem() const { return item_; }
  EditorView* view() const;
  EditorToolbarView* toolbar() const;
  EditorInspectorView* inspector() const;

  // Both say whether the edits reached a file.
  bool saveInPlace(Canvas& canvas);
  // Ctrl+Z and Ctrl+Shift+Z on the canvas history.
  void undoOrRedo(bool redo);
  bool saveAsNew(Canvas& canvas);

  // The window's close request: true when it may close now. A dirty canvas
  // asks first and closes the window itself once answered.
  bool windowShouldClose();
  void windowWillClose();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  EditorWindowController();
  bool load(const CaptureItem& item);
  void closeWithoutAsking();
  void clearContent();
  bool handleKey(QKeyEvent* e);

  std::unique_ptr<QWidget> window_;
  std::unique_ptr<Canvas> canvas_;
  std::optional<CaptureItem> item_;
  QPointer<EditorView> view_;
  QPointer<EditorToolbarView> toolbar_;
  QPointer<EditorInspectorView> inspector_;
  bool saveAsNew(Canvas& canvas, const QString& toast);

  std::optional<CaptureItem> pendingOpen_;  // asked for while the close prompt was up
  bool promptOpen_ = false;
  bool keyMonitor_ = false;
  bool closingAnyway_ = false;
};

// Opens captures of the history by id (the capture toast's "Markup", the
// `nimbo edit` command).
class WindowEditorHost : public EditorHost {
 public:
  void open(const QString& historyID) override;
};

}  // namespace nimbo
