// A wlroots compositor's session (sway and its kin) shared as an ordinary Wayland client:
// screencopy copies one output into shared memory, with the pointer drawn in, and
// answers only once something changed, so the Wayland connection itself is the change
// watch; a virtual pointer confined to that output and a virtual keyboard (with a keymap
// of the host's own, whose modifier state this client reports) play the viewer's input
// back. Screencopy works per output, so the host shares one output at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/desktop.h"
#include "host/key_table.h"
#include "host/monitor_choice.h"

// The XKB keymap the virtual keyboard brings: rules, model, layout, variant, options.
struct KeymapNames {
    std::string rules, model, layout, variant, options;
    std::string source;  // for the log: where the layout came from
};

class WlrootsDesktop final : public Desktop {
public:
    WlrootsDesktop();
    ~WlrootsDesktop();
    WlrootsDesktop(const WlrootsDesktop&) = delete;
    WlrootsDesktop& operator=(const WlrootsDesktop&) = delete;

    // Whether the compositor at WAYLAND_DISPLAY offers screencopy and both virtual input
    // managers; if not, `why`.
    static bool available(std::string& why);
    // XKB_DEFAULT_RULES, _MODEL, _LAYOUT, _VARIANT, _OPTIONS where set (as the compositor
    // reads them), else the layout of the viewer's keyboard when --keyboard names it, else us.
    static KeymapNames keymapNames(bool keyboardGiven, KeyboardLayout viewer);
    // Connects and learns the outputs' names and places; `error` says what is missing.
    bool connect(std::string& error);
    // The outputs, in the layout's (logical) coordinates, in the order --monitor counts.
    std::vector<MonitorInfo> monitors() const;
    // Shares the output of that name (one of monitors()): uploads the keymap and waits
    // for the first frame.
    bool open(const KeymapNames& keymap, const std::string& output, std::string& error);
    void setKeyboard(KeyboardLayout layout) { layout_ = layout; }

    bool capture(ScreenPicture& out, std::string& error) override;
    // The session, the stream or the compositor is over: no capture can work again.
    bool gone() const override;
    std::string captureMethod() const override { return "screencopy+damage"; }
    bool watchesChanges() const override { return true; }
    bool changedSinceCapture() override;
    ChangeWatch changeWatch() const override;

    void movePointer(int x, int y) override;
    void button(int button, bool press) override;
    std::string keyPlace(uint32_t virtualKey) const override { return ::keyPlace(layout_, virtualKey); }
    bool key(const std::string& place, bool press) override;
    void flush() override;

    struct Parts;  // Wayland and XKB objects, kept out of this header

private:
    std::unique_ptr<Parts> parts_;
    KeyboardLayout layout_ = KeyboardLayout::Us;
};
