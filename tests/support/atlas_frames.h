// Pictures as a host has them and the frames of areas that carry their changes, for tests
// on either platform. Header-only; the JPEG encoder is the caller's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "wire/frame_extension.h"

// RGB rows, top first. Colours differ between generations, and between neighbours, by far
// more than JPEG's error at quality 100 (kJpegError): a pixel out of place shows.
struct Picture {
    int width, height;
    std::vector<uint8_t> rgb;
    Picture(int w, int h) : width(w), height(h), rgb(size_t(w) * size_t(h) * 3) {}
    uint8_t* at(int x, int y) { return &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3]; }
    void paint(const PixelRect& r, int generation)
    {
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int x = r.x; x < r.x + r.width; ++x) {
                uint8_t* p = at(x, y);
                p[0] = uint8_t(x * 47 + generation * 83), p[1] = uint8_t(y * 59 + generation * 29);
                p[2] = uint8_t((x + 2 * y) * 37 + generation * 151);
            }
    }
};
constexpr int kJpegError = 10;

inline std::vector<uint8_t> withSegment(const std::vector<uint8_t>& jpeg, const std::vector<uint8_t>& segment)
{
    std::vector<uint8_t> out;
    insertSegment(jpeg.data(), jpeg.size(), segment, out);
    return out;
}

// Paints `places` of `picture` in a new generation and returns the frame of areas that
// carries them: an atlas of `encode`, the areas in a row one pixel apart, off the 8-pixel
// grid, on green. Where a later area covers an earlier one the earlier is magenta, so the
// picture comes out right only if later areas win.
template <class Encode>
std::vector<uint8_t> areasFrame(Picture& picture, const std::vector<PixelRect>& places, int generation, Encode encode)
{
    std::vector<FrameArea> areas;
    int end = 3, height = 0;
    for (const PixelRect& place : places) {
        picture.paint(place, generation);
        areas.push_back({place, end, 1});
        end += place.width + 1, height = std::max(height, place.height);
    }
    Picture atlas(end + 2, height + 2);
    for (size_t i = 1; i < atlas.rgb.size(); i += 3)
        atlas.rgb[i] = 255;
    for (size_t i = 0; i < areas.size(); ++i)
        for (int y = 0; y < places[i].height; ++y)
            for (int x = 0; x < places[i].width; ++x) {
                const int px = places[i].x + x, py = places[i].y + y;
                bool covered = std::any_of(places.begin() + long(i) + 1, places.end(), [&](const PixelRect& r) {
                    return px >= r.x && px < r.x + r.width && py >= r.y && py < r.y + r.height;
                });
                uint8_t magenta[3] = {255, 0, 255};
                std::copy_n(covered ? magenta : picture.at(px, py), 3, atlas.at(areas[i].sourceX + x, 1 + y));
            }
    return withSegment(encode(atlas), areasSegment(picture.width, picture.height, areas));
}

// The largest channel difference between bottom-up BGR(X) rows and the picture.
inline int largestError(const uint8_t* rows, int stride, int pixelBytes, Picture& picture)
{
    int largest = 0;
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            for (int c = 0; c < 3; ++c) {
                const uint8_t* got = rows + size_t(picture.height - 1 - y) * size_t(stride) + size_t(x * pixelBytes);
                largest = std::max(largest, std::abs(int(got[2 - c]) - int(picture.at(x, y)[c])));
            }
    return largest;
}
