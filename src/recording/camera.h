#pragma once
// The camera bubble: a camera that keeps only its latest frame, and the
// compositor that draws that frame as a mirrored circle into the bottom-left
// corner of each screen frame.
#include <QImage>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

#include "util/result.h"

namespace nimbo {

struct ScreenFrame;

class CameraCapture {
 public:
  // The default camera (V4L2 "/dev/video0"); NIMBO_CAMERA="FORMAT:URL"
  // picks another FFmpeg input, for example
  // "lavfi:testsrc2=size=640x480:rate=30" (tests use this).
  CameraCapture();
  CameraCapture(QString format, QString url);
  ~CameraCapture();

  // Throws (returns) "No camera found." or "Couldn't attach the camera."
  // as setup failures. Starting a running camera does nothing.
  Result<bool> start();
  // Waits at most kStopWaitMs for the reading thread.
  static constexpr int kStopWaitMs = 500;
  void stop();
  bool isRunning() const { return running_; }
  // The newest frame (RGB32), taken under the frame lock; null before the
  // first one.
  QImage latestFrame() const;

 private:
  QString format_, url_;
  std::atomic<bool> running_{false};
  // What the reading thread shares with us. A device that stalls inside a
  // read keeps its thread; stop() then leaves it behind with this state
  // instead of waiting, and the thread frees it when the read returns.
  struct Reader;
  std::shared_ptr<Reader> reader_;
};

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
