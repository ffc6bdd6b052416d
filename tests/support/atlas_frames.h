// Pictures as a host has them and the atlases of the frame extension that carry their
// changed areas, for tests on either platform. Header-only; the JPEG encoder is the caller's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "wire/frame_extension.h"

// RGB rows, top first. Each generation's colours differ from any other's, and neighbours
// from each other, by far more than JPEG's error at quality 100: a pixel out of place shows.
struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    Picture(int w, int h) : width(w), height(h), rgb(size_t(w) * size_t(h) * 3) {}
    uint8_t* at(int x, int y) { return &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3]; }
    const uint8_t* at(int x, int y) const { return &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3]; }
    void paint(const PixelRect& r, int generation)
    {
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int x = r.x; x < r.x + r.width; ++x) {
                uint8_t* p = at(x, y);
                p[0] = uint8_t(x * 47 + generation * 83);
                p[1] = uint8_t(y * 59 + generation * 29);
                p[2] = uint8_t((x + 2 * y) * 37 + generation * 151);
            }
    }
};

// The areas of `picture` at `places`, packed on shelves into `atlas` (made here) one pixel
// apart and off the 8-pixel grid, on green. Where a later area covers an earlier one the
// earlier is magenta, so the picture comes out right only if later areas win.
inline std::vector<FrameArea> packAtlas(const Picture& picture, const std::vector<PixelRect>& places, Picture& atlas)
{
    int atlasWidth = 96;
    for (const PixelRect& place : places)
        atlasWidth = std::max(atlasWidth, place.width + 4);
    std::vector<FrameArea> areas;
    int x = 3, y = 1, shelf = 0;
    for (const PixelRect& place : places) {
        if (x + place.width > atlasWidth)
            x = 3, y += shelf + 1, shelf = 0;
        areas.push_back({place, x, y});
        x += place.width + 1;
        shelf = std::max(shelf, place.height);
    }
    atlas = Picture(atlasWidth, y + shelf + 1);
    for (size_t i = 0; i < atlas.rgb.size(); i += 3)
        atlas.rgb[i + 1] = 255;
    for (size_t i = 0; i < areas.size(); ++i)
        for (int dy = 0; dy < places[i].height; ++dy)
            for (int dx = 0; dx < places[i].width; ++dx) {
                const int px = places[i].x + dx, py = places[i].y + dy;
                bool covered = std::any_of(places.begin() + long(i) + 1, places.end(), [&](const PixelRect& r) {
                    return px >= r.x && px < r.x + r.width && py >= r.y && py < r.y + r.height;
                });
                const uint8_t magenta[3] = {255, 0, 255};
                std::copy_n(covered ? magenta : picture.at(px, py), 3, atlas.at(areas[i].sourceX + dx, areas[i].sourceY + dy));
            }
    return areas;
}

// The largest channel difference between bottom-up BGR(X) rows and the picture.
inline int largestError(const uint8_t* rows, int stride, int pixelBytes, const Picture& picture)
{
    int largest = 0;
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const uint8_t* got = rows + size_t(picture.height - 1 - y) * size_t(stride) + size_t(x * pixelBytes);
            for (int c = 0; c < 3; ++c)
                largest = std::max(largest, std::abs(int(got[2 - c]) - int(picture.at(x, y)[c])));
        }
    return largest;
}

// JPEG at quality 100 without subsampling stays within this of the picture.
constexpr int kJpegError = 10;
