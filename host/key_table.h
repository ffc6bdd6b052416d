// Windows virtual-key codes as the viewer sends them, turned into X keysyms, and which of
// them the host holds down. Portable: no X connection, only keysym numbers.
#pragma once

#include <cstdint>
#include <vector>

// The keysym of the unshifted key on a US layout, or 0 when X has none for the code. The
// viewer sends Shift itself, so '1' is XK_1 whether the user meant 1 or !.
uint32_t keysymForVirtualKey(uint32_t virtualKey);

// The mouse buttons appear in the viewer's key state too; MSG_MOUSE already carries them.
bool isMouseButtonKey(uint32_t virtualKey);

enum class KeyAction { Nothing, Press, Release };

// Windows reports a modifier under its generic and its side code (VK_SHIFT and VK_LSHIFT)
// and both map to one keysym, so a keysym stays down while any code holding it is down.
class KeyTracker {
public:
    KeyAction change(uint32_t virtualKey, uint32_t keysym, bool down);
    // The keysyms still down, each once; the tracker is empty afterwards.
    std::vector<uint32_t> releaseAll();

private:
    uint32_t keysymOf_[256] = {};  // 0: that code is up
};
