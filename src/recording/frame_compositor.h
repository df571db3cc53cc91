#pragma once
// The camera bubble: the compositor that draws the camera's newest frame as
// a mirrored circle into the bottom-left corner of each screen frame.
#include <QImage>
#include <QString>

#include <optional>


namespace nimbo {

struct ScreenFrame;

// Bubble geometry: diameter 0.22 and margin 0.03 of the frame's short side.
struct BubbleGeometry {
  double diameter = 0, margin = 0;
  static BubbleGeometry forFrame(int width, int height);
};

class FrameCompositor {
 public:
  // The screen frame with the bubble drawn in, in a buffer reused while the
  // frame size stays the same; nothing when no buffer could be made.
  std::optional<ScreenFrame> composite(const ScreenFrame& screen, const QImage& camera);
  // The circle mask for a diameter, drawn once per diameter.
  const QImage& circleMask(int diameter);
  int poolsMade() const { return poolsMade_; }

 private:
  QImage buffer_;
  QSize poolSize_;
  int poolsMade_ = 0;
  QImage mask_;
  int maskDiameter_ = 0;
};

}  // namespace nimbo
