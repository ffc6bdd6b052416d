#include "host/key_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

struct Place {
    uint32_t key;
    const char* name;
};

// Keys at the same place on both layouts. With NumLock off the keypad sends the codes of
// the editing keys beside it (the viewer cannot tell them apart) and VK_CLEAR for its 5.
constexpr Place kBoth[] = {
    {0x03, "PAUS"},  // VK_CANCEL: Ctrl+Pause
    {0x08, "BKSP"}, {0x09, "TAB"}, {0x0C, "KP5"}, {0x0D, "RTRN"}, {0x10, "LFSH"}, {0x11, "LCTL"},
    {0x12, "LALT"}, {0x13, "PAUS"}, {0x14, "CAPS"}, {0x1B, "ESC"}, {0x20, "SPCE"}, {0x21, "PGUP"},
    {0x22, "PGDN"}, {0x23, "END"}, {0x24, "HOME"}, {0x25, "LEFT"}, {0x26, "UP"}, {0x27, "RGHT"},
    {0x28, "DOWN"}, {0x2C, "PRSC"}, {0x2D, "INS"}, {0x2E, "DELE"}, {0x5B, "LWIN"}, {0x5C, "RWIN"},
    {0x5D, "COMP"}, {0x6A, "KPMU"}, {0x6B, "KPAD"}, {0x6D, "KPSU"}, {0x6E, "KPDL"}, {0x6F, "KPDV"},
    {0x90, "NMLK"}, {0x91, "SCLK"}, {0xA0, "LFSH"}, {0xA1, "RTSH"}, {0xA2, "LCTL"}, {0xA3, "RCTL"},
    {0xA4, "LALT"}, {0xA5, "RALT"},
    {0xBC, "AB08"}, {0xBD, "AE11"}, {0xBE, "AB09"}, {0xBF, "AB10"},  // , - . /
};

constexpr Place kUs[] = {
    {0xC0, "TLDE"}, {0xBB, "AE12"}, {0xDB, "AD11"}, {0xDD, "AD12"}, {0xDC, "BKSL"},
    {0xBA, "AC10"}, {0xDE, "AC11"}, {0xE2, "LSGT"},
};

constexpr Place kJis[] = {
    {0xDE, "AE12"}, {0xDC, "AE13"}, {0xC0, "AD11"}, {0xDB, "AD12"}, {0xBB, "AC10"},
    {0xBA, "AC11"}, {0xDD, "BKSL"}, {0xE2, "AB11"},
    // 半角/全角, which sends one code or another as the input method's state goes.
    {0xF3, "HZTG"}, {0xF4, "HZTG"}, {0x19, "HZTG"},
    {0x1C, "HENK"}, {0x1D, "MUHE"},
    // カタカナ/ひらがな, alone and with Shift or Alt.
    {0xF2, "HKTG"}, {0x15, "HKTG"}, {0xF1, "HKTG"}, {0xF5, "HKTG"}, {0xF6, "HKTG"},
    {0xF0, "CAPS"},  // 英数; with Shift it sends VK_CAPITAL
};

// The main block's rows as the letter and digit codes sit in them, from AE01, AD01, AC01, AB01.
constexpr const char* kRows[] = {"1234567890", "QWERTYUIOP", "ASDFGHJKL", "ZXCVBNM"};

std::string numbered(const char* prefix, uint32_t number, int digits)
{
    char name[8];
    std::snprintf(name, sizeof name, "%s%0*u", prefix, digits, unsigned(number));
    return name;
}

template <size_t N>
const char* find(const Place (&places)[N], uint32_t virtualKey)
{
    for (const Place& place : places)
        if (place.key == virtualKey)
            return place.name;
    return nullptr;
}

}  // namespace

bool keyboardLayoutFromName(const std::string& name, KeyboardLayout& out)
{
    if (name != "jis" && name != "us")
        return false;
    out = name == "jis" ? KeyboardLayout::Jis : KeyboardLayout::Us;
    return true;
}

const char* keyboardLayoutName(KeyboardLayout layout)
{
    return layout == KeyboardLayout::Jis ? "jis" : "us";
}

KeyboardLayout keyboardLayoutForXLayouts(const std::string& layouts)
{
    return layouts.substr(0, layouts.find(',')) == "jp" ? KeyboardLayout::Jis : KeyboardLayout::Us;
}

std::string keyPlace(KeyboardLayout layout, uint32_t virtualKey)
{
    const char* rowNames[] = {"AE", "AD", "AC", "AB"};
    for (int row = 0; row < 4; ++row)
        if (const char* at = virtualKey > 0 && virtualKey < 0x80 ? std::strchr(kRows[row], int(virtualKey)) : nullptr)
            return numbered(rowNames[row], uint32_t(at - kRows[row]) + 1, 2);
    if (virtualKey >= 0x60 && virtualKey <= 0x69)
        return numbered("KP", virtualKey - 0x60, 1);
    if (virtualKey >= 0x70 && virtualKey <= 0x87)
        return numbered("FK", virtualKey - 0x70 + 1, 2);
    const char* name = find(kBoth, virtualKey);
    if (!name)
        name = layout == KeyboardLayout::Jis ? find(kJis, virtualKey) : find(kUs, virtualKey);
    return name ? name : "";
}

bool isMouseButtonKey(uint32_t virtualKey)
{
    return virtualKey == 0x01 || virtualKey == 0x02 || (virtualKey >= 0x04 && virtualKey <= 0x06);
}

KeyAction KeyTracker::change(uint32_t virtualKey, const std::string& place, bool down)
{
    if (virtualKey >= 256 || place.empty())
        return KeyAction::Nothing;
    std::string& held = placeOf_[virtualKey];
    if (down == !held.empty())
        return KeyAction::Nothing;  // no change: a repeat, or a release of a key never pressed
    std::string which = down ? place : held;
    held = down ? place : "";
    bool othersHold = std::count(std::begin(placeOf_), std::end(placeOf_), which) > (down ? 1 : 0);
    if (othersHold)
        return KeyAction::Nothing;
    return down ? KeyAction::Press : KeyAction::Release;
}

std::vector<std::string> KeyTracker::releaseAll()
{
    std::vector<std::string> places;
    for (std::string& held : placeOf_) {
        if (!held.empty() && std::find(places.begin(), places.end(), held) == places.end())
            places.push_back(held);
        held.clear();
    }
    return places;
}
