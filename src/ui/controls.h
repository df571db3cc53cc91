#pragma once
// The small controls of the popover and the history: line symbols drawn as
// vectors (sharp at any scale, no icon theme needed), symbol buttons and
// plain text buttons.
#include <QAbstractButton>
#include <QColor>
#include <QRectF>
#include <QWidget>

#include <functional>

class QPainter;

namespace nimbo {

enum class Symbol {
  magnifyingGlass,
  gear,
  arrowClockwise,
  region,        // a dashed frame around a dot
  cloudUpload,
  window,
  recordCircle,
  stopCircle,
  photo,
  photoStack,    // a photo over a tilted frame: the empty history
  playFill,
  copyDocs,
  arrowDownCircleFill,
};

// Draws `symbol` centred in `box` (a square fits best) in `color`.
void paintSymbol(QPainter& p, Symbol symbol, const QRectF& box, const QColor& color);

// A keyboard focus ring just inside `r`, in the accent colour.
void paintFocusRing(QPainter& p, const QRectF& r, qreal radius);

// A symbol alone, at a fixed size in points.
class SymbolView : public QWidget {
  Q_OBJECT
 public:
  SymbolView(Symbol symbol, qreal points, const QColor& color, QWidget* parent = nullptr);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  Symbol symbol_;
  qreal points_;
  QColor color_;
};

// A borderless button showing one symbol; a faint fill while hovered.
class IconButton : public QAbstractButton {
  Q_OBJECT
 public:
  // `name` is what assistive technologies and the tooltip say.
  IconButton(Symbol symbol, const QString& name, std::function<void()> action, QWidget* parent = nullptr,
             qreal points = 13, const QColor& color = {});
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;
  void focusInEvent(QFocusEvent* e) override;
  void focusOutEvent(QFocusEvent* e) override;

 private:
  Symbol symbol_;
  qreal points_;
  QColor color_;
  bool hovered_ = false;
  bool keyboardFocus_ = false;
};

// A borderless text button ("See all →", "Quit"): its colour, brighter
// while hovered.
class TextButton : public QAbstractButton {
  Q_OBJECT
 public:
  TextButton(const QString& text, const QFont& font, const QColor& color, std::function<void()> action,
             QWidget* parent = nullptr);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;
  void focusInEvent(QFocusEvent* e) override;
  void focusOutEvent(QFocusEvent* e) override;

 private:
  QColor color_;
  bool hovered_ = false;
  bool keyboardFocus_ = false;
};

}  // namespace nimbo
