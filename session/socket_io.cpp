#include "session/socket_io.h"

// Only opening the pair is the platform's: the rest goes through the layer.

Waker::~Waker()
{
    closeSocket(receiver_);
    closeSocket(sender_);
}

void Waker::wake()
{
    uint8_t byte = 1;
    std::string ignored;  // a full queue wakes the loop as well as one more byte would
    sendAll(sender_, &byte, 1, ignored);
}

void Waker::clear()
{
    uint8_t bytes[64];
    std::string ignored;
    while (receiveSome(receiver_, bytes, sizeof bytes, ignored) > 0) {
    }
}
