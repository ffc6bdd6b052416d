// The Wayland compositors' remote input takes the kernel's (evdev) codes: the viewer's
// keys, named by their place (XKB key names), become those codes through XKB's evdev
// keycodes, whatever layout the compositor then applies.
#pragma once

#include <cstdint>
#include <string>

// evdev's BTN_LEFT, BTN_MIDDLE, BTN_RIGHT in X's order.
constexpr int32_t kEvdevButtons[] = {0x110, 0x112, 0x111};
// The compositor makes a session's keyboard and pointer on their first use, and no client
// receives that event: at the start, KEY_F24 (a key no keyboard has) is pressed and
// released, and the pointer moved by nothing.
constexpr uint32_t kEvdevWakeKey = 194;

class EvdevKeymap {
public:
    EvdevKeymap() = default;
    ~EvdevKeymap();
    EvdevKeymap(const EvdevKeymap&) = delete;
    EvdevKeymap& operator=(const EvdevKeymap&) = delete;

    bool open(std::string& error);
    // The evdev code of the key named `place` ("AC01"); -1 for none.
    int code(const std::string& place) const;

private:
    struct xkb_context* xkb_ = nullptr;
    struct xkb_keymap* keymap_ = nullptr;
};
