#pragma once
#include "recording/recorder_config.h"

namespace nimbo {

namespace RecordingFlow {
// Opens the recorder panel preset to a destination, or stops a recording
// (or countdown) in progress.
void requestPanel(RecordingDestination preset);
}  // namespace RecordingFlow

namespace RecordSmokeTest {
// True when a self-test run takes over the process.
bool runIfRequested();
}  // namespace RecordSmokeTest

}  // namespace nimbo
