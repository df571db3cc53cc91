// The editor window on the offscreen platform: loading, gestures, keys, inline text, saves and the close prompt.
#include <QApplication>
#include <QDir>
#include <QMimeData>

#include "capture/png_image.h"
#include "editor/editor_toolbar.h"
#include "editor/editor_view.h"
#include "editor/editor_window.h"
#include "support.h"
#include "ui/design_system.h"
#include "ui/upload_toast.h"

namespace nimbo {
namespace {

using test::waitUntil;

class EditorWindowTest : public test::PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    EditorWindowController::resetForTesting();
    base = QImage(400, 200, QImage::Format_RGB32);
    base.fill(QColor(40, 80, 120));
    item = CaptureItem::newImage(400, 200);
    CaptureHistory::shared().add(item, encodePng(base), encodePng(base.scaled(320, 160)));
  }
  void TearDown() override {
    EditorWindowController::resetForTesting();
    PlatformTest::TearDown();
  }
  QByteArray fileBytes(const QString& id) {
    QFile f(CaptureHistory::shared().originalPath(id));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  // Opens the capture; `v` and `canvas` are its view and canvas.
  EditorWindowController& open() {
    seams().editorHost = std::make_unique<WindowEditorHost>();
    seams().editorHost->open(item.id);
    EditorWindowController& c = EditorWindowController::shared();
    EXPECT_TRUE(QTest::qWaitForWindowActive(c.window()));
    v = c.view();
    canvas = c.currentCanvas();
    return c;
  }
  // Opens the capture with one unsaved arrow on it.
  EditorWindowController& openEdited() {
    EditorWindowController& c = open();
    c.currentCanvas()->commit(ArrowAnnotation{QPointF(10, 10), QPointF(200, 150), Qt::green, 5});
    return c;
  }
  CaptureItem addOther() {
    CaptureItem other = CaptureItem::newImage(64, 32);
    CaptureHistory::shared().add(other, encodePng(QImage(64, 32, QImage::Format_RGB32)), encodePng(base));
    return other;
  }
  // A view point for an image pixel (y up).
  QPoint at(double x, double y) { return v->viewPoint(QPointF(x, y)).toPoint(); }
  void drag(QPoint from, QPoint to) {
    QTest::mousePress(v, Qt::LeftButton, {}, from);
    for (QPoint p : {(from + to) / 2, to}) {
      QMouseEvent move(QEvent::MouseMove, p, v->mapToGlobal(p), Qt::NoButton, Qt::LeftButton, {});
      QApplication::sendEvent(v, &move);
    }
    QTest::mouseRelease(v, Qt::LeftButton, {}, to);
  }
  void key(int k, Qt::KeyboardModifiers m = {}, QWidget* to = nullptr) {
    QTest::keyClick(to ? to : QApplication::focusWidget(), Qt::Key(k), m);
  }
  QString toast() { return UploadToast::current() ? UploadToast::current()->message() : QString(); }

  QImage base;
  CaptureItem item;
  EditorView* v = nullptr;
  Canvas* canvas = nullptr;
};

// At most 1:1, centred; a view too small shrinks it, keeping the aspect.
TEST_F(EditorWindowTest, OpensTheCaptureFittedInTheView) {
  EditorWindowController& c = open();
  ASSERT_TRUE(canvas);
  EXPECT_EQ(c.currentItem()->id, item.id);
  const QRectF r = v->imageRect();
  EXPECT_EQ(r.size(), QSizeF(400, 200));
  EXPECT_EQ(r.center(), QRectF(v->rect()).center());
  EXPECT_EQ(v->pixelPoint(r.bottomLeft() + QPointF(10, -5)), QPointF(10, 5));
  EXPECT_FALSE(v->pixelPoint(r.topLeft() - QPointF(1, 1)));
  v->resize(248, 248);  // inset by 24 points
  EXPECT_EQ(v->imageRect().size(), QSizeF(200, 100));
  v->resize(40, 40);
  EXPECT_TRUE(v->imageRect().isEmpty());
}

TEST_F(EditorWindowTest, UnknownAndUndecodableCapturesSayWhy) {
  seams().editorHost = std::make_unique<WindowEditorHost>();
  seams().editorHost->open("NOPE");
  EXPECT_EQ(toast(), "Couldn't find that capture in history");
  EXPECT_FALSE(UploadToast::current()->success());

  QFile f(CaptureHistory::shared().originalPath(item.id));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("not a png");
  f.close();
  seams().editorHost->open(item.id);
  EXPECT_EQ(toast(), QString::fromUtf8("Couldn't load that capture — the image file may be corrupt"));
  EXPECT_FALSE(EditorWindowController::shared().window()->isVisible());
  EXPECT_FALSE(EditorWindowController::shared().currentCanvas());
}

TEST_F(EditorWindowTest, ARestoredSmallFrameIsEnlargedAndAFrameIsRemembered) {
  Preferences::setValue(EditorWindowController::kFrameKey, "100 100 800 560");
  EditorWindowController& c = open();
  EXPECT_EQ(c.window()->size(), QSize(1100, 760));
  c.window()->resize(1000, 700);
  EXPECT_TRUE(
      waitUntil([] { return Preferences::stringValue(EditorWindowController::kFrameKey).endsWith(" 1000 700"); }));
}

TEST_F(EditorWindowTest, GesturesBecomeAnnotationsOnlyWhenTheyStartOnTheImage) {
  open();
  key(Qt::Key_A);
  drag(at(20, 20), at(120, 80));
  ASSERT_EQ(canvas->annotations().size(), 1u);  // where it lands is checked on the desktop
  EXPECT_TRUE(canvas->hasUnsavedChanges());
  // Pressed outside and released inside, or the other way round: nothing made.
  const QPoint outside = (v->imageRect().topLeft() - QPointF(10, 10)).toPoint();
  drag(outside, at(100, 100));
  key(Qt::Key_R);
  drag(outside, at(100, 100));
  drag(at(10, 10), outside);
  EXPECT_EQ(canvas->annotations().size(), 1u);

  key(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_TRUE(canvas->annotations().empty());
  key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(canvas->annotations().size(), 1u);
}

TEST_F(EditorWindowTest, KeysSwitchToolsDeleteAndLeaveTheRestToTheWindow) {
  EditorWindowController& c = open();
  key(Qt::Key_H, Qt::ShiftModifier);  // Shift alone still switches
  EXPECT_EQ(canvas->currentTool()->name(), "Highlighter");
  key(Qt::Key_R, Qt::AltModifier);  // with Alt the letter is not ours
  EXPECT_EQ(canvas->currentTool()->name(), "Highlighter");
  key(Qt::Key_Escape);
  EXPECT_TRUE(canvas->currentTool()->isSelectTool());

  // Delete without a selection goes on to the window.
  struct Spy : QObject {
    int presses = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      presses += e->type() == QEvent::KeyPress;
      return false;
    }
  } spy;
  c.window()->installEventFilter(&spy);
  key(Qt::Key_Delete);
  EXPECT_EQ(spy.presses, 1);
  canvas->commit(RectAnnotation{QRectF(10, 10, 50, 50), Qt::red, 4, false, 1});
  key(Qt::Key_Backspace);
  EXPECT_TRUE(canvas->annotations().empty());
  EXPECT_EQ(spy.presses, 1);
  c.window()->removeEventFilter(&spy);
}

TEST_F(EditorWindowTest, InlineTextTakesTheKeysUntilCommittedOrCancelled) {
  open();
  key(Qt::Key_T);
  QTest::mouseClick(v, Qt::LeftButton, {}, at(50, 100));
  QLineEdit* field = v->activeTextField();
  ASSERT_TRUE(field);
  EXPECT_FALSE(canvas->pendingTextEntry());
  EXPECT_EQ(QApplication::focusWidget(), field);
  QTest::keyClicks(field, "  r ");
  EXPECT_EQ(canvas->currentTool()->name(), "Text");  // the r went into the field
  QTest::keyClick(field, Qt::Key_Escape);
  EXPECT_FALSE(v->activeTextField());
  EXPECT_TRUE(canvas->annotations().empty());
  EXPECT_EQ(canvas->currentTool()->name(), "Text");
  key(Qt::Key_Escape);
  EXPECT_TRUE(canvas->currentTool()->isSelectTool());

  // Committed trimmed; only white space adds nothing.
  key(Qt::Key_T);
  for (const char* typed : {"  Hello ", "   "}) {
    QTest::mouseClick(v, Qt::LeftButton, {}, at(60, 40));
    ASSERT_TRUE(v->activeTextField());
    QTest::keyClicks(v->activeTextField(), typed);
    QTest::keyClick(v->activeTextField(), Qt::Key_Return);
  }
  ASSERT_EQ(canvas->annotations().size(), 1u);
  EXPECT_EQ(std::get<TextAnnotation>(canvas->annotations()[0]).text, "Hello");
}

// What each save writes, and that saving as new stays on the opened capture, is checked on the desktop; that a
// save in place drops the link, on the history (capture_history_test.cpp).
TEST_F(EditorWindowTest, SavingInPlaceWorksUnchangedAndKeepsTheBaseItOpenedWith) {
  open();
  // Nothing changed yet: Ctrl+S still saves.
  key(Qt::Key_S, Qt::ControlModifier);
  EXPECT_TRUE(UploadToast::current()->success());
  canvas->commit(RectAnnotation{QRectF(0, 0, 400, 200), QColor(255, 0, 0), 4, true, 1});
  key(Qt::Key_S, Qt::ControlModifier);
  EXPECT_FALSE(canvas->hasUnsavedChanges());
  EXPECT_EQ(canvas->baseImage().pixelColor(200, 100), QColor(40, 80, 120));
}

// "Discard" is checked on the desktop.
TEST_F(EditorWindowTest, ClosingADirtyWindowAsksFirstAndOpeningAnotherCaptureDoesNot) {
  EditorWindowController& c = openEdited();
  const QByteArray original = fileBytes(item.id);
  fakes.dialogs->closeAnswer = EditorCloseChoice::save;
  c.window()->close();
  ASSERT_TRUE(waitUntil([&] { return !c.window()->isVisible(); }));
  EXPECT_EQ(fakes.dialogs->closePrompts, 1);
  EXPECT_NE(fileBytes(item.id), original);
  EXPECT_FALSE(c.currentCanvas());
  EXPECT_FALSE(c.currentItem());
  // A clean window closes without a prompt.
  open();
  c.window()->close();
  EXPECT_FALSE(c.window()->isVisible());
  // Opening another capture drops unsaved edits without asking.
  openEdited();
  const CaptureItem other = addOther();
  seams().editorHost->open(other.id);
  EXPECT_EQ(fakes.dialogs->closePrompts, 1);
  EXPECT_EQ(c.currentItem()->id, other.id);
  EXPECT_TRUE(c.currentCanvas()->annotations().empty());
}

TEST_F(EditorWindowTest, ACaptureAskedForWhileTheClosePromptIsUpWaitsForTheAnswer) {
  EditorWindowController& c = openEdited();
  const QByteArray original = fileBytes(item.id);
  const CaptureItem other = addOther();
  const QByteArray otherPng = fileBytes(other.id);
  fakes.dialogs->whilePrompting = [&] { seams().editorHost->open(other.id); };
  // "Keep editing": the open capture stays, with its edits.
  fakes.dialogs->closeAnswer = EditorCloseChoice::cancel;
  c.window()->close();
  // The answer is applied in the same turn of the event loop as the prompt.
  ASSERT_TRUE(waitUntil([&] { return fakes.dialogs->closePrompts == 1; }));
  ASSERT_TRUE(c.currentCanvas());
  EXPECT_EQ(c.currentItem()->id, item.id);
  EXPECT_TRUE(c.currentCanvas()->hasUnsavedChanges());
  EXPECT_TRUE(c.window()->isVisible());
  // "Save": the answer goes to the capture it was asked about, then the other one opens.
  fakes.dialogs->closeAnswer = EditorCloseChoice::save;
  c.window()->close();
  ASSERT_TRUE(waitUntil([&] { return c.currentItem() && c.currentItem()->id == other.id; }));
  EXPECT_NE(fileBytes(item.id), original);
  EXPECT_EQ(fileBytes(other.id), otherPng);
  EXPECT_TRUE(c.currentCanvas()->annotations().empty());
  EXPECT_TRUE(c.window()->isVisible());
}

TEST_F(EditorWindowTest, SavingOntoARecordThatIsGoneKeepsTheEditsAsANewCapture) {
  EditorWindowController& c = openEdited();
  CaptureHistory::shared().remove(item);  // deleted (or evicted) meanwhile
  key(Qt::Key_S, Qt::ControlModifier, c.view());
  EXPECT_EQ(toast(), QString::fromUtf8("The original is gone — saved as a new capture"));
  const auto& items = CaptureHistory::shared().items();
  ASSERT_EQ(items.size(), 1u);
  const QString savedAs = items[0].id;
  EXPECT_NE(savedAs, item.id);
  const QImage written = QImage::fromData(fileBytes(savedAs));
  ASSERT_EQ(written.size(), base.size());
  EXPECT_NE(written, base.convertToFormat(written.format()));  // the arrow is in it
  EXPECT_FALSE(canvas->hasUnsavedChanges());
  // Later saves go onto the new record.
  canvas->commit(ArrowAnnotation{QPointF(20, 20), QPointF(100, 50), Qt::red, 5});
  key(Qt::Key_S, Qt::ControlModifier, c.view());
  EXPECT_EQ(CaptureHistory::shared().items().size(), 1u);
  EXPECT_EQ(c.currentItem()->id, savedAs);
  EXPECT_FALSE(canvas->hasUnsavedChanges());
}

TEST_F(EditorWindowTest, ASaveThatFailsKeepsTheWindowAndTheEdits) {
  EditorWindowController& c = openEdited();
  // The original cannot be replaced: a folder stands where it would go.
  const QString original = CaptureHistory::shared().originalPath(item.id);
  QFile::remove(original);
  QDir().mkpath(original);
  fakes.dialogs->closeAnswer = EditorCloseChoice::save;
  c.window()->close();
  ASSERT_TRUE(waitUntil([&] { return fakes.dialogs->closePrompts == 1; }));
  EXPECT_FALSE(UploadToast::current()->success());
  EXPECT_TRUE(c.window()->isVisible());
  ASSERT_TRUE(c.currentCanvas());
  EXPECT_TRUE(c.currentCanvas()->hasUnsavedChanges());
  QDir(original).removeRecursively();
}

// Where the strip shows and hides is checked on the desktop.
TEST_F(EditorWindowTest, TheInspectorFollowsTheToolAndItsColour) {
  EditorWindowController& c = open();
  EditorInspectorView* inspector = c.inspector();
  key(Qt::Key_A);
  inspector->swatches()[3]->click();
  EXPECT_EQ(canvas->color(toolForShortcut("A")), editorPalette()[3]);
  EXPECT_EQ(inspector->selectedSwatch(), 3);
  key(Qt::Key_R);
  EXPECT_EQ(inspector->selectedSwatch(), 0);  // the rectangle keeps its own colour
  // A colour off by rounding still marks its swatch.
  canvas->setColor(canvas->currentTool(), QColor::fromRgbF(0.3647f, 0.749f, 0.9995f));
  EXPECT_EQ(inspector->selectedSwatch(), 3);
  EXPECT_FALSE(colorsEqual(editorPalette()[3], QColor::fromRgbF(0.3647f, 0.77f, 1.0f)));
}

TEST_F(EditorWindowTest, ToolbarButtonsCopyUploadAndShowTheTools) {
  EditorWindowController& c = open();
  EditorToolbarView* bar = c.toolbar();
  ASSERT_EQ(bar->toolButtons().size(), 6u);
  bar->toolButtons()[2]->click();
  EXPECT_EQ(c.currentCanvas()->currentTool()->name(), "Rectangle");
  EXPECT_TRUE(bar->toolButtons()[2]->active());

  // Copy Image carries the unsaved annotations; the history is untouched.
  const QByteArray original = fileBytes(item.id);
  c.currentCanvas()->commit(RectAnnotation{QRectF(0, 0, 400, 200), QColor(0, 0, 255), 4, true, 1});
  bar->copyImageButton()->click();
  ASSERT_TRUE(fakes.clipboard->data);
  EXPECT_EQ(QImage::fromData(fakes.clipboard->data->data("image/png")).pixelColor(5, 5), QColor(0, 0, 255));
  EXPECT_EQ(fileBytes(item.id), original);

  // One upload, of the stored image, however often it is clicked; then it copies the link.
  bar->shareButton()->click();
  bar->shareButton()->click();
  EXPECT_FALSE(bar->shareButton()->isEnabled());
  ASSERT_EQ(fakes.uploader->pending.size(), 1u);  // what it uploads: through the capture menu (popover_history_test)
  fakes.uploader->answer(QStringLiteral("https://s/i/abc"));
  EXPECT_TRUE(bar->shareButton()->isEnabled());
  fakes.clipboard->data.reset();
  bar->shareButton()->click();
  ASSERT_TRUE(fakes.clipboard->data);
  EXPECT_EQ(fakes.clipboard->data->text(), "https://s/i/abc");
  // A record deleted meanwhile: the button offers the upload again and copying a link does nothing.
  CaptureHistory::shared().remove(*CaptureHistory::shared().find(item.id));
  EXPECT_EQ(bar->shareButton()->text(), "Upload & Copy Link");
  fakes.clipboard->data.reset();
  bar->copyLink();
  EXPECT_FALSE(fakes.clipboard->data);
}

}  // namespace
}  // namespace nimbo
