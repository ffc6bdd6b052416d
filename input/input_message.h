// InputChannel wire records and the portable half of input capture: which window
// messages are forwarded, where the pointer is in frame coordinates, and the key scan.
// Portable: the window procedure supplies GetKeyState, the client size and the send.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    MSG_MOUSE = 0x0301,
    // Never a type: the event code of a left double click inside MSG_MOUSE.
    MSG_MOUSE_DBLCLK = 0x0302,
    MSG_KEY = 0x0401,
    MSG_SERVER_EXIT = 0x0501,
    MSG_TELNET = 0x0701,
};

// Mouse event codes. Apart from the drag and the double click they are the window
// message numbers themselves, which is what the server expects.
enum : uint32_t {
    kMouseLeftDrag = 0x0000,
    kMouseLeftUp = 0x0202,
    kMouseRightDown = 0x0204,
    kMouseRightUp = 0x0205,
    kMouseMiddleDown = 0x0207,
    kMouseMiddleUp = 0x0208,
};

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

constexpr int kInputMessageSize = 20;
// The command messages go out as their type word alone.
constexpr int kCommandMessageSize = 4;
constexpr int kVirtualKeyCount = 256;

// The record is kept in its wire form (five little-endian words: type, argument,
// position or key, client width, client height). Each message is built in a record of its
// own and copied whole into the send queue, so nothing can change it once it is sent.
struct InputMessage {
    uint8_t bytes[kInputMessageSize] = {};
};

// Word 0..4 of the record, as the server reads it.
uint32_t inputMessageWord(const InputMessage& message, int index);

// Fills the record as MSG_MOUSE; returns it for sending all kInputMessageSize bytes.
InputMessage& buildMouseMessage(InputMessage& message, uint32_t eventCode, uint32_t position,
                                int32_t clientWidth, int32_t clientHeight);

// Fills the whole record with `type` and four zero words; returns how many of its bytes
// go on the wire (kCommandMessageSize).
int buildCommandMessage(InputMessage& message, uint32_t type);

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
