// Windows virtual-key codes as the viewer sends them, turned into the keys that send them,
// and which of those keys the host holds down. A key is named by its place on the keyboard
// (XKB's key names: "AC10" is the key right of L), so the host presses the key the user
// pressed and its own keymap makes the character, Shift and all. The codes name different
// keys on a JIS and a US keyboard, so the table depends on the viewer's layout.
// Portable: no X connection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class KeyboardLayout { Us, Jis };

// "jis" or "us"; false for anything else.
bool keyboardLayoutFromName(const std::string& name, KeyboardLayout& out);
const char* keyboardLayoutName(KeyboardLayout layout);
// The keyboard that an X keymap with these layouts ("jp", "jp,us") is made for: the first decides.
KeyboardLayout keyboardLayoutForXLayouts(const std::string& layouts);

// The XKB name of the key that sends the code on a Windows keyboard of that layout, or
// empty when no key does.
std::string keyPlace(KeyboardLayout layout, uint32_t virtualKey);

// The mouse buttons appear in the viewer's key state too; MSG_MOUSE already carries them.
bool isMouseButtonKey(uint32_t virtualKey);

enum class KeyAction { Nothing, Press, Release };

// Windows reports some keys under two or three codes (VK_SHIFT and VK_LSHIFT; 半角/全角
// as VK_OEM_AUTO, VK_OEM_ENLW or VK_KANJI), so a place stays down while any code of it is.
class KeyTracker {
public:
    KeyAction change(uint32_t virtualKey, const std::string& place, bool down);
    // The places still down, each once; the tracker is empty afterwards.
    std::vector<std::string> releaseAll();

private:
    std::string placeOf_[256];  // empty: that code is up
};
