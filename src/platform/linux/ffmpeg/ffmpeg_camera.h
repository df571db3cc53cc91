#pragma once
// Cameras through libavdevice: V4L2 devices, or any FFmpeg input (tests use
// the "lavfi" test sources).
#include <QImage>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/platform.h"

namespace nimbo {

class FfmpegCamera : public Camera {
 public:
  // An FFmpeg input format and its URL, for example "video4linux2" and
  // "/dev/video0", or "lavfi" and "testsrc2=size=640x480:rate=30".
  FfmpegCamera(QString format, QString url);
  ~FfmpegCamera() override;

  Result<bool> start() override;
  // Waits at most kStopWaitMs for the reading thread.
  static constexpr int kStopWaitMs = 500;
  void stop() override;
  bool isRunning() const override { return running_; }
  QImage latestFrame() const override;

 private:
  QString format_, url_;
  std::atomic<bool> running_{false};
  // What the reading thread shares with us. A device that stalls inside a
  // read keeps its thread; stop() then leaves it behind with this state
  // instead of waiting, and the thread frees it when the read returns.
  struct Reader;
  mutable std::mutex readerLock_;
  std::shared_ptr<Reader> reader_;
};

// The default camera: NIMBO_CAMERA="FORMAT:URL" when set (for example
// "lavfi:testsrc2=size=640x480:rate=30"), else V4L2's /dev/video0.
class FfmpegCameraService : public CameraService {
 public:
  std::unique_ptr<Camera> defaultCamera() override;
  AccessInfo access() override;
};

}  // namespace nimbo
