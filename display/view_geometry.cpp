#include "display/view_geometry.h"

#include <algorithm>

namespace {

// Enough room under the frame for a caption and a horizontal bar at the first resize.
constexpr int32_t kProvisionalExtraHeight = 160;

// Sums of window sizes stay far below the 32-bit limits; clamp anyway so a hostile
// frame size cannot overflow.
int32_t sum(int64_t a, int64_t b)
{
    return int32_t(std::clamp<int64_t>(a + b, INT32_MIN, INT32_MAX));
}

}  // namespace

FirstFit firstFit(int32_t frameWidth, int32_t frameHeight, int32_t sizingBorder, int32_t workRight,
                  int32_t workBottom)
{
    return {std::min(sum(frameWidth, 2 * int64_t(sizingBorder)), workRight),
            std::min(sum(frameHeight, kProvisionalExtraHeight), workBottom)};
}

int32_t fitHeight(int32_t frameHeight, int32_t windowHeight, int32_t clientHeight, bool horizontalBarShown,
                  int32_t barHeight, int32_t workBottom)
{
    int64_t height = int64_t(windowHeight) - clientHeight + frameHeight;
    if (horizontalBarShown)
        height -= barHeight;
    return std::min(sum(height, 0), workBottom);
}

int32_t clampOffset(int32_t offset, int32_t extent, int32_t client)
{
    return std::max(0, std::min(offset, sum(extent, -int64_t(client))));
}

int32_t scrollBarMove(uint32_t request, uint16_t thumbPosition, int32_t offset)
{
    switch (request) {
    case kLineUp:
        return -kLineStep;
    case kLineDown:
        return kLineStep;
    case kPageUp:
        return -kPageStep;
    case kPageDown:
        return kPageStep;
    case kThumbTrack:
        return sum(thumbPosition, -int64_t(offset));
    default:  // the thumb's release, top, bottom, end of scrolling
        return 0;
    }
}

ViewMove wheelMove(int16_t delta, uint32_t keyState)
{
    int32_t move = (-int32_t(delta) * kWheelStep) / 120;  // truncates toward zero
    if (keyState == kShiftKeyOnly)
        return {move, 0};
    return {0, move};
}

int32_t limitMove(int32_t move, int32_t offset, int32_t extent, int32_t page)
{
    int32_t upper = sum(int64_t(extent) - offset, -int64_t(page));
    // Lower bound last: with a page larger than the extent the upper bound lies below it.
    return std::max(sum(0, -int64_t(offset)), std::min(move, upper));
}

BlitSize visibleFrame(int32_t offsetX, int32_t offsetY, int32_t clientWidth, int32_t clientHeight,
                      int32_t frameWidth, int32_t frameHeight)
{
    if (offsetX < 0 || offsetY < 0)
        return {0, 0};
    int32_t width = std::max(0, std::min(clientWidth, sum(frameWidth, -int64_t(offsetX))));
    int32_t height = std::max(0, std::min(clientHeight, sum(frameHeight, -int64_t(offsetY))));
    if (width == 0 || height == 0)
        return {0, 0};
    return {width, height};
}
