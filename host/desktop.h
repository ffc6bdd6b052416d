// What a host shares, whatever the platform: the screen's pixels with the pointer drawn
// in, a cheap way to tell whether anything changed since the last capture, and the
// pointer and the keys to play the viewer's input back on. The X display and the Windows
// desktop each implement it; the host session needs nothing else of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/session_loop.h"
#include "wire/frame_extension.h"

struct ScreenPicture {
    uint8_t* pixels = nullptr;  // 4 bytes a pixel, rows `pitch` bytes apart, top row first
    int width = 0;
    int height = 0;
    int pitch = 0;
    int pixelFormat = 0;        // TurboJPEG's TJPF_ value for the byte order
    bool changed = true;        // false: the same picture as the last capture, pointer included
    // Where it changed since the last capture (pointer included); empty while `changed`
    // means anywhere. Areas may overlap and need not be merged.
    std::vector<PixelRect> areas;
};

// Told of a picture's rows as a capture reads them, pointer drawn in: rows [top, bottom)
// of `picture` (its other fields as capture() will give them) stay as they are until the
// next capture, so a frame can be made of them while the rest is still being read. Rows
// come top to bottom, and only while the whole picture is read.
class RowsListener {
public:
    virtual void rowsArrived(const ScreenPicture& picture, int top, int bottom) = 0;

protected:
    ~RowsListener() = default;
};

class Desktop {
public:
    virtual ~Desktop() = default;

    // The whole screen as it is now, pointer included. The pixels stay valid until the
    // next capture; a screen that changed size comes at its new size.
    virtual bool capture(ScreenPicture& out, std::string& error) = 0;
    // Who to tell of rows during the next captures; null for nobody. Desktops that get the
    // picture in one piece tell nobody.
    virtual void listenToRows(RowsListener* listener) { (void)listener; }
    // For the log: how the screen is read.
    virtual std::string captureMethod() const = 0;

    // False: every request is answered at once with a fresh capture.
    virtual bool watchesChanges() const = 0;
    // Whether anything may have changed since the last capture; true stays true until the
    // next capture.
    virtual bool changedSinceCapture() = 0;
    // What to wait on while a request waits for a change.
    virtual ChangeWatch changeWatch() const = 0;

    virtual void movePointer(int x, int y) = 0;
    virtual void button(int button, bool press) = 0;  // X numbering: 1 left, 2 middle, 3 right
    // The key a viewer's virtual-key code presses here, named as key() takes it; empty when
    // none does. Codes that name one key share its name, so it is pressed once.
    virtual std::string keyPlace(uint32_t virtualKey) const = 0;
    // False when this keyboard has no such key.
    virtual bool key(const std::string& place, bool press) = 0;
    virtual void flush() = 0;
    // True once the desktop is gone for good (the compositor ended the session or left):
    // no later capture can work, so the host ends.
    virtual bool gone() const { return false; }
};
