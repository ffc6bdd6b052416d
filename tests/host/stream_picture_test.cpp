// The screen stream's metadata as a compositor lays them out, and the picture made of its
// frames with the pointer drawn in.
#include <gtest/gtest.h>

#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <cstring>

#include "host/stream_picture.h"

namespace {

// Cursor metadata at (x, y) with a width x height RGBA image of one colour and alpha.
std::vector<uint8_t> cursorMeta(int x, int y, int width, int height, uint32_t rgba, int hot = 0)
{
    std::vector<uint8_t> meta(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + size_t(width) * height * 4);
    spa_meta_cursor cursor = {1, 0, {x, y}, {hot, hot}, sizeof(spa_meta_cursor)};
    spa_meta_bitmap bitmap = {SPA_VIDEO_FORMAT_RGBA, {uint32_t(width), uint32_t(height)}, width * 4,
                              sizeof(spa_meta_bitmap)};
    std::memcpy(meta.data(), &cursor, sizeof cursor);
    std::memcpy(meta.data() + sizeof cursor, &bitmap, sizeof bitmap);
    for (size_t at = sizeof cursor + sizeof bitmap; at < meta.size(); at += 4)
        std::memcpy(&meta[at], &rgba, 4);
    return meta;
}

TEST(StreamMetaTest, CursorAndDamageAreReadWithinTheirBytes)
{
    StreamPointer pointer;
    std::vector<uint8_t> meta = cursorMeta(5, 6, 2, 3, 0xFF0000FF, 1);  // red, opaque
    ASSERT_TRUE(readStreamCursor(meta.data(), meta.size(), pointer));
    EXPECT_TRUE(pointer.moved && pointer.newImage);
    EXPECT_EQ(std::vector<int>({pointer.x, pointer.y, pointer.width, pointer.height, pointer.hotX}),
              std::vector<int>({5, 6, 2, 3, 1}));
    EXPECT_EQ(std::vector<uint8_t>(pointer.bgra.begin(), pointer.bgra.begin() + 4),
              std::vector<uint8_t>({0, 0, 0xFF, 0xFF}));
    // An image reaching past the metadata, or a bitmap before the cursor's end: nothing.
    EXPECT_FALSE(readStreamCursor(meta.data(), meta.size() - 1, pointer));
    EXPECT_FALSE(pointer.moved || pointer.newImage);
    reinterpret_cast<spa_meta_cursor*>(meta.data())->bitmap_offset = 4;
    EXPECT_FALSE(readStreamCursor(meta.data(), meta.size(), pointer));
    // Id 0: nothing new.
    reinterpret_cast<spa_meta_cursor*>(meta.data())->id = 0;
    EXPECT_TRUE(readStreamCursor(meta.data(), meta.size(), pointer));
    EXPECT_FALSE(pointer.moved);

    // Regions clipped to the picture, up to the first invalid one.
    spa_meta_region regions[] = {{{{-5, 2}, {10, 4}}}, {{{95, 95}, {10, 10}}}, {{{0, 0}, {0, 0}}}, {{{1, 1}, {1, 1}}}};
    std::vector<PixelRect> damage = readStreamDamage(regions, sizeof regions, 100, 100);
    EXPECT_EQ(damage, std::vector<PixelRect>({{0, 2, 5, 4}, {95, 95, 5, 5}}));
    EXPECT_TRUE(readStreamDamage(regions, sizeof regions[0] - 1, 100, 100).empty());
}

// Frames, the pointer drawn over them and taken away again, and the areas each take says.
TEST(StreamPictureTest, ThePointerIsDrawnInAndWhatItCoveredComesBack)
{
    const int width = 128, height = 64;
    std::vector<uint8_t> grey(size_t(width) * height * 4, 0x80);
    StreamPicture picture;
    picture.frame(grey.data(), width, height, width * 4, {});
    ScreenPicture out;
    picture.take(out);
    EXPECT_TRUE(out.changed && out.areas.empty());  // the first: everywhere

    StreamPointer pointer;
    std::vector<uint8_t> meta = cursorMeta(10, 10, 4, 4, 0xFFFFFFFF);  // white
    ASSERT_TRUE(readStreamCursor(meta.data(), meta.size(), pointer));
    picture.pointer(pointer);
    EXPECT_TRUE(picture.changed());
    picture.take(out);
    EXPECT_EQ(out.areas, std::vector<PixelRect>({{10, 10, 4, 4}}));
    EXPECT_EQ(out.pixels[(10 * width + 12) * 4], 0xFF);

    // Moved half off the picture: drawn clipped, and grey again where it was.
    meta = cursorMeta(126, 62, 0, 0, 0);
    reinterpret_cast<spa_meta_cursor*>(meta.data())->bitmap_offset = 0;  // the same image
    ASSERT_TRUE(readStreamCursor(meta.data(), meta.size(), pointer));
    picture.pointer(pointer);
    picture.take(out);
    EXPECT_EQ(out.areas, std::vector<PixelRect>({{10, 10, 4, 4}, {126, 62, 2, 2}}));
    EXPECT_EQ(out.pixels[(10 * width + 12) * 4], 0x80);
    EXPECT_EQ(out.pixels[(63 * width + 127) * 4], 0xFF);

    // The same frame again is no change; one that differs says its tile.
    picture.frame(grey.data(), width, height, width * 4, {});
    EXPECT_FALSE(picture.changed());
    grey[(5 * width + 70) * 4] = 0;
    picture.frame(grey.data(), width, height, width * 4, {});
    picture.take(out);
    EXPECT_EQ(out.areas, std::vector<PixelRect>({{64, 0, 64, 64}}));
    EXPECT_EQ(out.pixels[(5 * width + 70) * 4], 0);
    EXPECT_EQ(out.pixels[(63 * width + 127) * 4], 0xFF);  // the pointer stays drawn
}

// Frames read in place: one given back is not read again, a released one is kept as it was.
TEST(StreamPictureTest, HeldFramesAreReadInPlaceUntilReleased)
{
    const int width = 128, height = 64, stride = width * 4 + 16;
    std::vector<uint8_t> first(size_t(stride) * height, 0x80), second = first, packed(size_t(width) * height * 4, 0x80);
    second[5 * stride + 70 * 4] = packed[(5 * width + 70) * 4] = 0;
    StreamPicture picture;
    ScreenPicture out;
    picture.hold(first.data(), width, height, stride, {});
    picture.take(out);
    picture.hold(second.data(), width, height, stride, {});
    std::fill(first.begin(), first.end(), 0xFF);
    picture.take(out);
    EXPECT_EQ(out.areas, std::vector<PixelRect>({{64, 0, 64, 64}}));
    EXPECT_EQ(out.pixels[(5 * width + 70) * 4], 0);

    picture.release();
    std::fill(second.begin(), second.end(), 0xFF);
    packed[(60 * width + 10) * 4] = 1;  // second's pixels but for one tile
    picture.hold(packed.data(), width, height, width * 4, {});
    picture.take(out);
    EXPECT_EQ(out.areas, std::vector<PixelRect>({{0, 0, 64, 64}}));
    EXPECT_EQ(out.pixels[(60 * width + 10) * 4], 1);
}

}  // namespace
