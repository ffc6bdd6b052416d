// What the Windows host's benchmarks capture, check and encode: a desktop-like picture of
// gradients, flat panels and a little noise in the capture's layout (blue, green, red,
// unused; rows width * 4 bytes apart), the row check the tile check replaced as their
// baseline, and the timing helpers they share.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

inline std::vector<uint8_t> desktopPicture(int width, int height)
{
    std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 4);
    uint32_t noise = 12345u;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            bool panel = (x / 240 + y / 180) % 3 == 0;
            uint8_t* p = &pixels[(size_t(y) * size_t(width) + size_t(x)) * 4];
            p[0] = panel ? 240 : uint8_t(((x ^ y) & 0x3F) + (noise >> 26));
            p[1] = panel ? 236 : uint8_t(y * 255 / height);
            p[2] = panel ? 236 : uint8_t(x * 255 / width);
        }
    return pixels;
}

// The change check before tiles: whether anything differs, and between which rows. Each
// row compared whole up to its first difference.
struct ChangedRows {
    bool changed = false;
    int top = 0;
    int bottom = 0;
};

inline ChangedRows findChangedRows(const uint8_t* previous, const uint8_t* current, size_t rowBytes, int height,
                                   ptrdiff_t pitch)
{
    auto rowDiffers = [&](int row) {
        return std::memcmp(previous + row * pitch, current + row * pitch, rowBytes) != 0;
    };
    ChangedRows rows;
    int top = 0;
    while (top < height && !rowDiffers(top))
        ++top;
    if (top == height)
        return rows;
    int bottom = top + 1;
    for (int row = top + 1; row < height; ++row)
        if (rowDiffers(row))
            bottom = row + 1;
    rows.changed = true;
    rows.top = top;
    rows.bottom = bottom;
    return rows;
}

using BenchClock = std::chrono::steady_clock;

inline double msSince(BenchClock::time_point start)
{
    return std::chrono::duration<double, std::milli>(BenchClock::now() - start).count();
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
