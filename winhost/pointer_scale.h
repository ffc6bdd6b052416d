// Screen pixels as SendInput's absolute mouse coordinates. Portable.
#pragma once

// The coordinate, 0 to 65535 across the primary monitor's `extent` pixels, that Windows
// maps back to `pixel` whether it rounds down or to the nearest: the smallest value at or
// past the pixel's left (top) edge.
int absoluteCoordinate(int pixel, int extent);
