#pragma once
// The one settings window: a sidebar of sections and the chosen section's
// pane. Made on first use, hidden (not destroyed) when closed.
#include <optional>

class QWidget;

namespace nimbo {

enum class SettingsSection { general, shortcuts, history, sharing, updates, editor, storage, privacy, about };

namespace SettingsWindow {

// Shows the window at `selecting` when given (else the section last shown),
// centred when it was not already visible, in front and active. Main thread.
void show(std::optional<SettingsSection> selecting = std::nullopt);
bool isVisible();
SettingsSection currentSection();
// The window itself, made when missing (tests render and drive it).
QWidget* window();
// Drops the window and goes back to the first section.
void resetForTesting();

}  // namespace SettingsWindow
}  // namespace nimbo
