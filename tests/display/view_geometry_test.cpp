#include <gtest/gtest.h>

#include <utility>

#include "display/view_geometry.h"

namespace {

// What the Windows viewport test, which fits, scrolls and resizes a real window, does not reach.
TEST(ViewGeometry, FitCountsAShownBarOnceAndHostileSizesDoNotOverflow)
{
    // A frame wider than the work area: a 17-pixel horizontal bar shows after the first
    // resize, and is not counted twice.
    EXPECT_EQ(638, fitHeight(600, 760, 705, true, 17, 984));
    // Too tall for the screen: the provisional height stops at the work area's bottom too.
    FirstFit huge = firstFit(INT32_MAX, INT32_MAX, 4, 1280, 984);
    EXPECT_EQ(std::pair(1280, 984), std::pair(huge.width, huge.provisionalHeight));
    EXPECT_EQ(984, fitHeight(INT32_MAX, 760, 0, false, 17, 984));
    EXPECT_EQ(0, clampOffset(INT32_MAX, INT32_MIN, 100));
}

TEST(ViewGeometry, ScrollRequestsLimitedToTheExtent)
{
    const int32_t cases[][7] = {
        // request, thumb, offset, extent, page, move asked, move made
        {kLineDown, 0, 0, 625, 600, 10, 10},   {kLineDown, 0, 0, 604, 600, 10, 4},
        {kPageUp, 0, 30, 800, 600, -80, -30},  {kThumbPosition, 300, 300, 1000, 400, 0, 0},
        {kThumbTrack, 40000, 120, 80000, 400, 39880, 39880},  // the position is unsigned
        {6, 300, 120, 1000, 400, 0, 0},        {8, 300, 120, 1000, 400, 0, 0},  // SB_TOP, SB_ENDSCROLL
        // A page larger than the extent: no move; a stale offset returns to 0.
        {kLineUp, 0, 0, 100, 300, -10, 0},     {kPageDown, 0, 5, 100, 300, 80, -5},
    };
    for (const auto& c : cases) {
        int32_t move = scrollBarMove(uint32_t(c[0]), uint16_t(c[1]), c[2]);
        EXPECT_EQ(c[5], move) << "request " << c[0];
        EXPECT_EQ(c[6], limitMove(move, c[2], c[3], c[4])) << "request " << c[0];
    }
}

TEST(ViewGeometry, WheelMoves)
{
    const int32_t cases[][4] = {
        // delta, key state, dx, dy
        {60, 0, 0, -8}, {7, 0, 0, 0}, {-8, 0, 0, 1}, {INT16_MIN, 0, 0, 4369},
        {-120, 0x0004, 16, 0},           // Shift alone: sideways
        {-120, 0x0004 | 0x0001, 0, 16},  // with the left button: down
    };
    for (const auto& c : cases) {
        ViewMove move = wheelMove(int16_t(c[0]), uint32_t(c[1]));
        EXPECT_EQ(std::pair(c[2], c[3]), std::pair(move.dx, move.dy)) << c[0] << " " << c[1];
    }
}

}  // namespace
