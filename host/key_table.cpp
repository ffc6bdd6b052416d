#include "host/key_table.h"

#include <X11/keysym.h>

#include <algorithm>

namespace {

struct Range {
    uint32_t firstKey, lastKey, firstKeysym;
};

// Runs of consecutive codes that map to consecutive keysyms.
constexpr Range kRanges[] = {
    {0x30, 0x39, XK_0},       // digits
    {0x41, 0x5A, XK_a},       // letters, lower case: Shift comes as its own key
    {0x60, 0x69, XK_KP_0},    // numeric keypad digits
    {0x70, 0x87, XK_F1},      // F1-F24
    {0x21, 0x23, XK_Prior},   // Page Up, Page Down, End
    {0x24, 0x28, XK_Home},    // Home, Left, Up, Right, Down
};

struct Single {
    uint32_t key, keysym;
};

constexpr Single kSingles[] = {
    {0x08, XK_BackSpace}, {0x09, XK_Tab}, {0x0C, XK_Clear}, {0x0D, XK_Return},
    {0x10, XK_Shift_L}, {0x11, XK_Control_L}, {0x12, XK_Alt_L}, {0x13, XK_Pause},
    {0x14, XK_Caps_Lock}, {0x1B, XK_Escape}, {0x20, XK_space},
    {0x29, XK_Select}, {0x2A, XK_Print}, {0x2B, XK_Execute}, {0x2C, XK_Print},
    {0x2D, XK_Insert}, {0x2E, XK_Delete}, {0x2F, XK_Help},
    {0x5B, XK_Super_L}, {0x5C, XK_Super_R}, {0x5D, XK_Menu},
    {0x6A, XK_KP_Multiply}, {0x6B, XK_KP_Add}, {0x6C, XK_KP_Separator}, {0x6D, XK_KP_Subtract},
    {0x6E, XK_KP_Decimal}, {0x6F, XK_KP_Divide},
    {0x90, XK_Num_Lock}, {0x91, XK_Scroll_Lock},
    {0xA0, XK_Shift_L}, {0xA1, XK_Shift_R}, {0xA2, XK_Control_L}, {0xA3, XK_Control_R},
    {0xA4, XK_Alt_L}, {0xA5, XK_Alt_R},
    // Punctuation of a US layout.
    {0xBA, XK_semicolon}, {0xBB, XK_equal}, {0xBC, XK_comma}, {0xBD, XK_minus},
    {0xBE, XK_period}, {0xBF, XK_slash}, {0xC0, XK_grave}, {0xDB, XK_bracketleft},
    {0xDC, XK_backslash}, {0xDD, XK_bracketright}, {0xDE, XK_apostrophe}, {0xE2, XK_less},
    // Japanese input keys.
    {0x15, XK_Kana_Shift}, {0x19, XK_Kanji}, {0x1C, XK_Henkan_Mode}, {0x1D, XK_Muhenkan},
    {0xF0, XK_Eisu_toggle}, {0xF1, XK_Katakana}, {0xF2, XK_Hiragana}, {0xF3, XK_Hankaku},
    {0xF4, XK_Zenkaku},
};

}  // namespace

uint32_t keysymForVirtualKey(uint32_t virtualKey)
{
    for (const Range& range : kRanges)
        if (virtualKey >= range.firstKey && virtualKey <= range.lastKey)
            return range.firstKeysym + (virtualKey - range.firstKey);
    for (const Single& single : kSingles)
        if (single.key == virtualKey)
            return single.keysym;
    return 0;
}

bool isMouseButtonKey(uint32_t virtualKey)
{
    return virtualKey == 0x01 || virtualKey == 0x02 || (virtualKey >= 0x04 && virtualKey <= 0x06);
}

KeyAction KeyTracker::change(uint32_t virtualKey, uint32_t keysym, bool down)
{
    if (virtualKey >= 256 || keysym == 0)
        return KeyAction::Nothing;
    uint32_t& held = keysymOf_[virtualKey];
    if (down == (held != 0))
        return KeyAction::Nothing;  // no change: a repeat, or a release of a key never pressed
    uint32_t was = held;
    held = down ? keysym : 0;
    uint32_t which = down ? keysym : was;
    bool othersHold = std::count(std::begin(keysymOf_), std::end(keysymOf_), which) > (down ? 1 : 0);
    if (othersHold)
        return KeyAction::Nothing;
    return down ? KeyAction::Press : KeyAction::Release;
}

std::vector<uint32_t> KeyTracker::releaseAll()
{
    std::vector<uint32_t> keysyms;
    for (uint32_t& held : keysymOf_) {
        if (held != 0 && std::find(keysyms.begin(), keysyms.end(), held) == keysyms.end())
            keysyms.push_back(held);
        held = 0;
    }
    return keysyms;
}
