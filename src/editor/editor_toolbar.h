#pragma once
// The two strips above the editor view: the tool buttons with the copy and
// share actions, and the colour swatches of the current tool.
#include <QAbstractButton>
#include <QPointer>
#include <QWidget>

#include <array>
#include <vector>

class QHBoxLayout;

namespace nimbo {

class AnnotationTool;
class Canvas;
class CaptureHistory;
class NimboButton;

// Equal when each sRGB component and alpha differ by less than 0.01.
bool colorsEqual(const QColor& a, const QColor& b);
// The seven swatch colours, coral first.
const std::array<QColor, 7>& editorPalette();

class ToolButton : public QAbstractButton {
  Q_OBJECT
 public:
  ToolButton(AnnotationTool* tool, QWidget* parent);
  AnnotationTool* tool() const { return tool_; }
  bool active() const { return active_; }
  void setActive(bool active);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override { update(); }
  void leaveEvent(QEvent*) override { update(); }

 private:
  AnnotationTool* tool_;
  bool active_ = false;
};

class EditorToolbarView : public QWidget {
  Q_OBJECT
 public:
  EditorToolbarView(Canvas* canvas, CaptureHistory* history, QWidget* parent = nullptr);
  // The key monitor's lookup: the shared tool whose letter is `key`.
  static AnnotationTool* tool(const QString& forShortcut);

  const std::vector<ToolButton*>& toolButtons() const { return buttons_; }
  NimboButton* copyImageButton() const { return copyImage_; }
  NimboButton* shareButton() const { return share_; }
  bool uploading() const { return uploading_; }

  void copyImage();
  void copyLink();
  void uploadAndCopyLink();

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  void refresh();

  QPointer<Canvas> canvas_;
  CaptureHistory* history_;
  std::vector<ToolButton*> buttons_;
  NimboButton* copyImage_ = nullptr;
  NimboButton* share_ = nullptr;
  bool uploading_ = false;
};

class EditorInspectorView : public QWidget {
  Q_OBJECT
 public:
  explicit EditorInspectorView(Canvas* canvas, QWidget* parent = nullptr);
  const std::vector<QAbstractButton*>& swatches() const { return swatches_; }
  // The palette index marked "Selected", if any.
  int selectedSwatch() const;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  void refresh();

  QPointer<Canvas> canvas_;
  std::vector<QAbstractButton*> swatches_;
};

}  // namespace nimbo
