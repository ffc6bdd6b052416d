// Frames of areas laid into the viewer's two bitmaps, through real decoding of atlases
// that TurboJPEG encoded, while the bitmaps take turns as the window thread has them.
#include "display/frame_assembly.h"
#include "tests/support/atlas_frames.h"
#include "tests/support/make_jpeg.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <utility>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes turboJpeg(const Picture& picture)
{
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(0, tjCompress2(handle, picture.rgb.data(), picture.width, 0, picture.height, TJPF_RGB, &out, &size,
                             TJSAMP_444, 100, TJFLAG_ACCURATEDCT));
    Bytes jpeg(out, out + size);
    tjFree(out);
    tjDestroy(handle);
    return jpeg;
}

Bytes withSegments(Bytes jpeg, const std::vector<Bytes>& segments)
{
    for (const Bytes& segment : segments) {
        Bytes out;
        insertSegment(jpeg.data(), jpeg.size(), segment, out);
        jpeg = out;
    }
    return jpeg;
}

// An APP15 segment of ours of that kind, with 16-bit words and its last `cut` bytes left off.
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
        HeldPicture held() { return {{memory.data(), width, height, width * 4, 4}, number}; }
    } toDecode, onScreen;

    HeldPicture nextAt(int32_t width, int32_t height) override
    {
        if (width != toDecode.width || height != toDecode.height)
            toDecode = {Bytes(size_t(width) * size_t(height) * 4, 0xA5), width, height, 0};
        return toDecode.held();
    }
    HeldPicture shown() const override { return const_cast<Bitmap&>(onScreen).held(); }
    void nextHolds(uint64_t number) override { toDecode.number = number; }
    void swap() { std::swap(toDecode, onScreen); }
};

struct Viewer {
    FrameAssembly assembly;
    MemoryBitmaps bitmaps;
    Picture truth{203, 141};  // the host's screen: sizes off the 8 and 16 grids
    FrameExtension extension;

    DecodeResult decode(const Bytes& frame, uint16_t accepted = 1)
    {
        DecodeOptions quiet;
        quiet.quiet = true;
        return assembly.decode(frame.data(), frame.size(), bitmaps, accepted, extension, quiet);
    }
    // The first frame, as the answer to a plain request, and on screen.
    void start()
    {
        truth.paint({0, 0, truth.width, truth.height}, 0);
        ASSERT_EQ(DecodeResult::Decoded, decode(withSegments(turboJpeg(truth), {offerSegment(1, 1)}), 0));
        ASSERT_TRUE(extension.records.offered);
        bitmaps.swap();
    }
    Bytes areasFrame(const std::vector<PixelRect>& places, int generation)
    {
        for (const PixelRect& place : places)
            truth.paint(place, generation);
        Picture atlas(0, 0);
        std::vector<FrameArea> areas = packAtlas(truth, places, atlas);
        return withSegments(turboJpeg(atlas), {areasSegment(truth.width, truth.height, areas)});
    }
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
        Bytes jpeg = frame.places.empty() ? turboJpeg(v.truth) : v.areasFrame(frame.places, generation);
        ASSERT_EQ(DecodeResult::Decoded, v.decode(jpeg)) << v.extension.problem;
        EXPECT_LE(largestError(v.bitmaps.toDecode.memory.data(), w * 4, 4, v.truth), kJpegError);
        if (frame.taken)
            v.bitmaps.swap();
    }
}

// Refused frames change neither bitmap; someone else's APP15 is no record of ours.
TEST(FrameAssembly, BadRecordsAreRefusedAndChangeNothing)
{
    Picture picture(24, 16), unused(0, 0);
    picture.paint({0, 0, 24, 16}, 5);
    const Bytes atlas = turboJpeg(picture), good = record(kRecordAreas, {203, 141, 1, 0, 0, 24, 16, 0, 0});
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
        bool started;
    } cases[] = {
        {"outside the picture", withSegments(atlas, {record(2, {203, 141, 1, 200, 0, 4, 1, 0, 0})}), 1, true},
        {"outside the atlas", withSegments(atlas, {record(2, {203, 141, 1, 0, 0, 5, 5, 20, 0})}), 1, true},
        {"empty area", withSegments(atlas, {record(2, {203, 141, 1, 5, 5, 0, 3, 0, 0})}), 1, true},
        {"absurd area", withSegments(atlas, {record(2, {203, 141, 1, 0, 0, 65535, 65535, 0, 0})}), 1, true},
        {"too many", withSegments(atlas, {record(2, tooMany)}), 1, true},
        {"none", withSegments(atlas, {record(2, {203, 141, 0})}), 1, true},
        {"cut short", withSegments(atlas, {record(2, {203, 141})}), 1, true},
        {"ends inside an area", withSegments(atlas, {record(2, {203, 141, 2, 0, 0, 1, 1, 0, 0, 1, 1, 1, 1}, 1)}), 1, true},
        {"two area records", withSegments(atlas, {good, good}), 1, true},
        {"another picture size", withSegments(atlas, {record(2, {202, 141, 1, 0, 0, 1, 1, 0, 0})}), 1, true},
        {"offer cut short", withSegments(atlas, {record(kRecordOffer, {1, 1}, 1)}), 0, true},
        {"unknown kind", withSegments(atlas, {record(3, {})}), 1, true},
        {"in the answer to a plain request", withSegments(atlas, {good}), 0, true},
        {"atlas that cannot be drawn", withSegments(makeJpeg(cmyk, 24, 16, asCmyk), {good}), 1, true},
        {"before any picture", withSegments(atlas, {good}), 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Viewer v;
        if (c.started)
            ASSERT_NO_FATAL_FAILURE(v.start());
        const MemoryBitmaps before = v.bitmaps;
        EXPECT_EQ(DecodeResult::BadRecord, v.decode(c.frame, c.accepted));
        EXPECT_FALSE(v.extension.problem.empty());
        for (auto [now, then] : {std::pair{&v.bitmaps.toDecode, &before.toDecode}, {&v.bitmaps.onScreen, &before.onScreen}})
            EXPECT_TRUE(now->memory == then->memory && now->number == then->number);
    }
    Viewer v;
    ASSERT_NO_FATAL_FAILURE(v.start());
    Bytes foreign = record(2, {1, 1, 1});
    foreign[5] = 'X';
    EXPECT_EQ(DecodeResult::Decoded, v.decode(withSegments(atlas, {foreign, good})));
    EXPECT_EQ(DecodeResult::Decoded, v.decode(withSegments(turboJpeg(v.truth), {foreign})));
    EXPECT_LE(largestError(v.bitmaps.toDecode.memory.data(), v.truth.width * 4, 4, v.truth), kJpegError);
}

}  // namespace
