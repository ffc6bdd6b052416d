// Frames decoded into the picture the viewer shows: whole ones, and those of the frame
// extension whose image is an atlas of changed areas, each laid at its place. The viewer
// has two bitmaps that take turns: the receiver decodes into `next` while `shown` is on
// screen, then they change places. After a frame of areas, `next` holds an older picture
// and first takes from `shown` what changed since. Portable: the bitmaps are the
// platform's (frame_image_win.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "display/jpeg_decoder.h"
#include "wire/frame_extension.h"

// Pixel memory with rows bottom-up, as the decoder writes it.
struct PixelPlane {
    uint8_t* pixels = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    int32_t pixelBytes = 4;
};

// One of the two bitmaps: its pixels and which picture they hold.
struct HeldPicture {
    PixelPlane plane;
    uint64_t number = 0;  // the FrameAssembly's number of the picture in it; 0: none
};

// The platform's two bitmaps. The numbers travel with the bitmaps when they change
// places, so a change of places that did not happen (the window gone) is seen, not
// taken for granted.
class PictureBitmaps {
public:
    // `next` at that size and in the decode's format, remade when it differs (and then
    // holding no picture); null pixels when no bitmap can be made.
    virtual HeldPicture nextAt(int32_t width, int32_t height) = 0;
    virtual HeldPicture shown() const = 0;
    // `next` now holds picture `number`.
    virtual void nextHolds(uint64_t number) = 0;

protected:
    ~PictureBitmaps() = default;
};

class FrameAssembly {
public:
    // Decodes a frame into `bitmaps`' next, reading its extension records into
    // `extension`. `accepted` is the extension version the request it answers accepted
    // (0: a plain request). A whole frame goes straight into `next`; a frame of areas
    // into the atlas, then `next` is brought up to the newest picture and the areas are
    // laid in order (later ones win where they overlap). BadRecord, with
    // `extension.problem` set and neither bitmap touched, for broken records and for
    // areas that were not asked for, do not fit the picture or the atlas, or cannot be
    // drawn. Failed and Skipped as decodeJpegFrame.
    DecodeResult decode(const uint8_t* data, size_t size, PictureBitmaps& bitmaps, uint16_t accepted,
                        FrameExtension& extension, DecodeOptions options = DecodeOptions());

    // The newest picture's number (0: none yet), and whether it came whole; otherwise
    // `changed` says where it differs from the one before it.
    uint64_t newest() const { return newest_; }
    bool newestWhole() const { return newestWhole_; }
    const std::vector<PixelRect>& changed() const { return changed_; }
    // The bitmaps are gone: pictures start again from a whole frame.
    void clear();

private:
    // Brings `next` up to the newest picture and lays the checked areas into it.
    void layAreas(const FrameRecords& records, const PixelPlane& atlas, const HeldPicture& next,
                  const HeldPicture& shown) const;

    uint64_t newest_ = 0;
    int32_t width_ = 0;  // the newest picture's size: the one areas go into
    int32_t height_ = 0;
    bool newestWhole_ = true;
    std::vector<PixelRect> changed_;
    std::vector<uint8_t> atlas_;
};
