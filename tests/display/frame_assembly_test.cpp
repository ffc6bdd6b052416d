// Frames of areas laid into the viewer's two bitmaps, through real decoding of atlases
// that TurboJPEG encoded, while the bitmaps take turns as the window thread has them.
#include "display/frame_assembly.h"
#include "tests/support/atlas_frames.h"
#include "tests/support/make_jpeg.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <iterator>
#include <utility>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes turboJpeg(const Picture& picture)
{
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, picture.rgb.data(), picture.width, 0, picture.height, TJPF_RGB, &out, &size, TJSAMP_444, 100,
                TJFLAG_ACCURATEDCT);
    Bytes jpeg(out, out + size);
    tjFree(out);
    tjDestroy(handle);
    return jpeg;
}

// An APP15 record of ours of that kind, of 16-bit words, with its last `cut` bytes left off.
Bytes record(uint8_t kind, const std::vector<int>& words, size_t cut = 0)
{
    Bytes payload(kExtensionTag, kExtensionTag + kExtensionTagSize);
    payload.push_back(kind);
    for (int word : words)
        payload.insert(payload.end(), {uint8_t(word), uint8_t(word >> 8)});
    payload.resize(payload.size() - cut);
    Bytes segment = {0xFF, kExtensionMarker, uint8_t((payload.size() + 2) >> 8), uint8_t(payload.size() + 2)};
    segment.insert(segment.end(), payload.begin(), payload.end());
    return segment;
}

// Two exactly sized bitmaps in plain memory, so ASan sees a write outside either.
struct MemoryBitmaps final : PictureBitmaps {
    struct Bitmap {
        Bytes memory;
        int32_t width = 0, height = 0;
        uint64_t number = 0;
        bool operator==(const Bitmap& o) const { return memory == o.memory && number == o.number; }
    } next, onScreen;

    static HeldPicture held(const Bitmap& b)
    {
        return {{const_cast<uint8_t*>(b.memory.data()), b.width, b.height, b.width * 4, 4}, b.number};
    }
    HeldPicture nextAt(int32_t width, int32_t height) override
    {
        if (width != next.width || height != next.height)
            next = {Bytes(size_t(width) * size_t(height) * 4, 0xA5), width, height, 0};
        return held(next);
    }
    HeldPicture shown() const override { return held(onScreen); }
    void nextHolds(uint64_t number) override { next.number = number; }
};

// The viewer's side: its first frame, answering a plain request, decoded and on screen.
struct Viewer {
    FrameAssembly assembly;
    MemoryBitmaps bitmaps;
    Picture truth{203, 141};  // the host's screen, off the 8 and 16 grids
    FrameExtension extension;

    DecodeResult decode(const Bytes& frame, uint16_t accepted = 1)
    {
        DecodeOptions quiet;
        quiet.quiet = true;
        return assembly.decode(frame.data(), frame.size(), bitmaps, accepted, extension, quiet);
    }
    void start()
    {
        truth.paint({0, 0, truth.width, truth.height}, 0);
        ASSERT_EQ(DecodeResult::Decoded, decode(withSegment(turboJpeg(truth), offerSegment(1, 1)), 0));
        std::swap(bitmaps.next, bitmaps.onScreen);
    }
    int error() { return largestError(bitmaps.next.memory.data(), truth.width * 4, 4, truth); }
};

TEST(FrameAssembly, AreasOverARunOfFramesWhileTheBitmapsTakeTurns)
{
    Viewer v;
    ASSERT_NO_FATAL_FAILURE(v.start());
    const int w = v.truth.width, h = v.truth.height;
    const struct {
        std::vector<PixelRect> places;  // none: a whole frame
        bool taken;                     // whether the window took it: the bitmaps changed places
    } frames[] = {
        {{{0, 0, 1, 1}, {w - 1, h - 1, 1, 1}, {0, 70, w, 3}, {w - 3, 0, 3, h}, {37, 53, 17, 9}}, true},
        {{{10, 10, 50, 40}, {30, 20, 50, 40}, {0, h - 5, 5, 5}}, true},
        {{{w - 13, h - 11, 13, 11}, {0, h - 6, 9, 6}}, false},  // the window was gone
        {{{60, 60, 20, 20}}, true},
        {{{90, 40, 7, 7}}, true},
        {{{0, 0, w, h}, {101, 0, 1, h}}, true},
        {{}, true},
        {{{5, 6, 7, 8}, {6, 7, 8, 9}}, true},
    };
    int generation = 0;
    for (const auto& frame : frames) {
        SCOPED_TRACE(++generation);
        if (frame.places.empty())
            v.truth.paint({0, 0, w, h}, generation);
        Bytes jpeg = frame.places.empty() ? turboJpeg(v.truth) : areasFrame(v.truth, frame.places, generation, turboJpeg);
        ASSERT_EQ(DecodeResult::Decoded, v.decode(jpeg)) << v.extension.problem;
        EXPECT_LE(v.error(), kJpegError);
        if (frame.taken)
            std::swap(v.bitmaps.next, v.bitmaps.onScreen);
    }
}

// Refused frames touch neither bitmap; someone else's APP15 is no record of ours.
TEST(FrameAssembly, BadRecordsAreRefusedAndTouchNothing)
{
    Picture picture(24, 16);
    const Bytes atlas = turboJpeg(picture), good = record(kRecordAreas, {203, 141, 1, 0, 0, 24, 16, 0, 0});
    auto areas = [&](const std::vector<int>& words, size_t cut = 0) { return withSegment(atlas, record(2, words, cut)); };
    std::vector<int> tooMany = {203, 141, kMaxFrameAreas + 1};
    for (int i = 0; i <= kMaxFrameAreas; ++i)
        tooMany.insert(tooMany.end(), {0, 0, 1, 1, 0, 0});
    const uint8_t cmyk[24 * 16 * 4] = {};
    JpegSettings asCmyk;
    asCmyk.input = JCS_CMYK;
    const struct {
        const char* name;
        Bytes frame;
        uint16_t accepted;
    } cases[] = {
        {"outside the picture", areas({203, 141, 1, 200, 0, 4, 1, 0, 0}), 1},
        {"outside the atlas", areas({203, 141, 1, 0, 0, 5, 5, 20, 0}), 1},
        {"empty", areas({203, 141, 1, 5, 5, 0, 3, 0, 0}), 1},
        {"absurd", areas({203, 141, 1, 0, 0, 65535, 65535, 0, 0}), 1},
        {"too many", areas(tooMany), 1},
        {"none", areas({203, 141, 0}), 1},
        {"cut short", areas({203, 141}), 1},
        {"ends inside an area", areas({203, 141, 2, 0, 0, 1, 1, 0, 0, 1, 1}), 1},
        {"for another picture size", areas({202, 141, 1, 0, 0, 1, 1, 0, 0}), 1},
        {"two of them", withSegment(withSegment(atlas, good), good), 1},
        {"offer cut short", withSegment(atlas, record(kRecordOffer, {1, 1}, 1)), 0},
        {"of an unknown kind", withSegment(atlas, record(3, {})), 1},
        {"answering a plain request", withSegment(atlas, good), 0},
        {"on an atlas that cannot be drawn", withSegment(makeJpeg(cmyk, 24, 16, asCmyk), good), 1},
        {"before any picture", withSegment(atlas, good), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Viewer v;
        if (&c != std::end(cases) - 1)  // the last finds no picture
            ASSERT_NO_FATAL_FAILURE(v.start());
        const MemoryBitmaps before = v.bitmaps;
        EXPECT_EQ(DecodeResult::BadRecord, v.decode(c.frame, c.accepted));
        EXPECT_FALSE(v.extension.problem.empty());
        EXPECT_TRUE(v.bitmaps.next == before.next && v.bitmaps.onScreen == before.onScreen);
    }
    Viewer v;
    ASSERT_NO_FATAL_FAILURE(v.start());
    Bytes foreign = record(2, {1, 1, 1});
    foreign[5] = 'X';
    EXPECT_EQ(DecodeResult::Decoded, v.decode(withSegment(withSegment(atlas, foreign), good)));
    EXPECT_EQ(DecodeResult::Decoded, v.decode(withSegment(turboJpeg(v.truth), foreign)));
    EXPECT_LE(v.error(), kJpegError);
}

}  // namespace
