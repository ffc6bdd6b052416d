// The frame channel's records, as the viewer, the hosts and the counterpart server all
// write and read them: ControlMessages from the viewer, FrameHeaders from the server.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    MSG_NEXT_FRAME = 0x0101,  // send the FrameHeader of the next frame
    MSG_SEND_BODY = 0x0201,   // send the body the last FrameHeader announced
};

constexpr int kControlMessageSize = 12;
constexpr int kFrameHeaderSize = 4;
// The viewer's first frame buffer, and the most a plain server may announce.
constexpr int32_t kFrameBufferSize = 500000;
// Bodies above this end the connection; a 4K screen at high quality stays well below it.
constexpr int32_t kMaxFrameBodySize = 32 * 1024 * 1024;

// Wire words are little-endian whatever the host; these keep that explicit.
uint32_t readLittleEndian32(const uint8_t* in);
void writeLittleEndian32(uint8_t* out, uint32_t value);
uint16_t readLittleEndian16(const uint8_t* in);
void writeLittleEndian16(uint8_t* out, uint16_t value);

// Code, then two words: zero, or what the viewer accepted of an extension offer.
void encodeControlMessage(uint32_t code, uint8_t out[kControlMessageSize], uint32_t second = 0,
                          uint32_t third = 0);

struct ControlMessage {
    uint32_t code = 0;
    uint32_t second = 0;
    uint32_t third = 0;
};
ControlMessage decodeControlMessage(const uint8_t in[kControlMessageSize]);

// The announced body length, signed: 0 or below announces no body.
int32_t decodeFrameHeader(const uint8_t in[kFrameHeaderSize]);
