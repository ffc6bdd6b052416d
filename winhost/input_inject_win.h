// The viewer's mouse and keys played into this desktop through SendInput, with everything
// the viewer held released when its session ends.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "host/mouse_machine.h"
#include "winhost/key_flags.h"
#include "winhost/monitors_win.h"

enum class Injected {
    Done,
    Unknown,  // an event code the viewer does not send: nothing was played
    Refused,  // SendInput took not all of it (another desktop has the input, or a window
              // of higher integrity is in front)
};

class InputInjector {
public:
    // Where pointer positions count from and stay inside (the whole virtual desktop unless
    // told otherwise).
    void share(const SharedArea& area) { area_ = area; }
    // MSG_MOUSE: `eventCode` at (x, y), a pixel of the shared area.
    Injected mouse(uint32_t eventCode, int x, int y);
    // Moves and buttons the caller's own mouse machine made of a MSG_MOUSE.
    Injected pointer(const std::vector<PointerAction>& actions);
    // MSG_KEY: a Windows virtual key, down or up.
    Injected key(uint32_t virtualKey, bool down);
    // Lets go of every key and button the viewer still holds; how many of each.
    Injected releaseAll(int& keys, int& buttons);

private:
    void addKeys(const std::vector<KeyStroke>& strokes);
    void addPointer(const std::vector<PointerAction>& actions);
    Injected send();

    SharedArea area_;
    MouseMachine mouse_;
    HeldKeys keys_;
    std::vector<KeyStroke> strokes_;
    std::vector<PointerAction> actions_;
    std::vector<INPUT> batch_;
};
