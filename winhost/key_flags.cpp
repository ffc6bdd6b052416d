#include "winhost/key_flags.h"

#include <algorithm>
#include <iterator>

namespace {

// Break, Page Up and Down, End, Home, the arrows, Print Screen, Insert, Delete, the Windows
// and menu keys, Sleep, keypad Divide, Num Lock, right Ctrl and Alt, and the browser,
// volume, media and launch keys.
constexpr uint8_t kExtended[] = {
    0x03, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x2C, 0x2D, 0x2E, 0x5B, 0x5C, 0x5D, 0x5F, 0x6F,
    0x90, 0xA3, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF, 0xB0, 0xB1, 0xB2, 0xB3,
    0xB4, 0xB5, 0xB6, 0xB7,
};

// Shift, Ctrl and Alt: the generic code and the left and right ones.
struct Modifier {
    uint8_t generic, left, right;
};
constexpr Modifier kModifiers[] = {{0x10, 0xA0, 0xA1}, {0x11, 0xA2, 0xA3}, {0x12, 0xA4, 0xA5}};

int familyOf(uint32_t virtualKey)
{
    for (int family = 0; family < 3; ++family) {
        const Modifier& m = kModifiers[family];
        if (virtualKey == m.generic || virtualKey == m.left || virtualKey == m.right)
            return family;
    }
    return -1;
}

// Codes that stand for no key here: none, the mouse buttons (MSG_MOUSE carries them) and 0xFF.
bool isNoKey(uint32_t virtualKey)
{
    return virtualKey == 0 || virtualKey == 0x01 || virtualKey == 0x02 || (virtualKey >= 0x04 && virtualKey <= 0x06) ||
           virtualKey >= 0xFF;
}

}  // namespace

bool isExtendedKey(uint32_t virtualKey)
{
    return std::find(std::begin(kExtended), std::end(kExtended), virtualKey) != std::end(kExtended);
}

void HeldKeys::change(uint32_t virtualKey, bool down, std::vector<KeyStroke>& out)
{
    if (isNoKey(virtualKey) || reported_[virtualKey] == down)
        return;  // a repeat, or the release of a key never reported down
    int family = familyOf(virtualKey);
    if (family < 0) {
        settle(out);
        reported_[virtualKey] = down;
        set(uint8_t(virtualKey), down, out);
        return;
    }
    const Modifier& m = kModifiers[family];
    unsigned bit = 1u << family;
    // Shift and Ctrl pressed together come as both generic codes, then both side codes.
    bool genericAlone = virtualKey == m.generic && down && !reported_[m.left] && !reported_[m.right];
    bool sideOfWaiting = (waiting_ & bit) && virtualKey != m.generic;
    if (!genericAlone && !sideOfWaiting)
        settle(out);
    reported_[virtualKey] = down;
    if (genericAlone) {
        waiting_ |= bit;
        return;
    }
    waiting_ &= ~bit;
    follow(family, out);
}

void HeldKeys::settle(std::vector<KeyStroke>& out)
{
    unsigned waiting = waiting_;
    waiting_ = 0;
    for (int family = 0; family < 3; ++family)
        if (waiting & (1u << family))
            follow(family, out);
}

// The generic code holds the left-hand key only while neither side code is down.
void HeldKeys::follow(int family, std::vector<KeyStroke>& out)
{
    const Modifier& m = kModifiers[family];
    bool left = reported_[m.left] || (reported_[m.generic] && !reported_[m.right]);
    bool right = reported_[m.right];
    // Presses before releases: the modifier never lets go in between.
    if (left)
        set(m.left, true, out);
    if (right)
        set(m.right, true, out);
    if (!left)
        set(m.left, false, out);
    if (!right)
        set(m.right, false, out);
}

void HeldKeys::set(uint8_t virtualKey, bool down, std::vector<KeyStroke>& out)
{
    if (pressed_[virtualKey] == down)
        return;
    pressed_[virtualKey] = down;
    out.push_back({virtualKey, down});
}

void HeldKeys::releaseAll(std::vector<KeyStroke>& out)
{
    waiting_ = 0;  // it pressed nothing yet
    for (int key = 255; key >= 0; --key)
        set(uint8_t(key), false, out);
    std::fill(std::begin(reported_), std::end(reported_), false);
}
