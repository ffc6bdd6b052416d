#include "wire/frame_wire.h"

uint32_t readLittleEndian32(const uint8_t* in)
{
    return uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
}

void writeLittleEndian32(uint8_t* out, uint32_t value)
{
    out[0] = uint8_t(value);
    out[1] = uint8_t(value >> 8);
    out[2] = uint8_t(value >> 16);
    out[3] = uint8_t(value >> 24);
}

uint16_t readLittleEndian16(const uint8_t* in)
{
    return uint16_t(in[0] | in[1] << 8);
}

void writeLittleEndian16(uint8_t* out, uint16_t value)
{
    out[0] = uint8_t(value);
    out[1] = uint8_t(value >> 8);
}

void encodeControlMessage(uint32_t code, uint8_t out[kControlMessageSize], uint32_t second, uint32_t third)
{
    writeLittleEndian32(out, code);
    writeLittleEndian32(out + 4, second);
    writeLittleEndian32(out + 8, third);
}

ControlMessage decodeControlMessage(const uint8_t in[kControlMessageSize])
{
    return {readLittleEndian32(in), readLittleEndian32(in + 4), readLittleEndian32(in + 8)};
}

int32_t decodeFrameHeader(const uint8_t in[kFrameHeaderSize])
{
    return int32_t(readLittleEndian32(in));
}
