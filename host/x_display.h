// The X display the host shares: the root window's pixels with the pointer drawn in
// (MIT-SHM where the server offers it, plain GetImage otherwise) and input through XTest.
#pragma once

#include <cstdint>
#include <string>

typedef struct _XDisplay Display;
struct _XImage;

struct ScreenPicture {
    uint8_t* pixels = nullptr;  // 4 bytes a pixel, rows `pitch` bytes apart, top row first
    int width = 0;
    int height = 0;
    int pitch = 0;
    int pixelFormat = 0;        // TurboJPEG's TJPF_ value for the byte order
};

class XDisplay {
public:
    XDisplay() = default;
    ~XDisplay();
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    // Connects and checks for XTest and a 32-bit pixel layout TurboJPEG reads directly.
    bool open(const std::string& name, bool allowShm, std::string& error);
    const char* captureMethod() const { return shm_ ? "shm" : "getimage"; }

    // The whole screen as it is now, pointer included. The pixels stay valid until the
    // next capture; a screen that changed size comes at its new size.
    bool capture(ScreenPicture& out, std::string& error);

    void movePointer(int x, int y);
    void button(int button, bool press);
    // False when the keyboard map has no key for the keysym.
    bool key(uint32_t keysym, bool press);
    void flush();

private:
    bool makeImage(int width, int height, std::string& error);
    void dropImage();
    void drawPointer(const ScreenPicture& picture);

    Display* display_ = nullptr;
    unsigned long root_ = 0;
    bool allowShm_ = true;
    bool shm_ = false;
    bool cursorImages_ = false;
    _XImage* image_ = nullptr;
    int shmId_ = -1;
    void* shmInfo_ = nullptr;  // XShmSegmentInfo, kept out of this header
    int pixelFormat_ = 0;
};
