#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "editor/canvas.h"

namespace nimbo {
namespace {

ArrowAnnotation arrow(double x) { return {QPointF(x, 10), QPointF(x + 20, 30), Qt::red, 5}; }
RectAnnotation rect(QRectF r) { return {r, Qt::blue, 4, false, 1}; }

class CanvasTest : public ::testing::Test {
 protected:
  Canvas canvas{"ID", QImage(400, 300, QImage::Format_RGB32)};
};

TEST_F(CanvasTest, DeletingFixesTheSelection) {
  canvas.commit(rect({0, 0, 50, 50}));
  canvas.commit(rect({100, 0, 50, 50}));
  canvas.commit(rect({200, 0, 50, 50}));
  EXPECT_EQ(canvas.selectedAnnotationIndex(), 2);  // the newest is selected
  canvas.selectAnnotation({120, 20});
  ASSERT_EQ(canvas.selectedAnnotationIndex(), 1);
  canvas.deleteSelected();
  EXPECT_EQ(canvas.annotations().size(), 2u);
  EXPECT_FALSE(canvas.selectedAnnotationIndex());
  canvas.selectAnnotation({220, 20});
  ASSERT_EQ(canvas.selectedAnnotationIndex(), 1);
  canvas.remove(0);
  EXPECT_EQ(canvas.selectedAnnotationIndex(), 0);
  canvas.remove(5);  // out of range: nothing at all
  canvas.remove(-1);
  EXPECT_EQ(canvas.annotations().size(), 1u);
}

TEST_F(CanvasTest, UndoAndRedoWalkTheSameValueBackAndForth) {
  canvas.commit(arrow(0));
  canvas.commit(arrow(50));
  ASSERT_EQ(canvas.selectedAnnotationIndex(), 1);
  canvas.undoManager().undo();
  EXPECT_EQ(canvas.annotations().size(), 1u);
  EXPECT_FALSE(canvas.selectedAnnotationIndex());
  canvas.undoManager().redo();
  ASSERT_EQ(canvas.annotations().size(), 2u);
  EXPECT_EQ(std::get<ArrowAnnotation>(canvas.annotations()[1]).from, QPointF(50, 10));
  EXPECT_FALSE(canvas.selectedAnnotationIndex());  // redo does not select

  // Undoing a delete puts the value back at its old index.
  canvas.selectAnnotation({5, 15});
  canvas.deleteSelected();
  EXPECT_EQ(std::get<ArrowAnnotation>(canvas.annotations()[0]).from, QPointF(50, 10));
  canvas.undoManager().undo();
  EXPECT_EQ(std::get<ArrowAnnotation>(canvas.annotations()[0]).from, QPointF(0, 10));

  // A new change after an undo empties the redo history.
  canvas.undoManager().undo();
  EXPECT_TRUE(canvas.undoManager().canRedo());
  canvas.commit(rect({0, 0, 5, 5}));
  EXPECT_FALSE(canvas.undoManager().canRedo());
  while (canvas.undoManager().canUndo()) canvas.undoManager().undo();
  EXPECT_TRUE(canvas.annotations().empty());
  EXPECT_TRUE(canvas.hasUnsavedChanges());  // undo never clears it
}

TEST_F(CanvasTest, InsertClampsItsIndexAndLeavesTheDirtyFlag) {
  canvas.insert(arrow(1), -3);
  canvas.insert(arrow(2), 99);
  canvas.insert(arrow(3), 1);
  std::vector<double> xs;
  for (const Annotation& a : canvas.annotations()) xs.push_back(std::get<ArrowAnnotation>(a).from.x());
  EXPECT_EQ(xs, (std::vector<double>{1, 3, 2}));
  EXPECT_FALSE(canvas.hasUnsavedChanges());
}

TEST_F(CanvasTest, ToolsSelectionAndColours) {
  canvas.commit(rect({0, 0, 100, 100}));
  canvas.commit(rect({50, 50, 100, 100}));
  canvas.selectAnnotation({75, 75});
  EXPECT_EQ(canvas.selectedAnnotationIndex(), 1);  // the later one wins
  canvas.selectAnnotation({390, 290});
  EXPECT_FALSE(canvas.selectedAnnotationIndex());

  canvas.selectAnnotation({10, 10});
  ArrowTool arrowTool, otherArrow;
  canvas.setCurrentTool(&arrowTool);
  EXPECT_FALSE(canvas.selectedAnnotationIndex());
  canvas.setCurrentTool(canvas.selectTool());
  EXPECT_FALSE(canvas.selectedAnnotationIndex());  // not restored
  canvas.selectAnnotation({10, 10});
  canvas.setCurrentTool(canvas.selectTool());
  EXPECT_EQ(canvas.selectedAnnotationIndex(), 0);

  canvas.setColor(&arrowTool, Qt::green);
  EXPECT_EQ(canvas.color(&arrowTool), QColor(Qt::green));
  EXPECT_NE(canvas.color(&otherArrow), QColor(Qt::green));  // keyed by identity
}

TEST(AnnotationTest, BoundingBoxesCarryTheirMargins) {
  EXPECT_EQ(boundingBox(arrow(0)), QRectF(-22.5, -12.5, 65, 65));
  EXPECT_EQ(boundingBox(rect({10, 10, 20, 20})), QRectF(6, 6, 28, 28));
  EXPECT_EQ(boundingBox(StrokeAnnotation{{}, Qt::yellow, 14, 0.4}), QRectF(0, 0, 0, 0));
  EXPECT_EQ(boundingBox(StrokeAnnotation{{{10, 10}, {30, 20}}, Qt::yellow, 14, 0.4}), QRectF(2, 2, 36, 26));
  const QRectF t = boundingBox(TextAnnotation{{100, 50}, "Hello", 18, Qt::white, true});
  EXPECT_DOUBLE_EQ(t.left(), 94);
  EXPECT_GT(t.width(), 12 + 20);
  EXPECT_LT(t.top(), 50 - 6);          // below the baseline by descender and pad
  EXPECT_GT(t.bottom(), 50 + 6 + 10);  // above it by ascender and pad
  const QRectF plain = boundingBox(TextAnnotation{{100, 50}, "Hello", 18, Qt::white, false});
  EXPECT_DOUBLE_EQ(plain.left(), 98);
  EXPECT_TRUE(rectContains(QRectF(0, 0, 10, 10), {0, 0}));
  EXPECT_FALSE(rectContains(QRectF(0, 0, 10, 10), {10, 5}));
}

TEST(CanvasOpenTest, AMissingOriginalIsAnError) {
  QTemporaryDir dir;
  CaptureItem item = CaptureItem::newImage(10, 10);
  auto missing = Canvas::open(item, dir.path());
  ASSERT_FALSE(missing.ok());
  EXPECT_TRUE(missing.error().description.contains(item.id + ".png"));
  QImage img(10, 10, QImage::Format_RGB32);
  img.fill(Qt::red);
  ASSERT_TRUE(img.save(dir.filePath(item.id + ".png")));
  auto ok = Canvas::open(item, dir.path());
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value()->baseImage().size(), QSize(10, 10));
}

}  // namespace
}  // namespace nimbo
