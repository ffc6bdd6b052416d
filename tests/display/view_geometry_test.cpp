#include <gtest/gtest.h>

#include "display/view_geometry.h"

namespace {

TEST(ViewGeometry, FitWithinTheWorkAreaEdges)
{
    // 800 x 600 with 4-pixel borders in a work area ending at 1280, 984.
    EXPECT_EQ(808, firstFit(800, 600, 4, 1280, 984).width);
    EXPECT_EQ(760, firstFit(800, 600, 4, 1280, 984).provisionalHeight);
    // Measured after the first resize: a 760-pixel window, a 722-pixel client; a 17-pixel
    // horizontal bar showing is not counted twice.
    EXPECT_EQ(638, fitHeight(600, 760, 722, false, 17, 984));
    EXPECT_EQ(638, fitHeight(600, 760, 705, true, 17, 984));
    // Too tall or too wide: the edge coordinates themselves, not the work area's size.
    EXPECT_EQ(984, firstFit(800, 950, 4, 1280, 984).provisionalHeight);
    EXPECT_EQ(984, fitHeight(950, 984, 946, false, 17, 984));
    EXPECT_EQ(1200, firstFit(1600, 400, 4, 1200, 984).width);
    // Hostile sizes do not overflow.
    EXPECT_EQ(1280, firstFit(INT32_MAX, INT32_MAX, 4, 1280, 984).width);
    EXPECT_EQ(984, fitHeight(INT32_MAX, 760, 0, false, 17, 984));
    EXPECT_EQ(0, clampOffset(INT32_MAX, INT32_MIN, 100));
}

TEST(ViewGeometry, ClientSizeChangeClampsTheOffset)
{
    const int32_t cases[][4] = {
        // offset, extent, client, result
        {150, 800, 300, 150}, {150, 800, 700, 100}, {150, 800, 800, 0}, {150, 800, 1000, 0},
        {150, 800, 0, 150},  // minimised
        {0, 0, 300, 0},      // before the first frame
    };
    for (const auto& c : cases)
        EXPECT_EQ(c[3], clampOffset(c[0], c[1], c[2])) << c[0] << " " << c[1] << " " << c[2];
}

TEST(ViewGeometry, ScrollRequestsLimitedToTheExtent)
{
    const int32_t cases[][7] = {
        // request, thumb, offset, extent, page, move asked, move made
        {kLineUp, 0, 50, 800, 300, -10, -10},  {kLineDown, 0, 0, 625, 600, 10, 10},
        {kLineDown, 0, 0, 604, 600, 10, 4},    {kPageDown, 0, 50, 800, 300, 80, 80},
        {kPageUp, 0, 30, 800, 600, -80, -30},  {kThumbTrack, 300, 120, 1000, 400, 180, 180},
        {kThumbTrack, 40000, 120, 80000, 400, 39880, 39880},  // the position is unsigned
        {kThumbPosition, 300, 300, 1000, 400, 0, 0},
        {6, 300, 120, 1000, 400, 0, 0},  // SB_TOP
        {8, 300, 120, 1000, 400, 0, 0},  // SB_ENDSCROLL
        // A page larger than the extent: no move; a stale offset returns to 0.
        {kLineDown, 0, 0, 100, 300, 10, 0},    {kLineUp, 0, 0, 100, 300, -10, 0},
        {kPageDown, 0, 5, 100, 300, 80, -5},
    };
    for (const auto& c : cases) {
        int32_t move = scrollBarMove(uint32_t(c[0]), uint16_t(c[1]), c[2]);
        EXPECT_EQ(c[5], move) << "request " << c[0];
        EXPECT_EQ(c[6], limitMove(move, c[2], c[3], c[4])) << "request " << c[0];
    }
}

TEST(ViewGeometry, WheelMoves)
{
    const struct {
        int16_t delta;
        uint32_t keys;
        int32_t dx, dy;
    } cases[] = {
        {60, 0, 0, -8}, {7, 0, 0, 0}, {-8, 0, 0, 1}, {INT16_MIN, 0, 0, 4369},
        {-120, 0x0004, 16, 0},           // Shift alone: sideways
        {-120, 0x0004 | 0x0008, 0, 16},  // with Ctrl: down
        {-120, 0x0004 | 0x0001, 0, 16},  // with the left button: down
    };
    for (const auto& c : cases) {
        ViewMove move = wheelMove(c.delta, c.keys);
        EXPECT_EQ(c.dx, move.dx) << c.delta << " " << c.keys;
        EXPECT_EQ(c.dy, move.dy) << c.delta << " " << c.keys;
    }
}

}  // namespace
