// A frame as the viewer decodes it, and the viewer's mouse message, for the hosts' tests.
#pragma once

#include <cstdlib>

#include "tests/support/memory_target.h"
#include "tests/support/wire.h"
#include "wire/input_wire.h"

// Width -1 when it cannot be decoded.
struct DecodedFrame : MemoryTarget {
    explicit DecodedFrame(const Bytes& jpeg)
    {
        if (decodeJpegFrame(jpeg.data(), jpeg.size(), *this, {kDefaultOutputPath, PixelFormat::Bgrx32, true}) !=
            DecodeResult::Decoded)
            width = -1;
    }
    // Within JPEG's error (`tolerance`) of the colour: blue, green, red.
    bool near(int x, int y, uint32_t colour, int tolerance = 24) const
    {
        for (int k = 0; k < 3; ++k)
            if (std::abs(int(at(x, y)[k]) - int((colour >> (8 * k)) & 0xFF)) > tolerance)
                return false;
        return true;
    }
};

// MSG_MOUSE at frame position (x, y) from a viewer whose window is width x height.
inline Bytes mouseMessage(uint32_t code, int x, int y, int width, int height)
{
    return inputMessage(MSG_MOUSE, code, uint32_t(y) << 16 | uint32_t(x), uint32_t(width), uint32_t(height));
}
