#pragma once
// A tool turns one pointer gesture (press, drag, release) on the canvas into
// at most one annotation. Points are image pixels, y up; only Shift matters.
#include <QColor>
#include <QPointF>
#include <QString>
#include <Qt>

#include <optional>
#include <vector>

#include "editor/annotation.h"

class QPainter;

namespace nimbo {

class Canvas;

class AnnotationTool {
 public:
  virtual ~AnnotationTool() = default;
  virtual QString name() const = 0;
  virtual QString shortcut() const = 0;
  virtual Qt::CursorShape cursor() const { return Qt::CrossCursor; }
  virtual bool isSelectTool() const { return false; }
  virtual void start(QPointF at, Canvas& canvas, Qt::KeyboardModifiers modifiers) = 0;
  virtual void update(QPointF to, Canvas& canvas, Qt::KeyboardModifiers modifiers) {}
  virtual std::optional<Annotation> finish(QPointF at, Canvas& canvas, Qt::KeyboardModifiers modifiers) {
    return std::nullopt;
  }
  // The gesture in progress, drawn on top of the annotations.
  virtual void drawActive(QPainter& painter) const {}
  virtual void cancel() {}
};

class SelectTool : public AnnotationTool {
 public:
  QString name() const override { return QStringLiteral("Select"); }
  QString shortcut() const override { return QStringLiteral("V"); }
  Qt::CursorShape cursor() const override { return Qt::ArrowCursor; }
  bool isSelectTool() const override { return true; }
  void start(QPointF at, Canvas& canvas, Qt::KeyboardModifiers) override;
};

// The gesture state the drag tools (arrow, rectangle, blur) share: where the
// press was and where the pointer is, the end point shaped by Shift.
class DragTool : public AnnotationTool {
 public:
  void start(QPointF at, Canvas& canvas, Qt::KeyboardModifiers) override;
  void update(QPointF to, Canvas& canvas, Qt::KeyboardModifiers m) override;
  void cancel() override { origin.reset(), current.reset(); }
  std::optional<QPointF> origin, current;
  QColor strokeColor;

 protected:
  explicit DragTool(QColor initial) : strokeColor(initial) {}
  // The pointer point as the tool sees it (snapped, squared); unchanged by default.
  virtual QPointF endPoint(QPointF p, Qt::KeyboardModifiers m) const { return p; }
  // Whether `start` takes the canvas colour for this tool.
  virtual bool usesColor() const { return true; }
};

// Arrow (A): Shift snaps the direction to 45° steps.
class ArrowTool : public DragTool {
 public:
  static constexpr double thickness = 5;
  ArrowTool() : DragTool(Qt::red) {}
  QString name() const override { return QStringLiteral("Arrow"); }
  QString shortcut() const override { return QStringLiteral("A"); }
  std::optional<Annotation> finish(QPointF at, Canvas& canvas, Qt::KeyboardModifiers m) override;
  void drawActive(QPainter& p) const override;

 protected:
  QPointF endPoint(QPointF p, Qt::KeyboardModifiers m) const override;
};

// Rectangle (R): Shift makes a square.
class RectTool : public DragTool {
 public:
  static constexpr double thickness = 4;
  RectTool() : DragTool(Qt::white) {}
  QString name() const override { return QStringLiteral("Rectangle"); }
  QString shortcut() const override { return QStringLiteral("R"); }
  std::optional<Annotation> finish(QPointF at, Canvas& canvas, Qt::KeyboardModifiers m) override;
  void drawActive(QPainter& p) const override;

 protected:
  QPointF endPoint(QPointF p, Qt::KeyboardModifiers m) const override;
};

// Highlighter (H): a translucent freehand stroke.
class HighlighterTool : public AnnotationTool {
 public:
  static constexpr double thickness = 14, alpha = 0.4;
  QString name() const override { return QStringLiteral("Highlighter"); }
  QString shortcut() const override { return QStringLiteral("H"); }
  void start(QPointF at, Canvas& canvas, Qt::KeyboardModifiers) override;
  void update(QPointF to, Canvas& canvas, Qt::KeyboardModifiers) override;
  std::optional<Annotation> finish(QPointF at, Canvas& canvas, Qt::KeyboardModifiers) override;
  void drawActive(QPainter& p) const override;
  void cancel() override { points.clear(); }
  std::vector<QPointF> points;
  QColor strokeColor = Qt::yellow;
};

// Text (T): asks the editor view for an inline text field.
class TextTool : public AnnotationTool {
 public:
  QString name() const override { return QStringLiteral("Text"); }
  QString shortcut() const override { return QStringLiteral("T"); }
  Qt::CursorShape cursor() const override { return Qt::IBeamCursor; }
  void start(QPointF at, Canvas& canvas, Qt::KeyboardModifiers) override;
};

// Blur (B): pixellates the rectangle dragged, baked once.
class BlurTool : public DragTool {
 public:
  static constexpr int pixelScale = 16;
  BlurTool() : DragTool(QColor()) {}
  QString name() const override { return QStringLiteral("Blur"); }
  QString shortcut() const override { return QStringLiteral("B"); }
  std::optional<Annotation> finish(QPointF at, Canvas& canvas, Qt::KeyboardModifiers) override;
  void drawActive(QPainter& p) const override;

 protected:
  bool usesColor() const override { return false; }
};

// The six shared tools, in toolbar order, and lookup by key (any case).
const std::vector<AnnotationTool*>& sharedTools();
AnnotationTool* toolForShortcut(const QString& key);
// The rectangle spanned by two points.
QRectF normalisedRect(QPointF p, QPointF q);

}  // namespace nimbo
