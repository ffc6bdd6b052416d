// The shared area's picture through GDI (the whole virtual desktop, or one monitor),
// pointer drawn in: a copy of the screen into one of two 32-bit top-down DIB sections, taken
// in turn, so the capture before stays beside the new one for the change check and nothing
// is allocated per frame.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "winhost/monitors_win.h"

struct ScreenFrame {
    const uint8_t* pixels = nullptr;    // blue, green, red, unused (TJPF_BGRX); top row first
    const uint8_t* previous = nullptr;  // the capture before, at the same size; null when none
    int width = 0;
    int height = 0;
    int pitch = 0;                      // bytes from one row to the next
};

class ScreenCapture {
public:
    ScreenCapture() = default;
    ~ScreenCapture();
    ScreenCapture(const ScreenCapture&) = delete;
    ScreenCapture& operator=(const ScreenCapture&) = delete;

    // What to read (the whole virtual desktop unless told otherwise).
    void share(const SharedArea& area) { area_ = area; }
    // The shared area as it is now. Its pixels stay valid until the capture after next; an
    // area that changed size comes at its new size, with no previous capture.
    bool capture(ScreenFrame& out, std::string& error);
    // The last capture failed because the shared monitor is gone, not for a while.
    bool areaGone() const { return gone_; }
    // Changes whenever the buffers are freed, and with them every capture's pixels.
    unsigned generation() const { return generation_; }

private:
    struct Buffer {
        HDC dc = nullptr;
        HBITMAP bitmap = nullptr;
        HGDIOBJ original = nullptr;
        uint8_t* bits = nullptr;
    };

    bool makeBuffers(int width, int height, std::string& error);
    void dropBuffers();
    void drawPointer(HDC dc, const PixelRect& area);

    SharedArea area_;
    bool gone_ = false;

    Buffer buffers_[2];
    int next_ = 0;          // the buffer the next capture goes into
    bool havePrevious_ = false;
    int width_ = 0;
    int height_ = 0;
    unsigned generation_ = 0;
};
