// Pixel memory for a decoded frame in a plain vector, of exactly the size asked for, so
// ASan sees any write past it. Header-only, for tests and benchmarks alike.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "display/jpeg_decoder.h"

struct MemoryTarget : FrameTarget {
    int calls = 0;
    int32_t width = -1, height = -1, stride = -1;
    bool refuse = false;  // answer null: the frame is skipped
    int fill = -1;        // a byte to fill the memory with before each frame; -1: keep it
    std::vector<uint8_t> pixels;

    uint8_t* pixelsFor(int32_t w, int32_t h, int32_t s) override
    {
        ++calls;
        width = w, height = h, stride = s;
        if (refuse)
            return nullptr;
        pixels.resize(size_t(s) * size_t(h));
        if (fill >= 0)
            std::fill(pixels.begin(), pixels.end(), uint8_t(fill));
        return pixels.data();
    }

    // The pixel at frame column x of frame row y (top row 0), rows bottom-up.
    const uint8_t* at(int x, int y, int pixelBytes = 4) const
    {
        return &pixels[size_t(height - 1 - y) * size_t(stride) + size_t(x) * size_t(pixelBytes)];
    }
};
