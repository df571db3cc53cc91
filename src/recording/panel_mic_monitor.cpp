#include "recording/panel_mic_monitor.h"

#include <QPointer>

#include "platform/platform.h"
#include "recording/audio_level_meter.h"
#include "recording/screen_recorder.h"
#include "util/log.h"

namespace nimbo {

PanelMicMonitor::PanelMicMonitor() = default;
PanelMicMonitor::~PanelMicMonitor() { stop(); }

void PanelMicMonitor::start(const std::optional<QString>& deviceID) {
  if (capture_) return;
  AudioCaptureService& audio = *platform().audioCapture;
  if (audio.microphones().empty()) return;
  QPointer<PanelMicMonitor> self(this);
  Result<std::unique_ptr<AudioStream>> stream =
      audio.start(AudioSource::microphone, deviceID.value_or(QString()), [self](const AudioChunk& chunk) {
        const std::optional<float> level = AudioLevelMeter::level(chunk);
        if (!level) return;
        // Chunks arrive on the sound server's thread.
        QMetaObject::invokeMethod(
            self.data(),
            [self, l = *level] {
              if (!self) return;
              self->level_ = l;
              Q_EMIT self->changed();
            },
            Qt::QueuedConnection);
      });
  if (!stream.ok()) {
    logLine("Nimbo: panel mic preview failed: " +
            RecordingError::fromPlatform(stream.error(), RecordingError::Source::microphone).description);
    return;
  }
  capture_ = stream.take();
  deviceID_ = deviceID;
  active_ = true;
  Q_EMIT changed();
}

void PanelMicMonitor::stop() {
  capture_.reset();
  deviceID_.reset();
  const bool was = active_ || level_ != 0;
  active_ = false;
  level_ = 0;
  if (was) Q_EMIT changed();
}

}  // namespace nimbo
