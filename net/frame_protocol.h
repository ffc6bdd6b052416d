// The receive side of the frame channel's lock-step exchange.
// Portable: the Winsock glue in frame_channel_win.cpp supplies the socket calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/frame_extension.h"
#include "wire/frame_wire.h"

// Network event bits as Winsock reports them.
enum : uint32_t {
    kEventRead = 0x01,
    kEventWrite = 0x02,
    kEventClose = 0x20,
};

enum class ChannelStep { Ended, Read, WaitAgain };

// What a wait's reported events mean for the frame channel: a close wins over data that
// came with it, and write readiness alone is no reason to read.
ChannelStep stepForEvents(uint32_t events);

// The calls the frame reads need from the platform.
class FrameChannelIo {
public:
    // recv's contract: a count above 0, 0 at the end of the stream, below 0 on error,
    // with *wouldBlock telling an empty non-blocking socket from a real failure.
    virtual int32_t receive(uint8_t* into, int32_t length, bool* wouldBlock) = 0;
    // The pause after every chunk and every empty try while a body comes in.
    virtual void pause() = 0;
    // A host that takes part in the frame extension gets no pauses: the read waits until
    // more of the body is there instead (or a short while). `gather`: much is still to come
    // in small pieces (a slow link), so let some gather first rather than wake for each.
    virtual void awaitData(bool gather) { (void)gather; pause(); }
    // A frame buffer of at least `size` bytes in place of `old`, whose contents need not
    // survive; null when there is no memory (`old` is then still owned by the caller).
    virtual uint8_t* replaceFrameBuffer(uint8_t* old, int32_t size) = 0;

protected:
    ~FrameChannelIo() = default;
};

// The frame channel's receive counters.
struct FrameReceiver {
    int32_t remaining = 0;       // body bytes still to come
    int32_t totalReceived = 0;   // body bytes already in frameBuffer
    bool bodyPhase = false;      // false: the next read is a header; true: a body
    uint8_t* frameBuffer = nullptr;
    int32_t frameCapacity = 0;
    uint8_t header[kFrameHeaderSize] = {};
    int32_t headerReceived = 0;  // header bytes kept across reads
    int32_t pauses = 0;          // pauses taken while bodies came in, for measurements
    bool eager = false;          // the host takes part in the extension: no pauses
};

enum class HeaderRead {
    Complete,     // a whole header: the body phase begins
    Partial,      // part of a header; the rest comes with a later read event
    NoData,       // nothing to read after all
    EndOfStream,  // the peer closed; the next wait reports it
    Failed,       // the receive call failed
    TooLarge,     // the announced body is above kMaxFrameBodySize
    NoMemory,     // the frame buffer could not grow to the announced body
};

// Reads what is missing of a FrameHeader. Only a complete header moves to the body phase,
// so a header that arrives in pieces, or a read event with nothing behind it, never makes
// the client ask for a body that was not announced.
HeaderRead readFrameHeaderFrom(FrameReceiver& receiver, FrameChannelIo& io);

// Receives the announced body into frameBuffer, never asking for more than `remaining`,
// so bytes beyond the body stay in the socket. Ends at the end of the stream or on an
// error with what has arrived. Returns totalReceived; the header phase follows.
int32_t readFrameBodyFrom(FrameReceiver& receiver, FrameChannelIo& io);

// What the viewer's MSG_NEXT_FRAME carries: the zeros of a plain request until a frame it
// decoded offered a version it speaks, that version's acceptance from then on. An offer of
// other versions changes nothing.
struct ExtensionUptake {
    uint16_t version = 0;  // 0: plain requests

    void frameDecoded(const FrameRecords& records)
    {
        if (version == 0)
            version = chooseVersion(records);
    }
    uint32_t second() const { return version ? kAcceptanceTag : 0; }
    uint32_t third() const { return version; }
};
