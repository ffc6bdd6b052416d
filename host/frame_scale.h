// Scaling the screen down for the viewer: the frame's size, the picture averaged down to
// it, changed parts and the viewer's pointer positions carried across. Portable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wire/frame_extension.h"

struct ScaleRequest {
    int percent = 100;  // --scale
    int fitWidth = 0;   // --fit: 0 for no box
    int fitHeight = 0;
};

struct ScaledSize {
    int width = 0;
    int height = 0;
    bool limited = false;  // made smaller still because a viewer could not show it
};

// --scale's PERCENT (1 to 100) and --fit's WIDTHxHEIGHT (each 1 to 65535); false for
// anything else.
bool parseScalePercent(const std::string& text, int& percent);
bool parseFitBox(const std::string& text, int& width, int& height);

// The frame size for a screen: the percentage, then the largest size with the screen's
// aspect that fits the box (never above the screen), then, where a viewer's bitmap would
// not hold it (4 bytes a pixel over kMaxBitmapBytes), the largest that it would.
ScaledSize scaledSize(int screenWidth, int screenHeight, const ScaleRequest& request);

// The frame pixels a screen rectangle contributes to: grown outward, so that resending
// them covers every averaged pixel the rectangle changed.
PixelRect scaleRect(const PixelRect& rect, int screenWidth, int screenHeight, int width, int height);

// The screen pixel whose area holds the centre of frame pixel `at` (of `extent`); the
// first and last pixels go to the screen's edges.
int screenCoordinate(int at, int extent, int screenExtent);

// Area averaging: each frame pixel the average of the screen pixels it covers, pixels cut
// by its edges weighted by the part covered, rounded. 4 bytes a pixel, each byte on its own.
class PictureScaler {
public:
    // Writes the part `area` (frame pixels) of the scaled picture into `out`, rows `outPitch`
    // bytes apart; the rest of `out` is left as it is.
    void scale(const uint8_t* source, int sourceWidth, int sourceHeight, int sourcePitch, uint8_t* out, int width,
               int height, int outPitch, const PixelRect& area);

private:
    struct Axis {
        std::vector<int> first;       // each frame pixel's first screen pixel
        std::vector<int> count;       // how many screen pixels it covers
        std::vector<uint32_t> weight; // their weights, frame pixel after frame pixel
        std::vector<int> start;       // where each frame pixel's weights begin
        uint32_t total = 0;           // every frame pixel's weights add up to this
    };
    static void plan(Axis& axis, int from, int to);
    void across(const uint8_t* pixels, const PixelRect& area, uint32_t* row) const;
    void planPairs(int from);

    // The columns again for SSE2: every frame column `taps` screen pixels wide (an even
    // number), from `pairFirst`, the weights past its own zero, as 16-bit pairs.
    int taps_ = 0;
    std::vector<int> pairFirst_;
    std::vector<int16_t> pairWeight_;
    template <typename Sum>
    void scaleRows(const uint8_t* source, int sourcePitch, uint8_t* out, int outPitch, const PixelRect& area);

    int sourceWidth_ = 0, sourceHeight_ = 0, width_ = 0, height_ = 0;
    Axis columns_, rows_;
    std::vector<uint32_t> sum32_;  // a frame row's weighted sums, while they fit 32 bits
    std::vector<uint64_t> sum64_;
    std::vector<uint32_t> rowsAcross_[2];  // screen rows averaged across, by row parity
};
