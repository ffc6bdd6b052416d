// Turns the viewer's MSG_MOUSE events into button presses, releases and pointer moves.
// The viewer never sends the left press: a release with the button up is a click, and a
// drag or a double click presses it first. Portable: the X side carries the actions out.
#pragma once

#include <cstdint>
#include <vector>

// X button numbers.
enum : int { kButtonLeft = 1, kButtonMiddle = 2, kButtonRight = 3 };

struct PointerAction {
    enum Kind { Move, Press, Release } kind;
    int x = 0;       // Move only
    int y = 0;
    int button = 0;  // Press and Release only

    bool operator==(const PointerAction& other) const
    {
        return kind == other.kind && x == other.x && y == other.y && button == other.button;
    }
};

class MouseMachine {
public:
    // The actions for one event at frame point (x, y), appended to `out`; false for an
    // event code the viewer does not send (nothing is appended).
    bool apply(uint32_t eventCode, int x, int y, std::vector<PointerAction>& out);
    // Releases for every button this machine holds down.
    void releaseAll(std::vector<PointerAction>& out);
    bool held(int button) const { return down_[button]; }

private:
    void press(int button, std::vector<PointerAction>& out);
    void release(int button, std::vector<PointerAction>& out);

    bool down_[4] = {};
};

// A packed frame position (x in the low 16 bits, y in the high 16) inside a screen of
// that size: the viewer's window may be larger than the frame, and a peer may send anything.
void clampToScreen(uint32_t position, int width, int height, int& x, int& y);
