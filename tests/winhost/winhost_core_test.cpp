#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "winhost/key_flags.h"
#include "winhost/pointer_scale.h"
#include "winhost/tile_changes.h"

namespace {

struct Rect {
    int x, y, width, height;
};

TEST(TileChangesTest, FindsTheRowsBetweenTheFirstAndLastDifference)
{
    // 812 bytes a row (not a whole number of 64-byte blocks), and padding that differs
    // between the two pictures but is never compared.
    const int width = 203, height = 97, pitch = width * 4 + 20;
    struct Case {
        std::vector<Rect> changes;
        bool changed;
        int top, bottom;
    };
    const Case cases[] = {
        {{}, false, 0, 0},
        {{{0, 0, 1, 1}}, true, 0, 1},                         // the top left pixel
        {{{width - 1, height - 1, 1, 1}}, true, height - 1, height},  // the last, in a row's tail
        {{{100, 50, 32, 32}}, true, 50, 82},                  // a pointer moved
        {{{7, 3, 1, 1}, {150, 90, 2, 1}}, true, 3, 91},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> before(size_t(pitch) * height), after;
        for (size_t i = 0; i < before.size(); ++i)
            before[i] = uint8_t(i * 7 + i / 4093);
        after = before;
        for (int y = 0; y < height; ++y)
            after[size_t(y) * pitch + width * 4] ^= 0xFF;
        for (const Rect& r : c.changes)
            for (int y = r.y; y < r.y + r.height; ++y)
                for (int x = r.x; x < r.x + r.width; ++x)
                    after[size_t(y) * pitch + size_t(x) * 4 + 1] ^= 0x01;
        ChangedRows rows = findChangedRows(before.data(), after.data(), size_t(width) * 4, height, pitch);
        EXPECT_EQ(c.changed, rows.changed) << c.top;
        EXPECT_EQ(c.top, rows.top);
        EXPECT_EQ(c.bottom, rows.bottom);
    }
}

// "+a0 -a0": the strokes, side codes in hex.
std::string text(const std::vector<KeyStroke>& strokes)
{
    std::string out;
    char one[8];
    for (const KeyStroke& s : strokes) {
        std::snprintf(one, sizeof one, " %c%x", s.down ? '+' : '-', s.virtualKey);
        out += one;
    }
    return out;
}

TEST(HeldKeysTest, EachPhysicalKeyIsPressedOnceAndAllAreReleasedAtTheEnd)
{
    constexpr uint32_t kSettle = 0x1000;  // HeldKeys::settle, as before a click
    struct Case {
        std::vector<std::pair<uint32_t, bool>> events;
        const char* strokes;  // then the releases at the end, after the bar
    };
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
        // Afterwards a key starts from up again.
        strokes.clear();
        keys.change(0x41, false, strokes);
        keys.change(0x41, true, strokes);
        EXPECT_EQ(text(strokes), " +41");
    }
}

TEST(PointerScaleTest, EveryPixelComesBackWhetherWindowsRoundsDownOrToTheNearest)
{
    for (int extent : {1, 2, 3, 768, 1080, 1366, 1920, 2160, 3840, 7680}) {
        for (int pixel = 0; pixel < extent; ++pixel) {
            int64_t c = absoluteCoordinate(pixel, extent);
            ASSERT_LE(c, 65535);
            ASSERT_EQ(pixel, c * extent / 65536) << extent;
            ASSERT_EQ(pixel, (c * extent + 32768) / 65536) << extent;
        }
        EXPECT_EQ(0, absoluteCoordinate(-3, extent));
        EXPECT_EQ(absoluteCoordinate(extent - 1, extent), absoluteCoordinate(extent + 5, extent));
    }
}

}  // namespace
