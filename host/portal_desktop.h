// A Wayland session shared through the desktop portal (org.freedesktop.portal.Desktop on
// the session bus): a RemoteDesktop session with a ScreenCast of one monitor, approved by
// the user in the portal's dialog, or restored without one from a kept token where the
// portal keeps approvals (its RemoteDesktop version 2 and later). Frames come over the
// PipeWire connection the portal opens; the viewer's input goes back through the same
// session as evdev codes. The way into desktops whose compositor offers no API of its own
// to the host, such as KDE Plasma's.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/desktop.h"
#include "host/key_table.h"

class PortalDesktop final : public Desktop {
public:
    using Note = std::function<void(const std::string&)>;

    PortalDesktop();
    ~PortalDesktop();
    PortalDesktop(const PortalDesktop&) = delete;
    PortalDesktop& operator=(const PortalDesktop&) = delete;

    // Whether the portal's RemoteDesktop answers on the session bus; if not, `why`.
    static bool available(std::string& why);
    // Asks the portal for the session (the user may be asked in a dialog) and waits for the
    // first frame; `note` gets the event log's lines on the way, `error` says what failed.
    bool open(const Note& note, std::string& error);
    void setKeyboard(KeyboardLayout layout) { layout_ = layout; }

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
