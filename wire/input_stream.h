// Splits the InputChannel's byte stream into InputMessages, whatever the receives: the
// viewer sets no socket options, so records come coalesced or cut anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct InputEvent {
    uint32_t type = 0;
    uint32_t argument = 0;
    uint32_t position = 0;  // MSG_MOUSE: packed frame position; MSG_KEY: the virtual key
    int32_t width = 0;
    int32_t height = 0;
    bool known = false;     // false: an unknown type word; only its 4 bytes were taken
};

// Frame x and y from a packed position: the low and the high 16 bits, signed.
inline int positionX(uint32_t position) { return int(int16_t(uint16_t(position & 0xFFFF))); }
inline int positionY(uint32_t position) { return int(int16_t(uint16_t(position >> 16))); }

class InputStream {
public:
    void append(const uint8_t* data, size_t size);
    // The next whole message, if one is there. MSG_MOUSE and MSG_KEY take 20 bytes, the
    // commands and unknown types their type word alone.
    bool next(InputEvent& event);
    // Bytes of a message that has not come whole yet.
    const uint8_t* pending() const { return buffer_.data() + at_; }
    size_t pendingSize() const { return buffer_.size() - at_; }
    void clear();

private:
    std::vector<uint8_t> buffer_;
    size_t at_ = 0;
};
