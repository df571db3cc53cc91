#pragma once
#include <QColor>
#include <QImage>
#include <QObject>
#include <QUuid>

#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "capture/capture_item.h"
#include "editor/annotation.h"
#include "editor/annotation_tool.h"
#include "editor/undo_manager.h"
#include "util/result.h"

namespace nimbo {

// The document of one editing of a capture: its base image and the
// annotations over it, with selection, per-tool colours and undo. Main
// thread only.
class Canvas : public QObject {
  Q_OBJECT
 public:
  struct TextEntryRequest {
    QUuid id;
    QPointF point;
    QColor color;
    bool operator==(const TextEntryRequest&) const = default;
  };
  static const QColor kDefaultToolColor;  // coral, 255 107 107

  // The canvas for an image capture of the history; an error naming the file
  // when its original cannot be decoded.
  static Result<std::unique_ptr<Canvas>> open(const CaptureItem& item, const QString& originalsDir);
  Canvas(QString itemID, QImage baseImage);

  const QString& itemID() const { return itemID_; }
  // The record the canvas saves onto, once its edits went to a new one.
  void setItemID(const QString& id) { itemID_ = id; }
  const QImage& baseImage() const { return baseImage_; }
  const std::vector<Annotation>& annotations() const { return annotations_; }
  std::optional<int> selectedAnnotationIndex() const { return selected_; }
  bool hasUnsavedChanges() const { return dirty_; }
  void setHasUnsavedChanges(bool dirty);  // the saves and "Discard" clear it
  const std::optional<TextEntryRequest>& pendingTextEntry() const { return pendingText_; }
  void setPendingTextEntry(std::optional<TextEntryRequest> r);
  UndoManager& undoManager() { return undo_; }

  AnnotationTool* currentTool() const { return tool_; }
  // Any tool but the select tool clears the selection.
  void setCurrentTool(AnnotationTool* tool);
  SelectTool* selectTool() { return &select_; }

  void insert(const Annotation& a, int index, const QString& actionName = {});
  void remove(int index, const QString& actionName = {});
  void commit(const Annotation& a);
  void deleteSelected();
  void selectAnnotation(QPointF at);

  QColor color(const AnnotationTool* tool) const;
  void setColor(const AnnotationTool* tool, const QColor& c);

 Q_SIGNALS:
  void changed();  // annotations, selection, tool, colours, dirty flag or text request

 private:
  QString itemID_;
  QImage baseImage_;
  std::vector<Annotation> annotations_;
  SelectTool select_;
  AnnotationTool* tool_ = &select_;
  std::optional<int> selected_;
  std::optional<TextEntryRequest> pendingText_;
  bool dirty_ = false;
  std::map<const AnnotationTool*, QColor> toolColors_;
  UndoManager undo_;
};

}  // namespace nimbo
