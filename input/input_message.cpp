#include "input/input_message.h"


uint32_t packFramePosition(uint32_t lParam, int32_t scrollX, int32_t scrollY)
{
    // Unsigned throughout: the wrap is part of the format, and signed overflow is not.
    return lParam + uint32_t(scrollX) + uint32_t(scrollY) * 65536u;
}

int32_t mouseEventForMessage(uint32_t message, uintptr_t wParam)
{
    switch (message) {
    case kWmMouseMove:
        return (wParam & kMkLButton) ? int32_t(kMouseLeftDrag) : kNotForwarded;
    case kWmLButtonUp:
    case kWmRButtonDown:
    case kWmRButtonUp:
    case kWmMButtonDown:
    case kWmMButtonUp:
        return int32_t(message);
    default:
        return kNotForwarded;
    }
}

namespace {

void sendKey(KeyScanIo& io, int key, uint8_t down)
{
    InputMessage message;
    buildKeyMessage(message, uint32_t(key), down != 0);
    io.send(message);
}

}  // namespace

int scanKeys(uint8_t keyStateCache[kVirtualKeyCount], KeyScanIo& io)
{
    int sent = 0;
    for (int key = 0; key < kVirtualKeyCount; ++key) {
        uint8_t down = (io.keyState(key) & 0x8000) ? 1 : 0;
        if (keyStateCache[key] == down)
            continue;
        // Recorded before the send, so a failed send is not repeated by the next scan.
        keyStateCache[key] = down;
        sendKey(io, key, down);
        ++sent;
    }
    return sent;
}

int releaseHeldKeys(uint8_t keyStateCache[kVirtualKeyCount], KeyScanIo& io)
{
    int sent = 0;
    for (int key = 0; key < kVirtualKeyCount; ++key) {
        if (keyStateCache[key] == 0)
            continue;
        keyStateCache[key] = 0;
        sendKey(io, key, 0);
        ++sent;
    }
    return sent;
}
