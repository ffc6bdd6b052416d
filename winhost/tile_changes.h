// Which parts of a new capture of the screen differ from the one before, in tiles.
// Portable: the capture hands over both pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/frame_extension.h"

// Small enough that a moved pointer or a typed letter costs a few tiles, large enough
// that a tile row is a few hundred bytes for memcmp.
constexpr int kChangeTileSize = 64;

// Both pictures `width` x `height` pixels of 4 bytes, rows `pitch` bytes apart, cut into
// `tile` x `tile` tiles (smaller in the last row and column). Each tile is compared row by
// row up to its first difference; an unchanged picture is read once. `areas` becomes the
// changed tiles, one rectangle for each run of them side by side in a row of tiles, top
// to bottom and left to right; returns whether any changed.
bool findChangedTiles(const uint8_t* previous, const uint8_t* current, int width, int height, ptrdiff_t pitch,
                      std::vector<PixelRect>& areas, int tile = kChangeTileSize);
