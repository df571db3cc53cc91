#pragma once
#include <QImage>
#include <QObject>
#include <QPointF>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

#include "core/seams.h"
#include "platform/platform.h"

class QScreen;

namespace nimbo {

class RegionSelector;

// One full-screen overlay per display: the frozen picture, dimmed outside the
// rectangle being dragged, with its size label.
class RegionOverlayWindow : public QWidget {
  Q_OBJECT
 public:
  RegionOverlayWindow(const ScreenInfo& screen, QScreen* qscreen, RegionSelector* selector);
  void setFrozenImage(const QImage& image);
  const ScreenInfo& overlayScreen() const { return screen_; }
  // The drag rectangle in this window's coordinates (top-left origin).
  std::optional<QRectF> dragRect() const;
  // Where the size label goes for a drag rectangle `r` in a view of `viewSize`
  // (top-left origin): the label's background rectangle.
  static QRectF labelRect(const QRectF& r, QSizeF textSize, QSizeF viewSize);
  static QString labelText(const QRectF& r);

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void keyPressEvent(QKeyEvent*) override;

 private:
  void send(RegionSelection selection);
  const QImage& dimmedFrozenImage();
  void updateAround(const std::optional<QRectF>& dragRect);

  ScreenInfo screen_;
  QPointer<QScreen> qscreen_;
  QPointer<RegionSelector> selector_;
  QImage frozen_;
  QImage dimmed_;
  std::optional<QPointF> start_, current_;
  bool painted_ = false;
};

class RegionSelector : public QObject {
  Q_OBJECT
 public:
  // Shows the overlays and returns; `completion` runs once, later, on the
  // main thread. A selection already on screen is cancelled first.
  static void present(const std::vector<ScreenInfo>& screens, const FrozenImages& frozen,
                      std::function<void(RegionSelection)> completion);
  static RegionSelector* active();

  void handle(RegionSelection selection);
  // Each overlay reports its first paint; the last one means all displays
  // show the frozen picture.
  void overlayPainted();
  const std::vector<RegionOverlayWindow*>& windows() const { return windows_; }

 private:
  void start(const std::vector<ScreenInfo>& screens, const FrozenImages& frozen,
             std::function<void(RegionSelection)> completion);
  void finish(RegionSelection selection);

  std::vector<RegionOverlayWindow*> windows_;
  std::function<void(RegionSelection)> completion_;
  bool finished_ = false;
  int painted_ = 0;
};

// The platform seam the capture flow uses, backed by RegionSelector.
class OverlayRegionPresenter : public RegionPresenter {
 public:
  void present(const std::vector<ScreenInfo>& screens, const FrozenImages& frozen,
               std::function<void(RegionSelection)> completion) override {
    RegionSelector::present(screens, frozen, std::move(completion));
  }
};

}  // namespace nimbo
