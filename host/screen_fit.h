// Keeping frames at the session's size when the screen's changes. Portable.
#pragma once

#include <cstdint>
#include <vector>

// Copies a picture of 4 bytes a pixel into `out`, `width` x `height` with rows width * 4
// bytes apart: cropped at the right and bottom, or padded there with zero bytes (black).
void fitPicture(const uint8_t* source, int sourceWidth, int sourceHeight, int sourcePitch, int width, int height,
                std::vector<uint8_t>& out);
