#include "net/frame_protocol.h"

#include <algorithm>

namespace {

// Chunks smaller than this with more than this to come: the body trickles in.
constexpr int32_t kGatherBelow = 16384;

}  // namespace

ChannelStep stepForEvents(uint32_t events)
{
    if (events & kEventClose)
        return ChannelStep::Ended;
    if (events & kEventRead)
        return ChannelStep::Read;
    return ChannelStep::WaitAgain;
}

HeaderRead readFrameHeaderFrom(FrameReceiver& receiver, FrameChannelIo& io)
{
    while (receiver.headerReceived < kFrameHeaderSize) {
        bool wouldBlock = false;
        int32_t got = io.receive(receiver.header + receiver.headerReceived,
                                 kFrameHeaderSize - receiver.headerReceived, &wouldBlock);
        if (got == 0)
            return HeaderRead::EndOfStream;
        if (got < 0) {
            if (!wouldBlock)
                return HeaderRead::Failed;
            return receiver.headerReceived == 0 ? HeaderRead::NoData : HeaderRead::Partial;
        }
        receiver.headerReceived += std::min(got, kFrameHeaderSize - receiver.headerReceived);
    }
    receiver.headerReceived = 0;
    receiver.remaining = decodeFrameHeader(receiver.header);
    receiver.totalReceived = 0;
    if (receiver.remaining > kMaxFrameBodySize)
        return HeaderRead::TooLarge;
    if (receiver.remaining > receiver.frameCapacity) {
        uint8_t* grown = io.replaceFrameBuffer(receiver.frameBuffer, receiver.remaining);
        if (!grown)
            return HeaderRead::NoMemory;
        receiver.frameBuffer = grown;
        receiver.frameCapacity = receiver.remaining;
    }
    receiver.bodyPhase = true;
    return HeaderRead::Complete;
}

int32_t readFrameBodyFrom(FrameReceiver& receiver, FrameChannelIo& io)
{
    while (receiver.remaining > 0) {
        // The header read grew the buffer to the announced length; the room left is checked
        // all the same, so no caller order can make a receive write past the buffer.
        int32_t ask = std::min({receiver.remaining, kFrameBufferSize,
                                receiver.frameCapacity - receiver.totalReceived});
        if (ask <= 0)
            break;
        bool wouldBlock = false;
        int32_t got = io.receive(receiver.frameBuffer + receiver.totalReceived, ask, &wouldBlock);
        if (got > 0) {
            got = std::min(got, ask);
            receiver.totalReceived += got;
            receiver.remaining -= got;
            if (!receiver.eager) {
                ++receiver.pauses;
                io.pause();
            } else if (receiver.remaining > 0) {
                io.awaitData(got < kGatherBelow && receiver.remaining >= kGatherBelow);
            }
        } else if (got == 0) {
            break;
        } else if (wouldBlock && receiver.eager) {
            io.awaitData(false);
        } else if (wouldBlock) {
            ++receiver.pauses;
            io.pause();
        } else {
            break;
        }
    }
    receiver.bodyPhase = false;
    return receiver.totalReceived;
}
