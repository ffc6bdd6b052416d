// The portable half of input capture: which window
// messages are forwarded, where the pointer is in frame coordinates, and the key scan.
// Portable: the window procedure supplies GetKeyState, the client size and the send.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/input_wire.h"

// Window message numbers and the one wParam flag the mapping needs, kept here so that
// the portable code does without windows.h.
enum : uint32_t {
    kWmMouseMove = 0x0200,
    kWmLButtonDown = 0x0201,
    kWmLButtonUp = 0x0202,
    kWmLButtonDblClk = 0x0203,
    kWmRButtonDown = 0x0204,
    kWmRButtonUp = 0x0205,
    kWmRButtonDblClk = 0x0206,
    kWmMButtonDown = 0x0207,
    kWmMButtonUp = 0x0208,
    kWmMButtonDblClk = 0x0209,
    kMkLButton = 0x0001,
};

constexpr int kVirtualKeyCount = 256;

// The pointer in frame coordinates: frame x in the low 16 bits, frame y in the high 16,
// as long as x stays below 65536. lParam is added whole and the sum wraps modulo 2^32,
// which the server relies on to split it again.
uint32_t packFramePosition(uint32_t lParam, int32_t scrollX, int32_t scrollY);

// The event code for a mouse message that is forwarded while the view is active, or
// kNotForwarded. A move counts only as a left drag. WM_LBUTTONDBLCLK is not in here: it
// goes out as MSG_MOUSE_DBLCLK whether or not the view is active.
constexpr int32_t kNotForwarded = -1;
int32_t mouseEventForMessage(uint32_t message, uintptr_t wParam);

// What the key scan needs from the platform.
class KeyScanIo {
public:
    // GetKeyState's value for the virtual key: bit 15 set while it is down.
    virtual uint16_t keyState(int virtualKey) = 0;
    // Sends all kInputMessageSize bytes of the record; false when the send failed. A
    // failure changes nothing: the cache already holds the new state, so the change is
    // lost rather than sent twice.
    virtual bool send(const InputMessage& message) = 0;

protected:
    ~KeyScanIo() = default;
};

// Compares every virtual key's down state with what was last reported and sends one
// MSG_KEY (argument 0 pressed, 1 released) for each difference, in ascending key order.
// The whole state is compared, not only the key whose message triggered the scan, so
// changes that never reached the window are caught too. Returns the number of MSG_KEYs.
int scanKeys(uint8_t keyStateCache[kVirtualKeyCount], KeyScanIo& io);

// The window lost the keyboard: its key-ups will go elsewhere, so every key last reported
// down is reported up now (ascending) and counted as up. Returns the number of MSG_KEYs.
int releaseHeldKeys(uint8_t keyStateCache[kVirtualKeyCount], KeyScanIo& io);
