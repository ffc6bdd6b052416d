#include "wire/input_wire.h"

#include "wire/frame_wire.h"

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

InputMessage& buildKeyMessage(InputMessage& message, uint32_t virtualKey, bool down)
{
    fillMessage(message, MSG_KEY, down ? 0 : 1, virtualKey, 0, 0);
    return message;
}

int buildCommandMessage(InputMessage& message, uint32_t type)
{
    fillMessage(message, type, 0, 0, 0, 0);
    return kCommandMessageSize;
}

