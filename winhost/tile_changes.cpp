#include "winhost/tile_changes.h"

#include <cstring>

bool sameBytes(const uint8_t* a, const uint8_t* b, size_t size)
{
    // 64 bytes at a time, with no branch inside a block: compilers turn the block into
    // vector code, where the C runtime's memcmp may go a byte at a time (Wine's does).
    size_t at = 0;
    for (; at + 64 <= size; at += 64) {
        uint64_t difference = 0;
        for (size_t word = 0; word < 64; word += 8) {
            uint64_t x, y;
            std::memcpy(&x, a + at + word, 8);
            std::memcpy(&y, b + at + word, 8);
            difference |= x ^ y;
        }
        if (difference != 0)
            return false;
    }
    for (; at < size; ++at)
        if (a[at] != b[at])
            return false;
    return true;
}

ChangedRows findChangedRows(const uint8_t* previous, const uint8_t* current, size_t rowBytes, int height,
                            ptrdiff_t pitch)
{
    auto rowDiffers = [&](int row) {
        return !sameBytes(previous + row * pitch, current + row * pitch, rowBytes);
    };
    ChangedRows rows;
    int top = 0;
    while (top < height && !rowDiffers(top))
        ++top;
    if (top == height)
        return rows;
    int bottom = height;
    while (bottom - 1 > top && !rowDiffers(bottom - 1))
        --bottom;
    rows.changed = true;
    rows.top = top;
    rows.bottom = bottom;
    return rows;
}
