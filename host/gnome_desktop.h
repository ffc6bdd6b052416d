// A GNOME Wayland session shared through the compositor's own remote-desktop API on the
// session bus: a RemoteDesktop session with a ScreenCast of one monitor or all, whose
// frames come over PipeWire in shared memory, the pointer as metadata beside them; the
// viewer's input goes back through the same session as evdev codes. The PipeWire loop
// runs on the host's own thread: its descriptor is the change watch, so a still screen
// wakes nobody.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/desktop.h"
#include "host/key_table.h"
#include "host/monitor_choice.h"

class GnomeDesktop final : public Desktop {
public:
    GnomeDesktop();
    ~GnomeDesktop();
    GnomeDesktop(const GnomeDesktop&) = delete;
    GnomeDesktop& operator=(const GnomeDesktop&) = delete;

    // Whether the compositor's RemoteDesktop answers on the session bus; if not, `why`.
    static bool available(std::string& why);
    // The keymap and the session bus; `error` says what is missing.
    bool connect(std::string& error);
    // The monitors as the compositor lays them out, in the order --monitor counts them.
    std::vector<MonitorInfo> monitors(std::string& error);
    // Starts the session on that monitor and waits for its first frame. One at a time:
    // mutter 43 can crash when a stream of the area of several starts beside another stream.
    bool open(const MonitorInfo& monitor, std::string& error);
    void setKeyboard(KeyboardLayout layout) { layout_ = layout; }
    // The first input source's XKB layout in GNOME's settings ("jp"); empty if unknown.
    static std::string keyboardLayouts();

    bool capture(ScreenPicture& out, std::string& error) override;
    // The session, the stream or the compositor is over: no capture can work again.
    bool gone() const override;
    std::string captureMethod() const override;
    bool watchesChanges() const override { return true; }
    bool changedSinceCapture() override;
    ChangeWatch changeWatch() const override;

    void movePointer(int x, int y) override;
    void button(int button, bool press) override;
    std::string keyPlace(uint32_t virtualKey) const override { return ::keyPlace(layout_, virtualKey); }
    bool key(const std::string& place, bool press) override;
    void flush() override {}

    struct Parts;  // D-Bus, PipeWire and XKB objects, kept out of this header

private:
    std::unique_ptr<Parts> parts_;
    KeyboardLayout layout_ = KeyboardLayout::Us;
};
