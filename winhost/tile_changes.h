// Whether a new capture of the screen differs from the one before, and between which rows.
// Portable: the capture hands over both pictures.
#pragma once

#include <cstddef>
#include <cstdint>

struct ChangedRows {
    bool changed = false;
    int top = 0;     // the first row that differs
    int bottom = 0;  // one past the last row that differs
};

// Both pictures `height` rows of `rowBytes` bytes, rows `pitch` bytes apart. Rows are
// compared from the top down to the first difference, then from the bottom up to the
// last: an unchanged picture is read once, a changed one at most once.
ChangedRows findChangedRows(const uint8_t* previous, const uint8_t* current, size_t rowBytes, int height,
                            ptrdiff_t pitch);

// True when the two ranges hold the same bytes.
bool sameBytes(const uint8_t* a, const uint8_t* b, size_t size);
