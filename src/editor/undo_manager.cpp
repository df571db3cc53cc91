#include "editor/undo_manager.h"

namespace nimbo {

std::vector<UndoManager::Step>& UndoManager::target() { return mode_ == Mode::undoing ? redo_ : undo_; }

void UndoManager::registerUndo(std::function<void()> step) {
  if (mode_ == Mode::normal) redo_.clear();  // a new user action
  target().push_back({std::move(step), {}});
}

void UndoManager::setActionName(const QString& name) {
  std::vector<Step>& t = target();
  if (!t.empty()) t.back().name = name;
}

void UndoManager::replay(std::vector<Step>& from, Mode mode) {
  if (from.empty() || mode_ != Mode::normal) return;
  Step s = std::move(from.back());
  from.pop_back();
  // Steps the replayed one registers land on the opposite stack.
  mode_ = mode;
  s.run();
  mode_ = Mode::normal;
}

void UndoManager::undo() { replay(undo_, Mode::undoing); }
void UndoManager::redo() { replay(redo_, Mode::redoing); }

}  // namespace nimbo
