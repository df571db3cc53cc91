#pragma once
#include <functional>
#include <QString>

namespace nimbo {

enum class CaptureMode { clipboardOnly, uploadAndCopyURL };
QString captureModeName(CaptureMode mode);

// The screenshot pipeline: freeze, select, crop, encode, file, deliver.
// Main thread only.
namespace CaptureFlow {

// Returns at once; the capture runs on later turns of the event loop.
void run(CaptureMode mode);
// Uploads a capture already in the history and copies its link.
// `finished` runs once the upload has succeeded or failed.
void uploadRetroactively(const QString& id, std::function<void()> finished = {});
// True from the start of a capture until it has fully ended.
bool captureInProgress();

}  // namespace CaptureFlow
}  // namespace nimbo
