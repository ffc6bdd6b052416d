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

// Both pictures `height` rows of `rowBytes` bytes, rows `pitch` bytes apart, each row
// compared up to its first difference: every picture is read once at most.
ChangedRows findChangedRows(const uint8_t* previous, const uint8_t* current, size_t rowBytes, int height,
                            ptrdiff_t pitch);
