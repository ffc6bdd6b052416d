#include "wire/input_stream.h"

#include "wire/input_wire.h"
#include "wire/frame_wire.h"

void InputStream::append(const uint8_t* data, size_t size)
{
    // Consumed bytes go before new ones come, so the buffer stays one message long.
    buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(at_));
    at_ = 0;
    buffer_.insert(buffer_.end(), data, data + size);
}

bool InputStream::next(InputEvent& event)
{
    if (pendingSize() < kCommandMessageSize)
        return false;
    const uint8_t* p = pending();
    event = InputEvent{};
    event.type = readLittleEndian32(p);
    if (event.type == MSG_MOUSE || event.type == MSG_KEY) {
        if (pendingSize() < size_t(kInputMessageSize))
            return false;
        event.argument = readLittleEndian32(p + 4);
        event.position = readLittleEndian32(p + 8);
        event.width = int32_t(readLittleEndian32(p + 12));
        event.height = int32_t(readLittleEndian32(p + 16));
        event.known = true;
        at_ += kInputMessageSize;
        return true;
    }
    event.known = event.type == MSG_SERVER_EXIT || event.type == MSG_TELNET;
    at_ += kCommandMessageSize;
    return true;
}

void InputStream::clear()
{
    buffer_.clear();
    at_ = 0;
}
