#pragma once
// The floating panel in which a recording is set up: what to capture, which
// audio, the camera bubble and what happens afterwards.
#include <QString>
#include <QWidget>

#include <optional>

#include "recording/recorder_config.h"

namespace nimbo {

namespace RecorderPanel {
// Opens the panel with the stored configuration (its destination set to
// `preset` when given), or brings an open one to the front.
void show(std::optional<RecordingDestination> preset);
// Cancel: closes it, stopping the camera preview unless a recording runs.
void cancel();
// Closes it without touching the camera (the flow's reset).
void close();
QWidget* panel();

// The line under the settings: what Start will do, or what is missing.
QString caption(const RecorderConfig& config);
// Start is blocked while a window or region target has none chosen.
bool startBlocked(const RecorderConfig& config);
// The host name shown for the share-link destination.
QString shareHost();
}  // namespace RecorderPanel

}  // namespace nimbo
