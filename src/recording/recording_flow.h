#pragma once
// One recording from the user's request to the finished file or link: the
// panel, the permission checks, the countdown, the recorder, the pill, and
// at the end the history record, the clipboard and the toast. Main thread.
#include "recording/recorder_config.h"

namespace nimbo {

class Camera;
class ScreenRecorder;

namespace RecordingFlow {
// The record shortcuts and actions: stops a recording in progress, cancels
// a countdown, or opens the recorder panel (its destination set to `preset`
// when given).
void requestPanel(std::optional<RecordingDestination> preset);
// The panel's start: permission checks, then the countdown, then recording.
void beginCountdown(const RecorderConfig& config);
// The pill's Stop.
void stopRequested();
// The panel's camera switch: shows or hides the live bubble.
void cameraToggled(bool on);
void stopCameraPreview();

// What the flow holds, for the indicators and tests.
ScreenRecorder& recorder();
const RecorderConfig& activeConfig();
Camera* sharedCamera();
// The application is ending: a recording in progress is finished (its file
// closed and playable) and the camera let go.
void shutDown();
// Back to idle, dropping whatever runs (tests).
void resetForTesting();
}  // namespace RecordingFlow

namespace RecordSmokeTest {
// True when a self-test run takes over the process.
bool runIfRequested();
}  // namespace RecordSmokeTest

}  // namespace nimbo
