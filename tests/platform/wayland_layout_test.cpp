// Where each output lies in the Screenshot portal's picture of the layout.
#include <gtest/gtest.h>

#include "platform/linux/wayland/wayland_platform.h"

namespace nimbo {
namespace {

TEST(WaylandLayout, OutputsAtTheirPlaceInThePortalsPicture) {
  // Mixed scales: the picture takes the largest, so the scale-1 output covers twice its pixels.
  const std::vector<OutputPlacement> mixed{{1, "A", QRect(0, 0, 1920, 1080), 1}, {2, "B", QRect(1920, 0, 960, 540), 2}};
  EXPECT_EQ(outputRectInShot(mixed[0].logical, mixed, QSize(5760, 2160)), QRect(0, 0, 3840, 2160));
  EXPECT_EQ(outputRectInShot(mixed[1].logical, mixed, QSize(5760, 2160)), QRect(3840, 0, 1920, 1080));

  // A layout that does not start at 0,0 (an output left of the primary).
  const std::vector<OutputPlacement> left{{1, "A", QRect(-1280, 200, 1280, 720), 1}, {2, "B", QRect(0, 0, 1920, 1080), 1}};
  EXPECT_EQ(outputRectInShot(left[0].logical, left, QSize(3200, 1080)), QRect(0, 200, 1280, 720));
  EXPECT_EQ(outputRectInShot(left[1].logical, left, QSize(3200, 1080)), QRect(1280, 0, 1920, 1080));

  // Fractional scale 1.5: rounded to whole pixels, never outside the picture.
  const std::vector<OutputPlacement> frac{{1, "A", QRect(0, 0, 1280, 720), 1.5}};
  EXPECT_EQ(outputRectInShot(frac[0].logical, frac, QSize(1920, 1080)), QRect(0, 0, 1920, 1080));

  // Nothing to cut from an empty picture or layout.
  EXPECT_TRUE(outputRectInShot(frac[0].logical, frac, QSize()).isEmpty());
  EXPECT_TRUE(outputRectInShot(QRect(0, 0, 10, 10), {}, QSize(100, 100)).isEmpty());
}

}  // namespace
}  // namespace nimbo
