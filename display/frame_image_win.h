// The decoded frames: two 32-bit bottom-up DIB sections. The receiver thread decodes
// into one while the window thread paints from the other; they change places on the
// window thread while the receiver waits, so a paint never meets rows half written.
#pragma once

#include <windows.h>

#include <cstdint>

#include "display/frame_assembly.h"
#include "display/jpeg_decoder.h"

struct FrameBitmap {
    HBITMAP bitmap = nullptr;
    uint8_t* pixels = nullptr;  // the DIB section's memory
    int32_t width = 0;
    int32_t height = 0;
    PixelFormat format = PixelFormat::Bgrx32;
    uint64_t picture = 0;  // the FrameAssembly's number of the picture in it; moves with it
};

struct FrameImage {
    FrameImage() = default;
    ~FrameImage();
    FrameImage(const FrameImage&) = delete;
    FrameImage& operator=(const FrameImage&) = delete;

    // The frame on screen, selected into memoryDC. The window thread changes it only while
    // the receiver waits on a show or the end, so the receiver may read it in between.
    FrameBitmap shown;
    HDC memoryDC = nullptr;    // window thread
    FrameBitmap next;          // receiver thread, until showNextFrame takes it
    int32_t extentWidth = 0;   // window thread: the scrollable size of the view
    int32_t extentHeight = 0;
    // Only the stream benchmark asks for 24-bit bitmaps, to measure the paint against.
    PixelFormat format = PixelFormat::Bgrx32;
    // Receiver thread; the window thread reads it while the receiver waits on a show.
    FrameAssembly assembly;
};

// Receiver thread: decodes the frame into `next`, remade when the frame's size differs;
// a new bitmap is made before the old one goes. A frame that cannot be read ends the
// process with status 1 and the library's message on standard error; one too large for
// a bitmap, or whose bitmap cannot be made, is skipped and what is on screen stays.
// A frame of areas, in the answer to a request that accepted the frame extension's
// version `accepted`, is laid in as FrameAssembly::decode says, also with its BadRecord;
// `shown` is only read for it, which the window thread does too. The records go to
// `extension` when it is given.
DecodeResult decodeFrame(FrameImage& image, const uint8_t* data, int32_t size, uint16_t accepted = 0,
                         FrameExtension* extension = nullptr);

// Window thread, while the receiver waits: the decoded frame becomes the shown one and
// the shown one goes back to the decoder. False when there is nothing to show.
bool showNextFrame(FrameImage& image);

// Deletes both bitmaps and the DC if there are any; the window thread's, or the
// receiver's own once it has ended.
void releaseFrameImage(FrameImage& image);
