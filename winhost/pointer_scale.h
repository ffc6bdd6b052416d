// The shared area's pixels as SendInput's absolute mouse coordinates. Portable.
#pragma once

#include "wire/frame_extension.h"

// The coordinate, 0 to 65535 across the virtual desktop's `extent` pixels from `origin`
// (MOUSEEVENTF_VIRTUALDESK; the origin lies left of or above the primary monitor's 0, 0
// when a monitor does), that Windows maps back to `pixel` (virtual-desktop coordinates)
// whether it rounds down or to the nearest: the smallest value at or past the pixel's left
// (top) edge. Pixels off the desktop go to its edge.
int absoluteCoordinate(int pixel, int origin, int extent);

struct AbsolutePoint {
    int x = 0;
    int y = 0;
};

// A pixel of the shared area `area` (a monitor, or the virtual desktop itself; x, y from
// its top left), kept inside it, as absolute coordinates over the virtual desktop `desk`.
AbsolutePoint absolutePoint(int x, int y, const PixelRect& area, const PixelRect& desk);
