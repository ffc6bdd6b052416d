// Decoding one JPEG frame from memory into the viewer's bitmap layout: 24-bit pixels as
// blue, green, red, rows bottom-up, each row padded with zero bytes to a multiple of 4.
// Portable: the DIB section that receives the pixels is the caller's (frame_image_win.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE

#include <jpeglib.h>

// Frames larger than this on a side are not drawn: their bitmap would not be reasonable.
constexpr int32_t kMaxFrameSide = 16384;

inline int32_t bitmapStride(int32_t width) { return ((3 * width + 3) / 4) * 4; }

// Has libjpeg read the frame where it lies. Past the frame's end the source answers
// every request with an end-of-image marker, so a cut frame still decodes.
void setMemorySource(j_decompress_ptr cinfo, const uint8_t* data, size_t size);

// Where a frame's pixels go, asked once its size is known.
class FrameTarget {
public:
    // Pixel memory of bitmapStride(width) * height bytes for the frame, or null to skip it.
    virtual uint8_t* pixelsFor(int32_t width, int32_t height) = 0;

protected:
    ~FrameTarget() = default;
};

enum class DecodeResult {
    Decoded,  // the frame is in the target's pixels
    Skipped,  // not drawn: no pixel memory for it, or colours the viewer does not show
    Failed,   // unreadable; only when errors are recovered, see below
};

enum class OutputPath {
    BgrRows,  // the library writes blue-green-red straight into the bitmap rows
    RgbSwap,  // red-green-blue scanlines swapped pixel by pixel into the rows
};

#ifdef JCS_EXTENSIONS
constexpr OutputPath kDefaultOutputPath = OutputPath::BgrRows;
#else
constexpr OutputPath kDefaultOutputPath = OutputPath::RgbSwap;
#endif

struct DecodeOptions {
    OutputPath path = kDefaultOutputPath;
    // The viewer keeps libjpeg's standard error manager: an unreadable frame prints the
    // library's message and ends the process with status 1. Tests and fuzzers set this
    // to get DecodeResult::Failed back instead, with the library's messages silenced.
    bool recoverErrors = false;
};

// Greyscale frames come out grey; four-component (CMYK) frames are skipped.
DecodeResult decodeJpegFrame(const uint8_t* data, size_t size, FrameTarget& target,
                             const DecodeOptions& options = DecodeOptions());
