#include "editor/editor_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <malloc.h>

#include "capture/capture_history.h"
#include "capture/thumbnail_maker.h"
#include "editor/canvas.h"
#include "editor/editor_toolbar.h"
#include "editor/editor_view.h"
#include "editor/renderer.h"
#include "shell/app_visibility.h"
#include "shell/hotkeys.h"
#include "util/preferences.h"
#include "ui/upload_toast.h"
#include "util/log.h"

namespace nimbo {

namespace {

std::unique_ptr<EditorWindowController>& sharedController() {
  static std::unique_ptr<EditorWindowController> c;
  return c;
}

// The window frame as "x y width height" of the content area.
QString frameText(const QRect& r) {
  return QStringLiteral("%1 %2 %3 %4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}
std::optional<QRect> parseFrame(const QString& text) {
  const QStringList parts = text.split(' ', Qt::SkipEmptyParts);
  if (parts.size() != 4) return std::nullopt;
  int v[4];
  for (int i = 0; i < 4; ++i) {
    bool ok = false;
    v[i] = parts[i].toInt(&ok);
    if (!ok) return std::nullopt;
  }
  if (v[2] < 1 || v[3] < 1) return std::nullopt;
  return QRect(v[0], v[1], v[2], v[3]);
}

void centre(QWidget* w) {
  QScreen* s = QGuiApplication::primaryScreen();
  if (!s) return;
  QRect r(QPoint(0, 0), w->size());
  r.moveCenter(s->availableGeometry().center());
  w->move(r.topLeft());
}

class EditorWindow : public QWidget {
 public:
  explicit EditorWindow(EditorWindowController* owner) : owner_(owner) {
    setWindowTitle(QStringLiteral("Nimbo — Edit"));
    setMinimumSize(EditorWindowController::kMinimumSize);
    resize(EditorWindowController::kContentSize);
    centre(this);
    // The frame the user left it with, when it is still on a screen.
    if (const auto saved = parseFrame(Preferences::stringValue(EditorWindowController::kFrameKey))) {
      for (QScreen* s : QGuiApplication::screens()) {
        if (!s->availableGeometry().intersects(*saved)) continue;
        resize(saved->size());
        move(saved->topLeft());
        break;
      }
    }
    saveTimer_.setSingleShot(true);
    saveTimer_.setInterval(400);
    QObject::connect(&saveTimer_, &QTimer::timeout, [this] {
      Preferences::setValue(EditorWindowController::kFrameKey, frameText(geometry()));
    });
    auto* undo = new QAction(this);
    undo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    QObject::connect(undo, &QAction::triggered, [this] { owner_->undoOrRedo(false); });
    auto* redo = new QAction(this);
    redo->setShortcuts({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)});
    QObject::connect(redo, &QAction::triggered, [this] { owner_->undoOrRedo(true); });
    addActions({undo, redo});
  }

 protected:
  void closeEvent(QCloseEvent* e) override {
    if (!owner_->windowShouldClose()) return e->ignore();
    e->accept();
    owner_->windowWillClose();
  }
  void moveEvent(QMoveEvent*) override { remember(); }
  void resizeEvent(QResizeEvent*) override { remember(); }

 private:
  void remember() {
    if (isVisible()) saveTimer_.start();
  }
  EditorWindowController* owner_;
  QTimer saveTimer_;
};

}  // namespace

EditorWindowController& EditorWindowController::shared() {
  auto& c = sharedController();
  if (!c) {
    c.reset(new EditorWindowController());
    // Its window must go while the application still exists.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, c.get(), [] { sharedController().reset(); },
                     Qt::DirectConnection);
  }
  return *c;
}

void EditorWindowController::resetForTesting() { sharedController().reset(); }

EditorWindowController::EditorWindowController() : window_(std::make_unique<EditorWindow>(this)) {
  window_->setAttribute(Qt::WA_DeleteOnClose, false);
  // Our own global shortcuts are grabbed from the X server, so their keys
  // never reach the window; the editor gets them first while it is in front.
  Hotkeys::setLocalKeyHandler([this](int key, Qt::KeyboardModifiers mods) {
    if (!window_->isActiveWindow()) return false;
    QKeyEvent e(QEvent::KeyPress, key, mods, mods & Qt::ShiftModifier ? QString(QChar(key)) : QString(QChar(key)).toLower());
    return handleKey(&e);
  });
}

EditorWindowController::~EditorWindowController() {
  Hotkeys::setLocalKeyHandler(nullptr);
  if (keyMonitor_ && qApp) qApp->removeEventFilter(this);
  window_.reset();
}

QWidget* EditorWindowController::window() const { return window_.get(); }
EditorView* EditorWindowController::view() const { return view_; }
EditorToolbarView* EditorWindowController::toolbar() const { return toolbar_; }
EditorInspectorView* EditorWindowController::inspector() const { return inspector_; }

void EditorWindowController::show(const CaptureItem& item) {
  EditorWindowController& c = shared();
  // The close prompt belongs to what is open now: loading another capture
  // under it would apply its answer to the wrong one. The newest request
  // waits for the answer.
  if (c.promptOpen_) {
    logLine("Editor: " + item.id + " opens once the close prompt is answered");
    c.pendingOpen_ = item;
    return;
  }
  // A capture that cannot be loaded leaves the window closed; the failure
  // toast says why.
  if (!c.load(item)) return;
  if (!c.keyMonitor_) {
    qApp->installEventFilter(&c);
    c.keyMonitor_ = true;
  }
  QWidget* w = c.window_.get();
  AppVisibility::applyTo(w);
  // A frame restored smaller than the editor needs is put back to its size.
  if (w->width() < kSmallestRestored.width() || w->height() < kSmallestRestored.height()) {
    w->resize(kContentSize);
    centre(w);
  }
  // An editor the user minimized comes back when a capture is opened in it.
  if (w->isMinimized()) w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
  w->show();
  w->raise();
  w->activateWindow();
  if (c.view_) c.view_->setFocus(Qt::ActiveWindowFocusReason);
}

bool EditorWindowController::load(const CaptureItem& item) {
  CaptureHistory& history = CaptureHistory::shared();
  Result<std::unique_ptr<Canvas>> opened = Canvas::open(item, history.originalsDir());
  if (!opened.ok()) {
    logLine("Editor: " + opened.error().description);
    UploadToast::show(QStringLiteral("Couldn't load that capture — the image file may be corrupt"), false);
    closeWithoutAsking();
    return false;
  }
  // Whatever was open is dropped without asking.
  clearContent();
  std::unique_ptr<Canvas> previous = std::move(canvas_);
  canvas_ = opened.take();
  item_ = item;

  auto* column = new QVBoxLayout(window_.get());
  column->setSpacing(0);
  column->setContentsMargins(0, 0, 0, 0);
  toolbar_ = new EditorToolbarView(canvas_.get(), &history, window_.get());
  inspector_ = new EditorInspectorView(canvas_.get(), window_.get());
  view_ = new EditorView(canvas_.get(), window_.get());
  column->addWidget(toolbar_);
  column->addWidget(inspector_);
  column->addWidget(view_, 1);
  window_->setWindowTitle(QStringLiteral("Nimbo — Edit · %1×%2").arg(item.width).arg(item.height));
  view_->setFocus(Qt::OtherFocusReason);
  return true;
}

void EditorWindowController::clearContent() {
  const QObjectList children = window_->children();  // deleting changes the list
  for (QObject* child : children)
    if (child->isWidgetType()) delete child;
  delete window_->layout();
}

void EditorWindowController::closeWithoutAsking() {
  if (!window_->isVisible()) return windowWillClose();
  closingAnyway_ = true;
  window_->close();
  closingAnyway_ = false;
}

void EditorWindowController::undoOrRedo(bool redo) {
  if (!canvas_) return;
  if (redo && canvas_->undoManager().canRedo()) canvas_->undoManager().redo();
  if (!redo && canvas_->undoManager().canUndo()) canvas_->undoManager().undo();
}

bool EditorWindowController::windowShouldClose() {
  if (closingAnyway_ || !canvas_ || !canvas_->hasUnsavedChanges()) return true;
  // The prompt runs after this close request has been turned down, and
  // closes the window itself.
  QTimer::singleShot(0, this, [this] {
    if (!canvas_ || promptOpen_) return;
    promptOpen_ = true;
    const Canvas* asked = canvas_.get();
    QPointer<EditorWindowController> self(this);
    const EditorCloseChoice choice = seams().dialogs->editorClosePrompt(window_.get());
    if (!self) return;  // the application ended while the prompt was up
    promptOpen_ = false;
    std::optional<CaptureItem> pending = std::exchange(pendingOpen_, std::nullopt);
    if (canvas_.get() != asked) return;
    bool close = true;
    switch (choice) {
      case EditorCloseChoice::cancel: close = false; break;
      // A save that failed (and said so) keeps the window and its edits.
      case EditorCloseChoice::save: close = saveInPlace(*canvas_); break;
      case EditorCloseChoice::saveAsNew: close = saveAsNew(*canvas_); break;
      case EditorCloseChoice::discard: canvas_->setHasUnsavedChanges(false); break;
    }
    if (!close) {
      // What is open stays, with its edits; the capture asked for meanwhile
      // is not opened over it.
      if (pending) logLine("Editor: kept the open capture; " + pending->id + " was not opened");
      return;
    }
    closeWithoutAsking();
    if (pending) show(*pending);
  });
  return false;
}

void EditorWindowController::windowWillClose() {
  clearContent();
  canvas_.reset();
  item_.reset();
  // The picture, its undo steps and the window's paint buffers are freed
  // once the window is gone; give that memory back rather than keep it.
  QTimer::singleShot(0, [] { malloc_trim(0); });
}

namespace {

struct Flattened {
  QByteArray png, thumbnail;
  QSize size;
};

std::optional<Flattened> flatten(const Canvas& canvas) {
  const std::optional<QImage> image = Flattener::image(canvas);
  if (!image) return std::nullopt;
  const std::optional<QByteArray> png = Flattener::pngData(*image);
  const std::optional<QByteArray> thumb = ThumbnailMaker::pngData(*image, ThumbnailMaker::kMaxEdge);
  if (!png || !thumb) return std::nullopt;
  return Flattened{*png, *thumb, image->size()};
}

void flattenFailed() { UploadToast::show(QStringLiteral("Couldn't save — failed to flatten the capture"), false); }

}  // namespace

bool EditorWindowController::saveInPlace(Canvas& canvas) {
  const std::optional<Flattened> f = flatten(canvas);
  if (!f) return flattenFailed(), false;
  CaptureHistory& history = CaptureHistory::shared();
  if (history.find(canvas.itemID())) {
    if (!history.replaceContents(canvas.itemID(), f->png, f->thumbnail)) {
      UploadToast::show(QStringLiteral("Couldn't save — the capture's file could not be written"), false);
      return false;
    }
    canvas.setHasUnsavedChanges(false);
    logLine("Editor: saved over " + canvas.itemID());
    UploadToast::show(QStringLiteral("Saved"), true);
    return true;
  }
  // The record went while the editor was open (30 newer captures, or it was
  // deleted): the edits are kept as a new capture instead of going nowhere.
  logLine("Editor: " + canvas.itemID() + " is no longer in history; saving as a new capture");
  return saveAsNew(canvas, QStringLiteral("The original is gone — saved as a new capture"));
}

bool EditorWindowController::saveAsNew(Canvas& canvas) {
  return saveAsNew(canvas, QStringLiteral("Saved as new capture"));
}

bool EditorWindowController::saveAsNew(Canvas& canvas, const QString& toast) {
  const std::optional<Flattened> f = flatten(canvas);
  if (!f) return flattenFailed(), false;
  const CaptureItem item = CaptureItem::newImage(f->size.width(), f->size.height());
  if (!CaptureHistory::shared().add(item, f->png, f->thumbnail)) {
    UploadToast::show(QStringLiteral("Couldn't save — the capture's file could not be written"), false);
    return false;
  }
  const QString from = canvas.itemID();
  // When the record under edit is gone, the next save goes to the new one.
  if (!CaptureHistory::shared().find(from)) {
    canvas.setItemID(item.id);
    if (item_ && item_->id == from) item_ = item;
  }
  canvas.setHasUnsavedChanges(false);
  logLine("Editor: saved " + from + " as new capture " + item.id);
  UploadToast::show(toast, true);
  return true;
}

bool EditorWindowController::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  auto* widget = qobject_cast<QWidget*>(watched);
  if (!widget || widget->window() != window_.get() || !window_->isActiveWindow()) return false;
  return handleKey(static_cast<QKeyEvent*>(event));
}

bool EditorWindowController::handleKey(QKeyEvent* e) {
  // Typing into the inline text field is the field's business.
  if (qobject_cast<QLineEdit*>(QApplication::focusWidget())) return false;
  const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
  if ((mods & Qt::ControlModifier) && e->key() == Qt::Key_S && canvas_) {
    if (mods & Qt::ShiftModifier)
      saveAsNew(*canvas_);
    else
      saveInPlace(*canvas_);
    return true;
  }
  if (mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
  if (e->key() == Qt::Key_Escape) {
    if (canvas_) {
      canvas_->currentTool()->cancel();
      canvas_->setCurrentTool(EditorToolbarView::tool(QStringLiteral("V")));
    }
    if (view_) view_->update();
    return true;
  }
  if (e->key() == Qt::Key_Backspace || e->key() == Qt::Key_Delete) {
    if (!canvas_ || !canvas_->selectedAnnotationIndex()) return false;
    canvas_->deleteSelected();
    return true;
  }
  const QString text = e->text();
  if (text.size() != 1) return false;
  AnnotationTool* tool = EditorToolbarView::tool(text);
  if (!tool) return false;
  if (canvas_) canvas_->setCurrentTool(tool);
  return true;
}

void WindowEditorHost::open(const QString& historyID) {
  for (const CaptureItem& item : CaptureHistory::shared().items()) {
    if (item.id != historyID) continue;
    return EditorWindowController::show(item);
  }
  UploadToast::show(QStringLiteral("Couldn't find that capture in history"), false);
}

}  // namespace nimbo
