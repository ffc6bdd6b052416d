// Which parts of the screen a frame carries when the viewer takes areas, and how they are
// packed into the frame's image (the atlas). Portable: the host session hands over the
// parts a desktop reported and the captured rows.
#pragma once

#include <cstdint>
#include <vector>

#include "wire/frame_extension.h"

// Changed parts are merged on this grid (a 4:2:0 JPEG block's rows and columns), and atlas
// slots start on it, so no block of the atlas holds pixels of two areas.
constexpr int kAreaGrid = 16;
// Past this many areas after merging, one box round them all.
constexpr int kMaxPlannedAreas = 64;
// Areas covering more than this share of the picture go as a whole frame.
constexpr int kWholePercent = 50;

struct AreaPlan {
    bool whole = false;
    std::vector<PixelRect> areas;  // inside the picture, in grid cells no other area touches
};

// The changed parts merged on the grid: the grid cells they cover, cut into row runs, runs
// of equal width on consecutive rows joined, each then cut back to the changed pixels in
// it. An empty list means nothing to send.
AreaPlan planAreas(const std::vector<PixelRect>& changed, int width, int height);

struct Atlas {
    int width = 0;
    int height = 0;
    std::vector<FrameArea> areas;  // each area's place in the picture and in the atlas
};

// Shelves of grid-aligned slots, tallest first: no slot shares a block with another.
Atlas packAtlas(const std::vector<PixelRect>& areas);

// The atlas image, 4 bytes a pixel, rows width * 4 apart, from the picture's rows. A slot's
// spare rows and columns (an area cut short at the picture's edge) repeat its last pixels,
// so no block edge rings into the area; unused space is black.
void fillAtlas(const uint8_t* pixels, int pitch, const Atlas& atlas, std::vector<uint8_t>& out);
