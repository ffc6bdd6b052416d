// Pixel memory for a decoded frame in a plain vector, of exactly the size asked for, so
// ASan sees any write past it. Header-only, for tests and benchmarks alike.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "display/jpeg_decoder.h"

struct MemoryTarget : FrameTarget {
    int calls = 0;
    bool refuse = false;  // answer null: the frame is skipped
    int fill = -1;        // a byte to fill the memory with before each frame; -1: keep it
    std::vector<uint8_t> pixels;

    uint8_t* pixelsFor(int32_t, int32_t h, int32_t s) override
    {
        ++calls;
        if (refuse)
            return nullptr;
        pixels.resize(size_t(s) * size_t(h));
        if (fill >= 0)
            std::fill(pixels.begin(), pixels.end(), uint8_t(fill));
        return pixels.data();
    }
};
