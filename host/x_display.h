// The X display the host shares: the root window's pixels with the pointer drawn in, and
// input through XTest. The picture is kept between captures: with XDamage only what changed
// on the screen is read again (MIT-SHM where the server offers it, GetImage otherwise).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

typedef struct _XDisplay Display;
struct _XImage;

struct ScreenPicture {
    uint8_t* pixels = nullptr;  // 4 bytes a pixel, rows `pitch` bytes apart, top row first
    int width = 0;
    int height = 0;
    int pitch = 0;
    int pixelFormat = 0;        // TurboJPEG's TJPF_ value for the byte order
    bool changed = true;        // false: the same picture as the last capture, pointer included
};

class XDisplay {
public:
    XDisplay() = default;
    ~XDisplay();
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    // Connects and checks for XTest and a 32-bit pixel layout TurboJPEG reads directly.
    // `allowDamage` false reads the whole screen for every capture.
    bool open(const std::string& name, bool allowShm, bool allowDamage, std::string& error);
    std::string captureMethod() const;

    // The whole screen as it is now, pointer included. The pixels stay valid until the
    // next capture; a screen that changed size comes at its new size.
    bool capture(ScreenPicture& out, std::string& error);

    // Change watching, with XDamage: whether anything may have changed since the last
    // capture (damage, the cursor's image, the pointer's place), read from the events the
    // X server sent; true stays true until the next capture. Cheap: no round trip where
    // XInput 2 reports pointer motion.
    bool watchesChanges() const { return damage_ != 0; }
    bool changedSinceCapture();
    // Readable when the X server has sent events.
    int connectionFd() const;
    // How often to look at the pointer while waiting; -1 when its motion comes as events.
    int pollMs() const { return rawMotion_ ? -1 : kPointerPollMs; }

    void movePointer(int x, int y);
    void button(int button, bool press);
    // The key of that XKB name ("AC10", aliases too); false when the keyboard has none.
    bool key(const std::string& place, bool press);
    // The X keyboard's layouts as the server names them ("jp", "us,de"); empty when it does not.
    std::string keyboardLayouts();
    void flush();

private:
    static constexpr int kPointerPollMs = 20;

    struct Area {
        int x, y, width, height;
    };

    void watchPointer();
    void readKeyNames();
    bool makeImages(int width, int height, std::string& error);
    void dropImages();
    // The screen's size as the X server has it now.
    void querySize(int& width, int& height);
    bool fetch(const Area& area, std::string& error);
    bool fetchAll(std::vector<Area>& areas, bool& changed, std::string& error);
    void restoreUnderPointer();
    // Draws the pointer, keeping what it covers; true when it looks or sits otherwise than before.
    bool drawPointer();

    Display* display_ = nullptr;
    unsigned long root_ = 0;
    bool allowShm_ = true;
    bool shm_ = false;
    bool cursorImages_ = false;
    unsigned long damage_ = 0;  // 0: no XDamage, every capture reads the whole screen
    int damageEvent_ = 0;       // event bases, to tell the notices apart
    int fixesEvent_ = 0;
    int inputOpcode_ = -1;      // XInput 2's, when raw motion is selected
    bool rawMotion_ = false;
    bool news_ = true;          // something may have changed since the last capture
    int pointerX_ = -1;         // where the pointer was at the last capture
    int pointerY_ = -1;
    unsigned long region_ = 0;
    bool whole_ = true;         // the next capture reads the whole screen
    _XImage* frame_ = nullptr;  // the picture, kept between captures
    _XImage* scratch_ = nullptr;  // MIT-SHM: where parts of the screen arrive first
    void* frameShm_ = nullptr;    // XShmSegmentInfo for each, kept out of this header
    void* scratchShm_ = nullptr;
    int pixelFormat_ = 0;
    std::map<std::string, unsigned> keycodes_;  // by key name, read once at open

    // The pointer as drawn into frame_, and the pixels it covers.
    Area pointerArea_ = {0, 0, 0, 0};
    unsigned long pointerSerial_ = 0;
    std::vector<uint8_t> underPointer_;
};
