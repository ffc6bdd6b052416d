#include "host/screen_fit.h"

#include <algorithm>
#include <cstring>

void fitPicture(const uint8_t* source, int sourceWidth, int sourceHeight, int sourcePitch, int width, int height,
                std::vector<uint8_t>& out)
{
    size_t pitch = size_t(width) * 4;
    out.assign(pitch * size_t(height), 0);
    size_t rowBytes = size_t(std::min(width, sourceWidth)) * 4;
    for (int row = 0; row < std::min(height, sourceHeight); ++row)
        std::memcpy(out.data() + size_t(row) * pitch, source + size_t(row) * size_t(sourcePitch), rowBytes);
}
