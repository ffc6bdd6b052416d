#include "winhost/pointer_scale.h"

#include <algorithm>
#include <cstdint>

int absoluteCoordinate(int pixel, int extent)
{
    if (extent <= 0)
        return 0;
    pixel = std::clamp(pixel, 0, extent - 1);
    int64_t scaled = (int64_t(pixel) * 65536 + extent - 1) / extent;
    return int(std::min<int64_t>(scaled, 65535));
}
