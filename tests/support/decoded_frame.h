// A frame as the viewer decodes it, for the host tests: width -1 when it cannot.
#pragma once

#include <cstdlib>

#include "tests/support/memory_target.h"
#include "tests/support/wire.h"

struct Picture : MemoryTarget {
    explicit Picture(const Bytes& jpeg)
    {
        if (decodeJpegFrame(jpeg.data(), jpeg.size(), *this, {kDefaultOutputPath, PixelFormat::Bgrx32, true}) !=
            DecodeResult::Decoded)
            width = -1;
    }
    // Within JPEG's error of the colour: blue, green, red.
    bool near(int x, int y, uint32_t colour, int error = 24) const
    {
        for (int k = 0; k < 3; ++k)
            if (std::abs(int(at(x, y)[k]) - int((colour >> (8 * k)) & 0xFF)) > error)
                return false;
        return true;
    }
};
