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

void UndoManager::undo() {
  if (undo_.empty() || mode_ != Mode::normal) return;
  Step s = std::move(undo_.back());
  undo_.pop_back();
  mode_ = Mode::undoing;
  s.run();
  mode_ = Mode::normal;
}

void UndoManager::redo() {
  if (redo_.empty() || mode_ != Mode::normal) return;
  Step s = std::move(redo_.back());
  redo_.pop_back();
  mode_ = Mode::redoing;
  s.run();
  mode_ = Mode::normal;
}

}  // namespace nimbo
