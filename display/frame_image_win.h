// The one decoded frame: a 24-bit bottom-up DIB section selected into a memory DC,
// which the painting blits from.
#pragma once

#include <windows.h>

#include <cstdint>


struct FrameImage {
    FrameImage();
    ~FrameImage();
    FrameImage(const FrameImage&) = delete;
    FrameImage& operator=(const FrameImage&) = delete;

    int32_t width = 0;   // of the frame decoded last
    int32_t height = 0;
    BITMAPINFO bitmapInfo = {};
    uint8_t* pixels = nullptr;  // the DIB section's memory
    bool created = false;
    HDC memoryDC = nullptr;
    HBITMAP bitmap = nullptr;
    int32_t extentWidth = 0;  // the scrollable size of the view
    int32_t extentHeight = 0;
    // Held while the bitmap is made, remade or released, and by the paint's blit, so a
    // paint never meets a bitmap that is half gone.
    CRITICAL_SECTION bitmapLock;
};

// Decodes the frame into the bitmap (remade when the frame's size changes) and has the
// main window painted before returning. A frame that cannot be read ends the process
// with status 1 and libjpeg's message on standard error; one too large for a bitmap is
// not drawn. Returns true when the frame was drawn.
bool decodeFrame(FrameImage& image, const uint8_t* data, int32_t size);

// Deletes the bitmap and its DC if there are any.
void releaseFrameImage(FrameImage& image);
