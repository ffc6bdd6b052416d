#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "winhost/key_flags.h"
#include "winhost/pointer_scale.h"
#include "winhost/tile_changes.h"

namespace {

TEST(TileChangesTest, TheChangedTilesComeExactlyWithPartialTilesAtTheRightAndBottom)
{
    // 200x150 in 64-pixel tiles: the last column 8 wide, the last row 22 high.
    struct Case { int width, height; std::vector<PixelRect> changedPixels, areas; };
    const Case cases[] = {
        {200, 150, {}, {}},
        {200, 150, {{0, 0, 200, 150}}, {{0, 0, 200, 64}, {0, 64, 200, 64}, {0, 128, 200, 22}}},
        {200, 150, {{0, 0, 1, 1}, {199, 0, 1, 1}, {0, 149, 1, 1}, {199, 149, 1, 1}},
         {{0, 0, 64, 64}, {192, 0, 8, 64}, {0, 128, 64, 22}, {192, 128, 8, 22}}},
        {200, 150, {{128, 64, 1, 1}}, {{128, 64, 64, 64}}},
        // The last column and row with others; runs side by side merge, a gap splits them.
        {200, 150,
         {{5, 5, 1, 1}, {150, 10, 1, 1}, {199, 70, 1, 1}, {70, 140, 1, 1}, {130, 149, 1, 1}, {199, 128, 1, 1}},
         {{0, 0, 64, 64}, {128, 0, 64, 64}, {192, 64, 8, 64}, {64, 128, 136, 22}}},
        {128, 64, {{0, 0, 128, 64}}, {{0, 0, 128, 64}}},
        {128, 64, {{127, 63, 1, 1}}, {{64, 0, 64, 64}}},
        {50, 30, {{49, 29, 1, 1}}, {{0, 0, 50, 30}}},
    };
    for (const Case& c : cases) {
        // Padding after each row that differs between the pictures but is never compared.
        const int pitch = c.width * 4 + 20;
        std::vector<uint8_t> before(size_t(pitch) * size_t(c.height)), after;
        for (size_t i = 0; i < before.size(); ++i)
            before[i] = uint8_t(i * 7 + i / 4093);
        after = before;
        for (int y = 0; y < c.height; ++y)
            after[size_t(y) * pitch + size_t(c.width) * 4] ^= 0xFF;
        for (const PixelRect& r : c.changedPixels)
            for (int y = r.y; y < r.y + r.height; ++y)
                for (int x = r.x; x < r.x + r.width; ++x)
                    after[size_t(y) * pitch + size_t(x) * 4 + 1] ^= 0x01;
        std::vector<PixelRect> areas = {{1, 2, 3, 4}};  // the last capture's, to be replaced
        EXPECT_EQ(!c.areas.empty(), findChangedTiles(before.data(), after.data(), c.width, c.height, pitch, areas));
        EXPECT_EQ(c.areas, areas) << "case " << &c - cases;
    }
}

// " +a0 -a0": the strokes, keys in hex.
std::string text(const std::vector<KeyStroke>& strokes)
{
    const char* hex = "0123456789abcdef";
    std::string out;
    for (const KeyStroke& s : strokes)
        out += std::string(s.down ? " +" : " -") + hex[s.virtualKey >> 4] + hex[s.virtualKey & 15];
    return out;
}

TEST(HeldKeysTest, EachPhysicalKeyIsPressedOnceAndAllAreReleasedAtTheEnd)
{
    constexpr uint32_t kSettle = 0x1000;  // HeldKeys::settle, as before a click
    // The strokes for the events, then after the bar the releases at the end.
    struct Case { std::vector<std::pair<uint32_t, bool>> events; const char* strokes; };
    const Case cases[] = {
        // As the viewer reports Shift and Ctrl: the generic code, then the side code.
        {{{0x10, true}, {0xA0, true}, {0x10, false}, {0xA0, false}}, " +a0 -a0 |"},
        {{{0x11, true}, {0xA3, true}, {0x11, false}, {0xA3, false}}, " +a3 -a3 |"},
        // Both Shift keys; the left one goes up while the right one is held.
        {{{0x10, true}, {0xA0, true}, {0xA1, true}, {0xA0, false}, {0x10, false}, {0xA1, false}},
         " +a0 +a1 -a0 -a1 |"},
        // Right Shift and right Ctrl changed in one scan: no left-hand key on the way.
        {{{0x10, true}, {0x11, true}, {0xA1, true}, {0xA3, true}}, " +a1 +a3 | -a3 -a1"},
        // A generic code alone presses the left-hand key before anything else...
        {{{0x10, true}, {0x41, true}, {0x41, false}, {0x10, false}}, " +a0 +41 -41 -a0 |"},
        {{{0x12, true}, {0x12, false}}, " +a4 -a4 |"},
        {{{0x11, true}, {kSettle, true}}, " +a2 | -a2"},
        // ...and nothing at all when the session ends first.
        {{{0x10, true}}, " |"},
        // Repeats, releases of keys never pressed, mouse buttons and codes past 0xFE.
        {{{0x41, true}, {0x41, true}, {0x42, false}, {0x01, true}, {0x104, true}, {0xFF, true}}, " +41 | -41"},
        {{{0x42, true}, {0x42, false}, {0x42, true}}, " +42 -42 +42 | -42"},
    };
    for (const Case& c : cases) {
        HeldKeys keys;
        std::vector<KeyStroke> strokes;
        for (auto [key, down] : c.events) {
            if (key == kSettle)
                keys.settle(strokes);
            else
                keys.change(key, down, strokes);
        }
        std::string seen = text(strokes) + " |";
        strokes.clear();
        keys.releaseAll(strokes);
        EXPECT_EQ(seen + text(strokes), c.strokes);
    }
}

// Windows maps an absolute coordinate c over the virtual desktop back to origin + c *
// extent / 65536, rounded down or to the nearest; the origin is negative when a monitor
// lies left of or above the primary one. A pixel of the shared monitor lands on that
// monitor's pixel; positions past it stay on its edge, never on a neighbour.
TEST(PointerScaleTest, EveryPixelOfTheSharedMonitorComesBackWhetherWindowsRoundsDownOrToTheNearest)
{
    for (int extent : {1, 2, 3, 768, 1080, 1366, 1920, 2160, 3840, 7680})
        for (int origin : {0, -1280, -extent, 1})
            for (int pixel = origin; pixel < origin + extent; ++pixel) {
                int64_t c = absoluteCoordinate(pixel, origin, extent);
                ASSERT_LE(c, 65535);
                ASSERT_EQ(pixel, origin + c * extent / 65536) << extent << " from " << origin;
                ASSERT_EQ(pixel, origin + (c * extent + 32768) / 65536) << extent << " from " << origin;
            }
    // The primary monitor at 0, 0, one left of it and lower, one above it; the shared area,
    // the pixel in it, and the virtual-desktop pixel it lands on.
    const PixelRect desk = {-1280, -1080, 3200, 2160}, primary = {0, 0, 1920, 1080},
                    leftOne = {-1280, 56, 1280, 1024}, above = {0, -1080, 1920, 1080};
    for (auto [area, x, y, deskX, deskY] :
         {std::tuple{primary, 0, 0, 0, 0}, {primary, 1919, 1079, 1919, 1079}, {primary, -5, 5000, 0, 1079},
          {leftOne, 0, 0, -1280, 56}, {leftOne, 1279, 1023, -1, 1079}, {leftOne, 1280, -1, -1, 56},
          {above, 0, 0, 0, -1080}, {above, 1919, 1079, 1919, -1}, {above, 700, 2000, 700, -1},
          {desk, 0, 0, -1280, -1080}, {desk, 3199, 2159, 1919, 1079}, {desk, 1280, 1080, 0, 0}}) {
        AbsolutePoint at = absolutePoint(x, y, area, desk);
        for (int64_t round : {0, 32768}) {
            EXPECT_EQ(deskX, desk.x + (at.x * int64_t(desk.width) + round) / 65536) << x << "," << y;
            EXPECT_EQ(deskY, desk.y + (at.y * int64_t(desk.height) + round) / 65536) << x << "," << y;
        }
    }
}

}  // namespace
