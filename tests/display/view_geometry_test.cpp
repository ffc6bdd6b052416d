#include <gtest/gtest.h>

#include "display/view_geometry.h"

namespace {

TEST(ViewGeometry, FitsAFrameThatTheWorkAreaHolds)
{
    FirstFit first = firstFit(800, 600, 4, 1280, 984);
    EXPECT_EQ(808, first.width);
    EXPECT_EQ(760, first.provisionalHeight);
    // Measured after the first resize: a 760-pixel window with a 30-pixel caption and
    // two 4-pixel borders; with a 17-pixel horizontal bar the client is that much lower
    // and the bar is not counted twice.
    EXPECT_EQ(638, fitHeight(600, 760, 722, false, 17, 984));
    EXPECT_EQ(638, fitHeight(600, 760, 705, true, 17, 984));
    EXPECT_EQ(655, fitHeight(600, 760, 705, false, 17, 984));
    // A tall frame stops at the work area's bottom edge, both times.
    EXPECT_EQ(984, firstFit(800, 950, 4, 1280, 984).provisionalHeight);
    EXPECT_EQ(984, fitHeight(950, 984, 946, false, 17, 984));
}

TEST(ViewGeometry, AFrameWiderThanTheWorkAreaTakesItsRightEdge)
{
    FirstFit first = firstFit(1600, 400, 4, 1280, 984);
    EXPECT_EQ(1280, first.width);
    EXPECT_EQ(560, first.provisionalHeight);
    // The limits are the edge coordinates, not the work area's size.
    EXPECT_EQ(1200, firstFit(1600, 400, 4, 1200, 984).width);
}

TEST(ViewGeometry, HostileFrameSizesDoNotOverflow)
{
    FirstFit first = firstFit(INT32_MAX, INT32_MAX, 4, 1280, 984);
    EXPECT_EQ(1280, first.width);
    EXPECT_EQ(984, first.provisionalHeight);
    EXPECT_EQ(984, fitHeight(INT32_MAX, 760, 0, false, 17, 984));
    EXPECT_EQ(0, clampOffset(INT32_MAX, INT32_MIN, 100));
}

TEST(ViewGeometry, ClientSizeChangeClampsTheOffset)
{
    // Smaller client: the offset stays.
    EXPECT_EQ(150, clampOffset(150, 800, 300));
    // Larger client past the offset's room: the offset drops to extent - client.
    EXPECT_EQ(100, clampOffset(150, 800, 700));
    // Client at least the extent: 0.
    EXPECT_EQ(0, clampOffset(150, 800, 800));
    EXPECT_EQ(0, clampOffset(150, 800, 1000));
    // Minimised (0 x 0) keeps the offset; the restore clamps for the restored size.
    EXPECT_EQ(150, clampOffset(150, 800, 0));
    EXPECT_EQ(150, clampOffset(150, 800, 500));
    // Before the first frame the extent is 0.
    EXPECT_EQ(0, clampOffset(0, 0, 300));
}

TEST(ViewGeometry, ScrollBarRequests)
{
    EXPECT_EQ(-10, scrollBarMove(kLineUp, 0, 50));
    EXPECT_EQ(80, scrollBarMove(kPageDown, 0, 50));
    EXPECT_EQ(0, scrollBarMove(kThumbPosition, 300, 120));
    EXPECT_EQ(0, scrollBarMove(6, 300, 120));  // SB_TOP
    EXPECT_EQ(0, scrollBarMove(8, 300, 120));  // SB_ENDSCROLL

    // SB_LINEDOWN at 0 with 25 rows below the client, then with 4.
    EXPECT_EQ(10, limitMove(scrollBarMove(kLineDown, 0, 0), 0, 625, 600));
    EXPECT_EQ(4, limitMove(scrollBarMove(kLineDown, 0, 0), 0, 604, 600));
    // SB_PAGEUP at 30 stops at 0.
    EXPECT_EQ(-30, limitMove(scrollBarMove(kPageUp, 0, 30), 30, 800, 600));

    // The thumb dragged to 300 from 120, then released there.
    int32_t dx = limitMove(scrollBarMove(kThumbTrack, 300, 120), 120, 1000, 400);
    EXPECT_EQ(180, dx);
    EXPECT_EQ(0, limitMove(scrollBarMove(kThumbPosition, 300, 300), 300, 1000, 400));
    // A thumb position above 32767 is unsigned, not a negative move.
    EXPECT_EQ(40000 - 120, scrollBarMove(kThumbTrack, 40000, 120));
}

TEST(ViewGeometry, WheelMoves)
{
    struct Case {
        int16_t delta;
        uint32_t keys;
        int32_t dx, dy;
    } cases[] = {
        {120, 0, 0, -16},           // away from the user: up
        {-240, 0, 0, 32},
        {60, 0, 0, -8},
        {7, 0, 0, 0},
        {-7, 0, 0, 0},
        {-8, 0, 0, 1},
        {-120, 0x0004, 16, 0},      // Shift alone: sideways
        {-120, 0x0004 | 0x0008, 0, 16},  // Shift with Ctrl: down
        {-120, 0x0004 | 0x0001, 0, 16},  // Shift with the left button: down
        {INT16_MIN, 0, 0, 4369},
    };
    for (const Case& c : cases) {
        ViewMove move = wheelMove(c.delta, c.keys);
        EXPECT_EQ(c.dx, move.dx) << c.delta << " " << c.keys;
        EXPECT_EQ(c.dy, move.dy) << c.delta << " " << c.keys;
    }
}

TEST(ViewGeometry, MovesNeverLeaveTheExtentNorGoNegative)
{
    EXPECT_EQ(-20, limitMove(-500, 20, 800, 300));
    EXPECT_EQ(480, limitMove(900, 20, 800, 300));
    // A page larger than the extent: no move either way, and never below 0.
    for (int32_t move : {-50, -1, 0, 1, 50})
        EXPECT_EQ(0, limitMove(move, 0, 100, 300)) << move;
    EXPECT_EQ(-5, limitMove(40, 5, 100, 300));  // a stale offset returns to 0
}

TEST(ViewGeometry, BlitCoversOnlyTheFrame)
{
    BlitSize inside = visibleFrame(100, 50, 300, 200, 800, 600);
    EXPECT_EQ(300, inside.width);
    EXPECT_EQ(200, inside.height);
    BlitSize corner = visibleFrame(600, 500, 300, 200, 800, 600);
    EXPECT_EQ(200, corner.width);
    EXPECT_EQ(100, corner.height);
    BlitSize small = visibleFrame(0, 0, 300, 200, 100, 80);
    EXPECT_EQ(100, small.width);
    EXPECT_EQ(80, small.height);
    // A later, smaller frame can leave the offsets past its edge.
    BlitSize past = visibleFrame(150, 0, 300, 200, 100, 80);
    EXPECT_EQ(0, past.width);
    EXPECT_EQ(0, past.height);
    BlitSize none = visibleFrame(0, 0, 300, 200, 0, 0);
    EXPECT_EQ(0, none.width);
}

}  // namespace
