#include "recording/recording_flow.h"

#include <QString>

#include "util/log.h"

namespace nimbo {

// Screen recording is not part of this build yet: the shortcuts and actions
// are wired so that only this file changes when it arrives.
void RecordingFlow::requestPanel(RecordingDestination preset) {
  logLine(QStringLiteral("Nimbo: the recorder is not available in this build (%1)")
              .arg(preset == RecordingDestination::shareLink ? "shareLink" : "localFile"));
}

}  // namespace nimbo
