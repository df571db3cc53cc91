#pragma once
// The shared dark look: colour tokens, type families and the small controls
// every window uses.
#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QWidget>

#include <functional>

namespace nimbo {

namespace NimboTokens {
inline const QColor bg0{28, 29, 32};
inline const QColor bg1{38, 39, 42};
inline const QColor bg2{49, 50, 53};
inline const QColor bg3{59, 60, 64};
inline const QColor line{71, 72, 76};
inline const QColor lineSoft{56, 57, 60};
inline const QColor sidebarBg{34, 35, 39};
inline const QColor ink0{246, 246, 247};
inline const QColor ink1{204, 204, 206};
inline const QColor ink2{146, 147, 151};
inline const QColor ink3{110, 111, 115};
inline const QColor accent{202, 245, 77};
inline const QColor accentInk{44, 52, 20};
inline const QColor accentGlow{202, 245, 77, int(0.35 * 255 + 0.5)};
inline const QColor accentSoft{202, 245, 77, int(0.12 * 255 + 0.5)};
inline const QColor red{224, 74, 42};
inline const QColor violet{171, 111, 214};
}  // namespace NimboTokens

enum class FontFamily { interface, display, mono };
// The family at `points` and `weight`, or the system font when it is missing.
QFont nimboFont(FontFamily family, qreal points, QFont::Weight weight);

enum class NimboButtonKind { primary, ghost, subtle };
enum class NimboButtonSize { sm, md, lg };

// Moving a frameless window by dragging its background. On Wayland no
// client may place its own windows, so the compositor is asked to move it.
class BackgroundDrag {
 public:
  void press(QWidget* window, const QPointF& globalPosition);
  void drag(QWidget* window, const QPointF& globalPosition, Qt::MouseButtons buttons);

 private:
  QPoint grab_;
  bool byCompositor_ = false;
};

class NimboButton : public QAbstractButton {
  Q_OBJECT
 public:
  NimboButton(const QString& title, NimboButtonKind kind, NimboButtonSize size,
              std::function<void()> action, QWidget* parent = nullptr, const QIcon& icon = {});
  QSize sizeHint() const override;
  NimboButtonKind kind() const { return kind_; }
  NimboButtonSize buttonSize() const { return size_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  NimboButtonKind kind_;
  NimboButtonSize size_;
};

class NimboToggle : public QAbstractButton {
  Q_OBJECT
  Q_PROPERTY(qreal knobPosition READ knobPosition WRITE setKnobPosition)
 public:
  explicit NimboToggle(QWidget* parent = nullptr);
  QSize sizeHint() const override { return {36, 20}; }
  qreal knobPosition() const { return knob_; }
  void setKnobPosition(qreal p);

 protected:
  void paintEvent(QPaintEvent*) override;
  void checkStateSet() override;
  void nextCheckState() override;

 private:
  qreal knob_ = 0;
};

class NimboCard : public QFrame {
  Q_OBJECT
 public:
  NimboCard(QWidget* content, int padding, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent*) override;
};

enum class KeycapSize { sm, md, lg };

class Keycap : public QWidget {
  Q_OBJECT
 public:
  Keycap(const QString& label, KeycapSize size, bool inverse, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QString label_;
  KeycapSize size_;
  bool inverse_;
};

class MetaLabel : public QLabel {
  Q_OBJECT
 public:
  MetaLabel(const QString& text, const QColor& color, QWidget* parent = nullptr);
};

class NimboLogo : public QWidget {
  Q_OBJECT
 public:
  NimboLogo(qreal size, bool showsWordmark, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  // Bracket line width for a mark of `size` points.
  static qreal bracketWidth(qreal size);

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  qreal size_;
  bool wordmark_;
};

}  // namespace nimbo

namespace nimbo {
// A see-through container: only what its children draw shows, so floating
// panels (toast, countdown, recorder pill) keep their rounded shapes.
class NimboHostingView : public QWidget {
  Q_OBJECT
 public:
  explicit NimboHostingView(QWidget* parent = nullptr);
};
}  // namespace nimbo
