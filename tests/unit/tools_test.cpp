#include <gtest/gtest.h>

#include <cmath>

#include "editor/annotation_tool.h"
#include "editor/canvas.h"

namespace nimbo {
namespace {

constexpr auto kNone = Qt::NoModifier;
constexpr auto kShift = Qt::ShiftModifier;

class ToolsTest : public ::testing::Test {
 protected:
  Canvas canvas{"id", QImage(200, 200, QImage::Format_RGB32)};
  std::optional<Annotation> gesture(AnnotationTool& t, QPointF a, QPointF b, Qt::KeyboardModifiers m = kNone) {
    t.start(a, canvas, m);
    t.update((a + b) / 2, canvas, m);
    t.update(b, canvas, m);
    return t.finish(b, canvas, m);
  }
};

TEST_F(ToolsTest, ArrowsDiscardClicksAndSnapWithShift) {
  ArrowTool arrow;
  EXPECT_TRUE(gesture(arrow, {50, 50}, {52, 40}));  // 2 right, 10 down: kept
  EXPECT_FALSE(gesture(arrow, {50, 50}, {52, 48}));  // 2 and 2: a click
  EXPECT_FALSE(arrow.origin);
  auto snapped = gesture(arrow, {0, 0}, {10, 9}, kShift);
  ASSERT_TRUE(snapped);
  const auto& a = std::get<ArrowAnnotation>(*snapped);
  EXPECT_NEAR(a.to.x(), a.to.y(), 1e-9);  // on the 45° diagonal
  EXPECT_NEAR(std::hypot(a.to.x(), a.to.y()), std::sqrt(181.0), 1e-9);
  canvas.setColor(&arrow, Qt::green);
  EXPECT_EQ(std::get<ArrowAnnotation>(*gesture(arrow, {0, 0}, {40, 0})).color, QColor(Qt::green));
}

TEST_F(ToolsTest, RectanglesSquareWithShiftAndDiscardSlivers) {
  RectTool rect;
  auto sq = gesture(rect, {0, 0}, {-5, 8}, kShift);
  ASSERT_TRUE(sq);
  EXPECT_EQ(std::get<RectAnnotation>(*sq).rect, QRectF(-8, 0, 8, 8));
  EXPECT_FALSE(gesture(rect, {10, 10}, {12, 110}));
  auto r = gesture(rect, {10, 10}, {40, 60});
  EXPECT_EQ(std::get<RectAnnotation>(*r).rect, QRectF(10, 10, 30, 50));
}

TEST_F(ToolsTest, BlurRoundsOutwardAndIgnoresThinDrags) {
  BlurTool blur;
  EXPECT_FALSE(gesture(blur, {10, 10}, {15, 60}));
  auto b = gesture(blur, {10.4, 20.6}, {30.2, 40.1});
  ASSERT_TRUE(b);
  const auto& ba = std::get<BlurAnnotation>(*b);
  EXPECT_EQ(ba.rect, QRect(10, 20, 20, 20));
  EXPECT_EQ(ba.blurredImage.size(), QSize(20, 20));
}

TEST_F(ToolsTest, HighlighterNeedsMovementAndSkipsTinySteps) {
  HighlighterTool hl;
  hl.start({5, 5}, canvas, kNone);
  EXPECT_FALSE(hl.finish({5, 5}, canvas, kNone));
  hl.start({5, 5}, canvas, kNone);
  hl.update({6, 6}, canvas, kNone);   // under 2 pixels: skipped
  hl.update({8, 5}, canvas, kNone);
  auto s = hl.finish({20, 5}, canvas, kNone);
  ASSERT_TRUE(s);
  const auto& st = std::get<StrokeAnnotation>(*s);
  EXPECT_EQ(st.points, (std::vector<QPointF>{{5, 5}, {8, 5}, {20, 5}}));
  EXPECT_TRUE(hl.points.empty());
}

TEST_F(ToolsTest, TextAsksForAFieldAndShortcutsIgnoreCase) {
  TextTool text;
  text.start({30, 40}, canvas, kNone);
  ASSERT_TRUE(canvas.pendingTextEntry());
  const auto first = *canvas.pendingTextEntry();
  EXPECT_EQ(first.point, QPointF(30, 40));
  text.start({30, 40}, canvas, kNone);
  EXPECT_NE(canvas.pendingTextEntry()->id, first.id);  // two clicks, two requests
  EXPECT_EQ(toolForShortcut("t")->name(), "Text");
  EXPECT_EQ(toolForShortcut("A")->name(), "Arrow");
  EXPECT_EQ(toolForShortcut("x"), nullptr);
}

TEST_F(ToolsTest, SelectToolHitTestsOnPress) {
  canvas.commit(RectAnnotation{QRectF(0, 0, 50, 50), Qt::red, 4, false, 1});
  canvas.setCurrentTool(canvas.selectTool());
  canvas.selectTool()->start({100, 100}, canvas, kNone);
  EXPECT_FALSE(canvas.selectedAnnotationIndex());
  canvas.selectTool()->start({10, 10}, canvas, kNone);
  EXPECT_EQ(canvas.selectedAnnotationIndex(), 0);
  EXPECT_FALSE(canvas.selectTool()->finish({10, 10}, canvas, kNone));
}

}  // namespace
}  // namespace nimbo
