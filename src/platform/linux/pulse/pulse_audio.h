#pragma once
#include "platform/platform.h"

namespace nimbo {

// Microphones and the system's sound through the PulseAudio client library
// (PipeWire's pulse server answers it too). The system sound is the default
// output's monitor; microphones are the sources that are not monitors.
class PulseAudioCapture : public AudioCaptureService {
 public:
  std::vector<AudioDevice> microphones() override;
  std::optional<AudioDevice> defaultMicrophone() override;
  Result<std::unique_ptr<AudioStream>> start(AudioSource source, const QString& deviceID,
                                             std::function<void(const AudioChunk&)> onChunk) override;
};

}  // namespace nimbo
