// Decoding one JPEG frame from memory into the viewer's bitmap layout: rows bottom-up,
// 32-bit pixels as blue, green, red and an unused byte of 0xFF, which a 32-bit screen
// copies without converting. Portable: the DIB section that receives the pixels is the
// caller's (frame_image_win.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE

#include <jpeglib.h>

#include <string>

#include "wire/frame_extension.h"

enum class PixelFormat {
    Bgrx32,  // what the viewer shows
    Bgr24,   // rows padded with zero bytes to a multiple of 4; kept to measure against
};

inline int32_t bytesPerPixel(PixelFormat format) { return format == PixelFormat::Bgr24 ? 3 : 4; }

inline int32_t bitmapStride(int32_t width, PixelFormat format = PixelFormat::Bgrx32)
{
    return ((bytesPerPixel(format) * width + 3) / 4) * 4;
}

// A frame whose bitmap would be larger than this is not drawn: a 32-bit process has no
// room for many such bitmaps (4096 x 4096 at 32 bits).
constexpr int64_t kMaxBitmapBytes = int64_t(64) << 20;

// A progressive frame with more scans than this is refused: every scan walks the whole
// image, so a frame of many tiny scans would keep the decoder busy for minutes. No
// encoder writes anywhere near as many.
constexpr int kMaxScans = 500;

// Has libjpeg read the frame where it lies. Past the frame's end the source answers
// every request with an end-of-image marker, so a cut frame still decodes.
void setMemorySource(j_decompress_ptr cinfo, const uint8_t* data, size_t size);

// Where a frame's pixels go, asked once its size is known.
class FrameTarget {
public:
    // Pixel memory of stride * height bytes for the frame, or null to skip it.
    virtual uint8_t* pixelsFor(int32_t width, int32_t height, int32_t stride) = 0;

protected:
    ~FrameTarget() = default;
};

enum class DecodeResult {
    Decoded,    // the frame is in the target's pixels
    Skipped,    // not drawn: too large, no pixel memory for it, or colours the viewer does not show
    Failed,     // unreadable, or over the scan limit; the library's message has gone to standard error
    BadRecord,  // a frame extension record is broken (FrameExtension::problem); nothing drawn
};

// The frame extension's records of one frame, read before the target is asked for pixels,
// so that it can tell an atlas of areas from a whole picture.
struct FrameExtension {
    FrameRecords records;
    std::string problem;  // why a record was refused
};

enum class OutputPath {
    BgrRows,  // the library writes the pixels straight into the bitmap rows
    RgbSwap,  // red-green-blue scanlines swapped pixel by pixel into the rows
};

#ifdef JCS_EXTENSIONS
constexpr OutputPath kDefaultOutputPath = OutputPath::BgrRows;
#else
constexpr OutputPath kDefaultOutputPath = OutputPath::RgbSwap;
#endif

struct DecodeOptions {
    OutputPath path = kDefaultOutputPath;
    PixelFormat format = PixelFormat::Bgrx32;
    // Silences the library's messages (errors and warnings); tests and fuzzers set it.
    bool quiet = false;
    // Where the frame's APP15 records go; null: they are skipped unread, as any decoder does.
    FrameExtension* extension = nullptr;
};

// Greyscale frames come out grey; four-component (CMYK) frames are skipped.
DecodeResult decodeJpegFrame(const uint8_t* data, size_t size, FrameTarget& target,
                             const DecodeOptions& options = DecodeOptions());
