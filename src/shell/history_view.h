#pragma once
// Every capture of the history as a grid of tiles: the History section of
// the settings window.
#include <QString>

#include <cstddef>

class QWidget;

namespace nimbo {

// A new history view that follows the shared history for as long as it lives.
QWidget* makeHistoryView(QWidget* parent = nullptr);

// "3 captures · click to edit, right-click for more."
QString historyCountLine(std::size_t count);
// The "Clear all" confirmation's informative text for `count` records.
QString clearAllAlertText(std::size_t count);

}  // namespace nimbo
