#include "display/frame_assembly.h"

#include <cstring>
#include <new>

namespace {

uint8_t* at(const PixelPlane& plane, int32_t x, int32_t y)
{
    // Row 0 is the picture's top, stored last.
    return plane.pixels + size_t(plane.height - 1 - y) * size_t(plane.stride) + size_t(x) * size_t(plane.pixelBytes);
}

// The rectangle at (fromX, fromY) of `from` to `place` in `to`; both checked to fit.
void copyRect(const PixelPlane& from, int32_t fromX, int32_t fromY, const PixelPlane& to, const PixelRect& place)
{
    const size_t bytes = size_t(place.width) * size_t(to.pixelBytes);
    for (int32_t row = 0; row < place.height; ++row)
        std::memcpy(at(to, place.x, place.y + row), at(from, fromX, fromY + row), bytes);
}

bool sameShape(const PixelPlane& a, const PixelPlane& b)
{
    return a.width == b.width && a.height == b.height && a.stride == b.stride && a.pixelBytes == b.pixelBytes;
}

// Where the decoder puts a frame's pixels: `next` for a whole frame, the atlas for areas.
// A frame of areas is checked here, before anything is touched.
struct Destination final : FrameTarget {
    const FrameRecords& records;
    PictureBitmaps& bitmaps;
    std::vector<uint8_t>& atlasMemory;
    uint16_t accepted;
    uint64_t newest;  // the picture areas go into, and its size
    int32_t pictureWidth;
    int32_t pictureHeight;
    int32_t pixelBytes;
    std::string problem;  // why a frame of areas got no pixel memory
    PixelPlane atlas;
    int32_t wholeWidth = 0;  // a whole frame's size
    int32_t wholeHeight = 0;

    Destination(const FrameRecords& r, PictureBitmaps& b, std::vector<uint8_t>& a, uint16_t version, uint64_t number,
                int32_t width, int32_t height, int32_t bytes)
        : records(r), bitmaps(b), atlasMemory(a), accepted(version), newest(number), pictureWidth(width),
          pictureHeight(height), pixelBytes(bytes)
    {
    }

    uint8_t* pixelsFor(int32_t width, int32_t height, int32_t stride) override
    {
        if (!records.hasAreas) {
            wholeWidth = width;
            wholeHeight = height;
            return bitmaps.nextAt(width, height).plane.pixels;
        }
        if (!accepted) {
            problem = "areas in the answer to a plain request";
            return nullptr;
        }
        if (newest == 0) {
            problem = "areas before any whole picture";
            return nullptr;
        }
        if (!checkFrameAreas(records, width, height, pictureWidth, pictureHeight, problem))
            return nullptr;
        HeldPicture next = bitmaps.nextAt(pictureWidth, pictureHeight);
        HeldPicture shown = bitmaps.shown();
        if (!next.plane.pixels || next.plane.pixelBytes != pixelBytes) {
            problem = "no bitmap for the picture";
            return nullptr;
        }
        if (next.number != newest && (shown.number != newest || !sameShape(shown.plane, next.plane))) {
            problem = "no bitmap holds the picture the areas go into";
            return nullptr;
        }
        try {
            atlasMemory.resize(size_t(stride) * size_t(height));
        } catch (const std::bad_alloc&) {
            problem = "no memory for the atlas";
            return nullptr;
        }
        atlas = {atlasMemory.data(), width, height, stride, pixelBytes};
        return atlasMemory.data();
    }
};

}  // namespace

DecodeResult FrameAssembly::decode(const uint8_t* data, size_t size, PictureBitmaps& bitmaps, uint16_t accepted,
                                   FrameExtension& extension, DecodeOptions options)
{
    Destination target(extension.records, bitmaps, atlas_, accepted, newest_, width_, height_,
                       bytesPerPixel(options.format));
    options.extension = &extension;
    DecodeResult result = decodeJpegFrame(data, size, target, options);
    if (result == DecodeResult::BadRecord || result == DecodeResult::Failed)
        return result;
    if (!extension.records.hasAreas) {
        if (result == DecodeResult::Decoded) {
            bitmaps.nextHolds(++newest_);
            width_ = target.wholeWidth;
            height_ = target.wholeHeight;
            newestWhole_ = true;
            changed_.clear();
        }
        return result;
    }
    // Areas left out would stay missing from the picture: a frame of them is laid or refused.
    if (result != DecodeResult::Decoded) {
        extension.problem = target.problem.empty() ? "areas whose atlas cannot be drawn" : target.problem;
        return DecodeResult::BadRecord;
    }
    layAreas(extension.records, target.atlas, bitmaps.nextAt(width_, height_), bitmaps.shown());
    bitmaps.nextHolds(++newest_);
    newestWhole_ = false;
    changed_.clear();
    for (const FrameArea& area : extension.records.areas)
        changed_.push_back(area.place);
    return result;
}

void FrameAssembly::layAreas(const FrameRecords& records, const PixelPlane& atlas, const HeldPicture& next,
                             const HeldPicture& shown) const
{
    if (next.number != newest_) {
        // Only what the newest picture changed, when `next` holds the one before it.
        if (next.number != 0 && next.number + 1 == newest_ && !newestWhole_) {
            for (const PixelRect& rect : changed_)
                copyRect(shown.plane, rect.x, rect.y, next.plane, rect);
        } else {
            std::memcpy(next.plane.pixels, shown.plane.pixels, size_t(next.plane.stride) * size_t(height_));
        }
    }
    for (const FrameArea& area : records.areas)
        copyRect(atlas, area.sourceX, area.sourceY, next.plane, area.place);
}

void FrameAssembly::clear()
{
    *this = FrameAssembly{};
}
