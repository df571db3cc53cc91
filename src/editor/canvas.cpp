#include "editor/canvas.h"

#include <QImageReader>

#include <algorithm>

namespace nimbo {

const QColor Canvas::kDefaultToolColor = QColor::fromRgbF(1.0f, 0.4196078431372549f, 0.4196078431372549f, 1.0f);

Result<std::unique_ptr<Canvas>> Canvas::open(const CaptureItem& item, const QString& originalsDir) {
  const QString path = originalsDir + '/' + item.id + ".png";
  QImageReader reader(path);
  const QImage image = reader.read();
  if (image.isNull()) return Error{"Couldn't decode " + path, "Nimbo.Canvas", 1};
  return std::make_unique<Canvas>(item.id, image);
}

Canvas::Canvas(QString itemID, QImage baseImage) : itemID_(std::move(itemID)), baseImage_(std::move(baseImage)) {}

void Canvas::setHasUnsavedChanges(bool dirty) {
  dirty_ = dirty;
  Q_EMIT changed();
}

void Canvas::setPendingTextEntry(std::optional<TextEntryRequest> r) {
  pendingText_ = std::move(r);
  Q_EMIT changed();
}

void Canvas::setCurrentTool(AnnotationTool* tool) {
  tool_ = tool ? tool : &select_;
  if (!tool_->isSelectTool()) selected_.reset();
  Q_EMIT changed();
}

void Canvas::insert(const Annotation& a, int index, const QString& actionName) {
  const int at = std::clamp(index, 0, int(annotations_.size()));
  annotations_.insert(annotations_.begin() + at, a);
  // Each change registers its inverse with the same index and name, so undo
  // and redo walk the same values back and forth.
  undo_.registerUndo([this, at, actionName] { remove(at, actionName); });
  if (!actionName.isEmpty()) undo_.setActionName(actionName);
  Q_EMIT changed();
}

void Canvas::remove(int index, const QString& actionName) {
  if (index < 0 || index >= int(annotations_.size())) return;
  const Annotation kept = annotations_[size_t(index)];
  annotations_.erase(annotations_.begin() + index);
  if (selected_) {
    if (*selected_ == index) selected_.reset();
    else if (*selected_ > index) selected_ = *selected_ - 1;
  }
  undo_.registerUndo([this, kept, index, actionName] { insert(kept, index, actionName); });
  if (!actionName.isEmpty()) undo_.setActionName(actionName);
  dirty_ = true;
  Q_EMIT changed();
}

void Canvas::commit(const Annotation& a) {
  const int n = int(annotations_.size());
  insert(a, n, "Add " + actionNoun(a));
  selected_ = n;
  dirty_ = true;
  Q_EMIT changed();
}

void Canvas::deleteSelected() {
  if (!selected_ || *selected_ < 0 || *selected_ >= int(annotations_.size())) return;
  const int index = *selected_;
  remove(index, "Delete " + actionNoun(annotations_[size_t(index)]));
}

void Canvas::selectAnnotation(QPointF at) {
  selected_.reset();
  for (int i = int(annotations_.size()) - 1; i >= 0; --i) {
    if (rectContains(boundingBox(annotations_[size_t(i)]), at)) {
      selected_ = i;
      break;
    }
  }
  Q_EMIT changed();
}

QColor Canvas::color(const AnnotationTool* tool) const {
  auto it = toolColors_.find(tool);
  return it != toolColors_.end() ? it->second : kDefaultToolColor;
}

void Canvas::setColor(const AnnotationTool* tool, const QColor& c) {
  toolColors_[tool] = c;
  Q_EMIT changed();
}

}  // namespace nimbo
