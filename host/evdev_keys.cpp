#include "host/evdev_keys.h"

#include <xkbcommon/xkbcommon.h>

EvdevKeymap::~EvdevKeymap()
{
    if (keymap_)
        xkb_keymap_unref(keymap_);
    if (xkb_)
        xkb_context_unref(xkb_);
}

bool EvdevKeymap::open(std::string& error)
{
    xkb_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    // XKB's evdev keycodes are the kernel's codes plus 8.
    xkb_rule_names names = {"evdev", "pc105", "us", "", ""};
    keymap_ = xkb_ ? xkb_keymap_new_from_names(xkb_, &names, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr;
    if (!keymap_)
        error = "XKB cannot compile the evdev keymap (is xkb-data installed?)";
    return keymap_ != nullptr;
}

int EvdevKeymap::code(const std::string& place) const
{
    xkb_keycode_t code = xkb_keymap_key_by_name(keymap_, place.c_str());
    return code == XKB_KEYCODE_INVALID || code < 8 ? -1 : int(code - 8);
}
