#pragma once
// An undo history with the usual document semantics: a step registered during
// a normal change goes on the undo stack and clears the redo stack; one
// registered while undoing goes on the redo stack; one registered while
// redoing goes back on the undo stack.
#include <QString>

#include <functional>
#include <vector>

namespace nimbo {

class UndoManager {
 public:
  void registerUndo(std::function<void()> step);
  // Names the step registered last ("Add Arrow").
  void setActionName(const QString& name);
  bool canUndo() const { return !undo_.empty(); }
  bool canRedo() const { return !redo_.empty(); }
  QString undoActionName() const { return undo_.empty() ? QString() : undo_.back().name; }
  QString redoActionName() const { return redo_.empty() ? QString() : redo_.back().name; }
  void undo();
  void redo();

 private:
  struct Step {
    std::function<void()> run;
    QString name;
  };
  enum class Mode { normal, undoing, redoing };
  std::vector<Step>& target();
  void replay(std::vector<Step>& from, Mode mode);
  std::vector<Step> undo_, redo_;
  Mode mode_ = Mode::normal;
};

}  // namespace nimbo
