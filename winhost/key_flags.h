// The viewer's virtual keys turned into the strokes SendInput plays: which keys carry the
// extended flag, and one physical key for the generic and the side codes of Shift, Ctrl
// and Alt. Portable: the Windows side adds the scan codes and calls SendInput.
#pragma once

#include <cstdint>
#include <vector>

// Keys whose scan code has the E0 prefix. Without KEYEVENTF_EXTENDEDKEY Windows takes
// them for their keypad twins (the arrows for keypad 4, 8, 6, 2 with Num Lock off) or for
// the left-hand key (right Ctrl and Alt). Enter is the main Enter: the viewer sends the
// same code for the keypad's.
bool isExtendedKey(uint32_t virtualKey);

struct KeyStroke {
    uint8_t virtualKey;  // side-specific for Shift, Ctrl and Alt
    bool down;

    bool operator==(const KeyStroke& other) const { return virtualKey == other.virtualKey && down == other.down; }
};

// What the host pressed for the viewer. The viewer reports a modifier under its generic
// code and then its side code (0x10, then 0xA0 or 0xA1 for Shift); both stand for one
// physical key, pressed once. A generic code alone waits for the next event: unless that
// is its side code (or another generic code), it presses the left-hand key.
class HeldKeys {
public:
    // The strokes for the viewer's report that `virtualKey` went down or up, appended to `out`.
    void change(uint32_t virtualKey, bool down, std::vector<KeyStroke>& out);
    // Before input that is not a key (a click with Shift held): a waiting generic code
    // presses its key now.
    void settle(std::vector<KeyStroke>& out);
    // Releases of every key the host holds; afterwards it holds none.
    void releaseAll(std::vector<KeyStroke>& out);

private:
    void follow(int family, std::vector<KeyStroke>& out);
    void set(uint8_t virtualKey, bool down, std::vector<KeyStroke>& out);

    bool reported_[256] = {};  // down as the viewer last said
    bool pressed_[256] = {};   // down as the host pressed it
    unsigned waiting_ = 0;     // a bit for each modifier whose generic code waits for its side code
};
