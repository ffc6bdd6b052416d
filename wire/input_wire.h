// The InputChannel's records, viewer to server: five little-endian words for MSG_MOUSE and
// MSG_KEY, the type word alone for the commands.
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

constexpr int kInputMessageSize = 20;
// The command messages go out as their type word alone.
constexpr int kCommandMessageSize = 4;

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

// Fills the record as MSG_KEY: argument 0 pressed, 1 released.
InputMessage& buildKeyMessage(InputMessage& message, uint32_t virtualKey, bool down);

// Fills the whole record with `type` and four zero words; returns how many of its bytes
// go on the wire (kCommandMessageSize).
int buildCommandMessage(InputMessage& message, uint32_t type);

