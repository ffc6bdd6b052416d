#include "winhost/tile_changes.h"

#include <algorithm>
#include <cstring>

bool findChangedTiles(const uint8_t* previous, const uint8_t* current, int width, int height, ptrdiff_t pitch,
                      std::vector<PixelRect>& areas, int tile)
{
    areas.clear();
    const int columns = std::max(0, (width + tile - 1) / tile);
    // Columns [first, end) of tiles: where they start in a row, and their width.
    auto start = [&](int first) { return first * tile; };
    auto span = [&](int first, int end) { return std::min(width, end * tile) - first * tile; };
    std::vector<uint8_t> changed(size_t(columns), 0);
    for (int top = 0; top < height; top += tile) {
        const int bottom = std::min(height, top + tile);
        std::fill(changed.begin(), changed.end(), 0);
        int left = columns;  // tiles of this row not yet seen to differ
        // Row after row across the tiles rather than tile after tile: the same bytes, read
        // in the order the memory prefetcher follows best. Tiles side by side that have
        // not differed yet go to memcmp as one run, so a still screen costs one call a
        // row; only a run that differs is compared again tile by tile.
        for (int y = top; y < bottom && left > 0; ++y) {
            const uint8_t* was = previous + y * pitch;
            const uint8_t* now = current + y * pitch;
            for (int first = 0; first < columns;) {
                int end = left == columns ? columns : first + 1;  // none differed yet: the whole row
                if (!changed[size_t(first)]) {
                    while (end < columns && !changed[size_t(end)])
                        ++end;
                    size_t offset = size_t(start(first)) * 4;
                    if (std::memcmp(was + offset, now + offset, size_t(span(first, end)) * 4) != 0)
                        for (int column = first; column < end; ++column) {
                            offset = size_t(start(column)) * 4;
                            if (std::memcmp(was + offset, now + offset, size_t(span(column, column + 1)) * 4) != 0) {
                                changed[size_t(column)] = 1;
                                --left;
                            }
                        }
                }
                first = end;
            }
        }
        for (int first = 0; first < columns;) {
            int end = first + 1;
            if (changed[size_t(first)]) {
                while (end < columns && changed[size_t(end)])
                    ++end;
                areas.push_back({start(first), top, span(first, end), bottom - top});
            }
            first = end;
        }
    }
    return !areas.empty();
}
