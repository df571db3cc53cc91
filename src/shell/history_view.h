#pragma once
// Every capture of the history as a grid of tiles: the History section of
// the settings window.
class QWidget;

namespace nimbo {

// A new history view that follows the shared history for as long as it lives.
QWidget* makeHistoryView(QWidget* parent = nullptr);

}  // namespace nimbo
