#pragma once
#include <QImage>
#include <QLineEdit>
#include <QPointer>
#include <QWidget>

#include <optional>

#include "editor/canvas.h"

namespace nimbo {

// The drawing and input surface for one canvas: the base image fitted into
// the view with a shadow, the annotations over it, the selection outline and
// the gesture in progress; pointer gestures go to the canvas's current tool.
// Image pixels have y growing upwards.
class EditorView : public QWidget {
  Q_OBJECT
 public:
  static inline const QColor backgroundColor{28, 29, 32};
  static constexpr double kInset = 24;

  explicit EditorView(Canvas* canvas, QWidget* parent = nullptr);
  Canvas* canvas() const { return canvas_; }

  // Where the image sits in the view (widget coordinates); empty when it
  // cannot be shown.
  QRectF imageRect() const;
  // The image pixel under a view point, or nothing outside the image.
  std::optional<QPointF> pixelPoint(QPointF viewPoint) const;
  // The view point of an image pixel.
  QPointF viewPoint(QPointF pixel) const;

  QLineEdit* activeTextField() const { return field_; }
  const std::optional<Canvas::TextEntryRequest>& pendingTextRequest() const { return request_; }
  void commitTextEntry();
  void cancelTextEntry();

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void resizeEvent(QResizeEvent*) override;

 private:
  void canvasChanged();
  void beginTextEntry(const Canvas::TextEntryRequest& request);
  void closeTextField();
  const QImage& shadowFor(QSizeF size);

  QPointer<Canvas> canvas_;
  const AnnotationTool* shownTool_ = nullptr;
  Qt::KeyboardModifiers activeModifiers_;
  QPointer<QLineEdit> field_;
  std::optional<Canvas::TextEntryRequest> request_;
  bool beginningText_ = false;
  QImage shadow_;
  QSize shadowSize_;
};

}  // namespace nimbo
