// Input messages waiting for a socket that does not take them yet. Whole messages go in,
// bytes come out in order; a send that takes part of the waiting bytes leaves the rest at
// the head, so the stream the server reads is never cut or reordered.
// Portable: the socket comes in through ByteSink, the time as a parameter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Far more than a long drag queues while the server is merely slow (20 bytes a move),
// far less than a user could mean to send to a server that has stopped reading.
constexpr size_t kInputQueueBytes = 64 * 1024;
// Messages that wait this long with nothing taken mean the server has stopped reading.
constexpr uint32_t kInputStallMs = 10000;
constexpr uint32_t kNoDeadline = 0xFFFFFFFFu;

class ByteSink {
public:
    // Takes up to `length` bytes; returns how many it took (0 when it cannot take any now,
    // which is when a socket arms its write event), or a negative number when it failed.
    virtual int take(const uint8_t* data, size_t length) = 0;

protected:
    ~ByteSink() = default;
};

enum class Drained { Empty, Blocked, Failed };

class InputQueue {
public:
    explicit InputQueue(size_t capacity = kInputQueueBytes);

    // Appends one whole message; false, with nothing queued, when it would pass the bound.
    bool push(const uint8_t* message, size_t length, uint32_t nowMs);
    // Offers the waiting bytes to `sink` in order until nothing waits, the sink takes
    // nothing, or it fails.
    Drained drain(ByteSink& sink, uint32_t nowMs);
    // Messages wait and the sink has taken nothing for kInputStallMs (times wrap at 2^32).
    bool stalled(uint32_t nowMs) const;
    // Milliseconds until stalled() turns true; kNoDeadline while nothing waits.
    uint32_t msUntilStall(uint32_t nowMs) const;
    size_t waiting() const { return count_; }
    void clear();

private:
    std::vector<uint8_t> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
    uint32_t progressAt_ = 0;  // last byte taken, or the first one queued after none waited
};
