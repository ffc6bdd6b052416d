// The X display the host shares: the root window's pixels with the pointer drawn in, and
// input through XTest; or one RandR monitor's part of it, with the pointer kept inside. The
// picture is kept between captures: with XDamage only what changed on the screen is read
// again (MIT-SHM where the server offers it, GetImage otherwise).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/desktop.h"
#include "host/key_table.h"
#include "host/monitor_choice.h"

typedef struct _XDisplay Display;
struct _XImage;

class XDisplay final : public Desktop {
public:
    XDisplay() = default;
    ~XDisplay();
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    // Connects and checks for XTest and a 32-bit pixel layout TurboJPEG reads directly.
    // `allowDamage` false reads the whole screen for every capture. Shares the whole screen.
    bool open(const std::string& name, bool allowShm, bool allowDamage, std::string& error);
    // The screen's active RandR monitors (RandR 1.5; none without it), in the order
    // --monitor counts them (orderMonitors).
    std::vector<MonitorInfo> monitors();
    // Shares only that monitor, found again by its name at each capture: pictures of its
    // size, changed parts and the pointer in its coordinates, pointer moves into it. Once
    // no monitor has that name, captures fail.
    bool shareMonitor(const MonitorInfo& monitor, std::string& error);
    // Where the shared part lay on the screen at the last look.
    PixelRect sharedArea() const { return {shared_.x, shared_.y, shared_.width, shared_.height}; }
    // The viewer's keyboard: where its key codes sit.
    void setKeyboard(KeyboardLayout layout) { layout_ = layout; }
    // The X keyboard's layouts as the server names them ("jp", "us,de"); empty when it does not.
    std::string keyboardLayouts();

    bool capture(ScreenPicture& out, std::string& error) override;
    // A whole read with MIT-SHM then comes in strips, each told as it arrives.
    void listenToRows(RowsListener* listener) override { listener_ = listener; }
    std::string captureMethod() const override;
    // With XDamage: damage, the cursor's image and the pointer's place, read from the
    // events the X server sent; no round trip where XInput 2 reports pointer motion.
    bool watchesChanges() const override { return damage_ != 0; }
    bool changedSinceCapture() override;
    // The X connection, readable when the server sent events; the pointer looked at now
    // and then where its motion does not come as events.
    ChangeWatch changeWatch() const override;

    void movePointer(int x, int y) override;
    void button(int button, bool press) override;
    // XKB key names ("AC10"), aliases too.
    std::string keyPlace(uint32_t virtualKey) const override { return ::keyPlace(layout_, virtualKey); }
    bool key(const std::string& place, bool press) override;
    void flush() override;

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
    // Where the shared part lies on the screen now: all of it, or the monitor's part.
    bool queryShared(Area& area, std::string& error);
    bool fetch(const Area& area, std::string& error);
    bool fetchInStrips(std::string& error);
    ScreenPicture pictureNow() const;
    bool fetchAll(std::vector<Area>& areas, bool& changed, std::string& error);
    void restoreUnderPointer();
    // Where the pointer is drawn this time, and how it looks; true when it looks or sits
    // otherwise than before.
    bool placePointer();
    // Draws the pointer's rows among [fromRow, toRow), keeping what it covers.
    void drawPointer(int fromRow, int toRow);

    Display* display_ = nullptr;
    KeyboardLayout layout_ = KeyboardLayout::Us;
    unsigned long root_ = 0;
    unsigned long monitorName_ = 0;  // the shared monitor's name atom; 0: the whole screen
    std::string monitorLabel_;
    int randrEvent_ = -1;            // RandR's event base, while a monitor is shared
    Area shared_ = {0, 0, 0, 0};     // the frame's place on the screen
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
    void* cursor_ = nullptr;  // XFixesCursorImage, during a capture
    bool pointerDrawn_ = false;
    RowsListener* listener_ = nullptr;
};
