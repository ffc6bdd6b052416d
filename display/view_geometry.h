// The viewport's arithmetic, apart from the window calls: how large the window may be
// for a frame, where the offsets may lie, and how far each scroll request moves.
#pragma once

#include <cstdint>

// Scroll-bar request codes as they arrive in the low word of wParam.
enum ScrollRequest : uint32_t {
    kLineUp = 0,
    kLineDown = 1,
    kPageUp = 2,
    kPageDown = 3,
    kThumbPosition = 4,
    kThumbTrack = 5,
};

constexpr int32_t kLineStep = 10;
constexpr int32_t kPageStep = 80;  // fixed, whatever the client size
constexpr int32_t kWheelStep = 16;  // per notch of 120
constexpr uint32_t kShiftKeyOnly = 0x0004;  // the wheel's key state with Shift and nothing else

// The first resize of the window fit: the final width, and a height tall enough that
// the non-client height can be measured.
struct FirstFit {
    int32_t width;
    int32_t provisionalHeight;
};
FirstFit firstFit(int32_t frameWidth, int32_t frameHeight, int32_t sizingBorder, int32_t workRight,
                  int32_t workBottom);

// The final height, from the window and client heights measured after the first resize:
// the non-client height plus the frame's rows. A horizontal bar showing at the
// provisional size is counted in that non-client height, and is taken off again.
int32_t fitHeight(int32_t frameHeight, int32_t windowHeight, int32_t clientHeight, bool horizontalBarShown,
                  int32_t barHeight, int32_t workBottom);

// An offset limited to the range a client of that size can show; 0 when the client is
// larger than the extent.
int32_t clampOffset(int32_t offset, int32_t extent, int32_t client);

// How far a scroll-bar request moves the view along the bar's axis.
int32_t scrollBarMove(uint32_t request, uint16_t thumbPosition, int32_t offset);

struct ViewMove {
    int32_t dx;
    int32_t dy;
};

// The move for one wheel message: delta is the signed high word of wParam, keyState its
// low word.
ViewMove wheelMove(int16_t delta, uint32_t keyState);

// A requested move limited so that the offset stays within the extent and never goes
// below 0, even when the page is larger than the extent.
int32_t limitMove(int32_t move, int32_t offset, int32_t extent, int32_t page);

// The part of a client area that lies over the frame when the view is at the offsets;
// empty when none does.
struct BlitSize {
    int32_t width;
    int32_t height;
};
BlitSize visibleFrame(int32_t offsetX, int32_t offsetY, int32_t clientWidth, int32_t clientHeight,
                      int32_t frameWidth, int32_t frameHeight);
