#include "host/quality.h"

#include <algorithm>

int QualityGovernor::lower(int quality)
{
    if (quality > 10)
        return std::max(10, quality - 10);
    if (quality > 5)
        return 5;
    if (quality > 2)
        return 2;
    return quality > 1 ? 1 : 0;
}

bool QualityGovernor::settled(int quality, size_t bytes, size_t limit)
{
    int next = quality;
    // Well under the limit: try higher on the next frame. Half leaves room for the
    // step's growth, so the quality does not swing between two values.
    if (quality < configured_ && bytes < limit / 2)
        next = std::min(configured_, quality + 10);
    bool changed = next != working_;
    working_ = next;
    return changed;
}
