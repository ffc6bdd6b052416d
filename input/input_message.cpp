#include "input/input_message.h"

#include "net/frame_protocol.h"

namespace {

constexpr int kWordCount = kInputMessageSize / 4;

void fillMessage(InputMessage& message, uint32_t type, uint32_t argument, uint32_t positionOrKey,
                 int32_t clientWidth, int32_t clientHeight)
{
    writeLittleEndian32(message.bytes, type);
    writeLittleEndian32(message.bytes + 4, argument);
    writeLittleEndian32(message.bytes + 8, positionOrKey);
    writeLittleEndian32(message.bytes + 12, uint32_t(clientWidth));
    writeLittleEndian32(message.bytes + 16, uint32_t(clientHeight));
}

}  // namespace

uint32_t inputMessageWord(const InputMessage& message, int index)
{
    if (index < 0 || index >= kWordCount)
        return 0;
    return readLittleEndian32(message.bytes + 4 * index);
}

InputMessage& buildMouseMessage(InputMessage& message, uint32_t eventCode, uint32_t position,
                                int32_t clientWidth, int32_t clientHeight)
{
    fillMessage(message, MSG_MOUSE, eventCode, position, clientWidth, clientHeight);
    return message;
}

int buildCommandMessage(InputMessage& message, uint32_t type)
{
    fillMessage(message, type, 0, 0, 0, 0);
    return kCommandMessageSize;
}

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
    fillMessage(message, MSG_KEY, uint32_t(down ^ 1), uint32_t(key), 0, 0);
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
