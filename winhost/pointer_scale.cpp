#include "winhost/pointer_scale.h"

#include <algorithm>
#include <cstdint>

int absoluteCoordinate(int pixel, int origin, int extent)
{
    if (extent <= 0)
        return 0;
    int64_t from = std::clamp<int64_t>(int64_t(pixel) - origin, 0, extent - 1);
    int64_t scaled = (from * 65536 + extent - 1) / extent;
    return int(std::min<int64_t>(scaled, 65535));
}

AbsolutePoint absolutePoint(int x, int y, const PixelRect& area, const PixelRect& desk)
{
    x = area.x + std::clamp(x, 0, std::max(0, area.width - 1));
    y = area.y + std::clamp(y, 0, std::max(0, area.height - 1));
    return {absoluteCoordinate(x, desk.x, desk.width), absoluteCoordinate(y, desk.y, desk.height)};
}
