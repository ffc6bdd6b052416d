// The primary monitor's picture through GDI, pointer drawn in: a copy of the screen into
// one of two 32-bit top-down DIB sections, taken in turn, so the capture before stays
// beside the new one for the change check and nothing is allocated per frame.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

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

    // The screen as it is now. Its pixels stay valid until the capture after next; a
    // monitor that changed size comes at its new size, with no previous capture.
    bool capture(ScreenFrame& out, std::string& error);
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
    void drawPointer(HDC dc);

    Buffer buffers_[2];
    int next_ = 0;          // the buffer the next capture goes into
    bool havePrevious_ = false;
    int width_ = 0;
    int height_ = 0;
    unsigned generation_ = 0;
};
