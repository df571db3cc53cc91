#pragma once
// Frames of a PipeWire video node (what the ScreenCast portal shares),
// converted to B G R X at a fixed output size.
#include <QRect>
#include <QRegion>
#include <QSize>

#include <functional>
#include <memory>

#include "platform/platform.h"

namespace nimbo {

struct PipeWireStreamOptions {
  int fd = -1;                // the portal's PipeWire connection; the stream takes it over
  quint32 node = 0;
  QSize displaySize;          // the size the source was expected to have, in pixels
  QRect crop;                 // part of it to keep (display pixels); empty: all
  double minInterval = 1.0 / 60;  // frames closer together are skipped
  // A monitor's cast shows our own windows too (a countdown leaving the
  // screen); a window's shows that window alone.
  bool showsOurWindows = true;
};

class PipeWireStream : public ScreenStream {
 public:
  // Connects and starts; frames then arrive on PipeWire's own thread, each
  // saying where it differs from the frame before (a picture the same as it
  // is not delivered), the latest again about once a second while nothing
  // changes. Without `onFrame` the stream is held: it connects and keeps the
  // newest picture, delivering nothing until begin().
  static Result<std::unique_ptr<PipeWireStream>> start(const PipeWireStreamOptions& options,
                                                       std::function<void(const ScreenFrame&)> onFrame);
  // Delivers from now on, the newest picture at once when it came in the
  // last ScreenStreamService::kFreshMs (a held stream connected during a
  // countdown starts with what the screen shows now), or whenever it came
  // when our windows are not in the cast. Any thread.
  void begin(std::function<void(const ScreenFrame&)> onFrame);
  ~PipeWireStream() override;
  int framesIdle() const override;
  int framesMissed() const override { return 0; }  // frames come when the compositor sends them
  // The compositor composes our windows into the cast; nothing to hide them by.
  void setHiddenWindows(std::vector<quint32>) override {}
  void setFrameInterval(double seconds) override;

  struct Impl;

 private:
  explicit PipeWireStream(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Copies a picture (`width` x `height` pixels of 4 bytes) over the one
// `dst` holds and returns where the two differed, in whole tiles of 16x16
// pixels from the top left: what x264 and the converter work in. Rows that
// are the same are only read.
QRegion copyChangedTiles(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride, int width,
                         int height);

// Where `crop` (display pixels) lies in a frame of `frameSize` when the
// display was expected to be `displaySize`; the whole frame for an empty crop.
QRect cropInFrame(const QRect& crop, QSize displaySize, QSize frameSize);

}  // namespace nimbo
