#include "input/input_queue.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A socket with `room` bytes of buffer left (below 0: failed) that keeps what it took as
// the server would read it.
struct Socket final : ByteSink {
    int room = 1 << 30;
    int refusals = 0;  // calls that took nothing: what arms a socket's write event
    Bytes wire;
    int take(const uint8_t* data, size_t length) override
    {
        size_t n = std::min(length, size_t(std::max(room, 0)));
        refusals += room == 0;
        wire.insert(wire.end(), data, data + n);
        room -= int(n);
        return room < 0 ? -1 : int(n);
    }
};

Bytes message(uint8_t id, size_t length)
{
    Bytes m(length, id);
    m[0] = uint8_t(0xA0 | (length & 0x0F));
    return m;
}

// Messages of both sizes through a small ring and a socket that takes odd amounts: what
// the server reads is every message whole, in order, once, whatever the cuts and wraps.
TEST(InputQueue, StreamIsEveryMessageInOrderWhateverTheSocketTakes)
{
    InputQueue queue(100);
    Socket socket;
    std::mt19937 draw(7);
    Bytes sent;
    for (int i = 0; i < 2000; ++i) {
        Bytes m = message(uint8_t(i), i % 3 ? 20 : 4);
        if (queue.push(m.data(), m.size(), 0))
            sent.insert(sent.end(), m.begin(), m.end());
        socket.room = int(draw() % 24);  // often less than a message, often nothing
        EXPECT_NE(Drained::Failed, queue.drain(socket, 0));
    }
    socket.room = 1 << 30;
    EXPECT_EQ(Drained::Empty, queue.drain(socket, 0));
    EXPECT_EQ(sent, socket.wire);
    EXPECT_GT(sent.size(), 20000u);  // most messages fitted
}

TEST(InputQueue, BoundRefusesWholeMessagesAndAFailedSocketKeepsThem)
{
    InputQueue queue(48);
    Socket socket;
    Bytes twenty = message(1, 20), four = message(2, 4), expected = twenty;
    EXPECT_TRUE(queue.push(twenty.data(), 20, 0));
    EXPECT_TRUE(queue.push(twenty.data(), 20, 0));
    EXPECT_FALSE(queue.push(twenty.data(), 20, 0));  // 60 > 48: nothing of it queued
    EXPECT_TRUE(queue.push(four.data(), 4, 0));
    EXPECT_EQ(44u, queue.waiting());

    socket.room = 5;  // part of the first message goes; the rest stays at the head
    EXPECT_EQ(Drained::Blocked, queue.drain(socket, 0));
    EXPECT_EQ(1, socket.refusals);  // asked until it took nothing
    EXPECT_TRUE(queue.push(four.data(), 4, 0));  // room only for a small one
    EXPECT_FALSE(queue.push(twenty.data(), 20, 0));
    socket.room = -1;
    EXPECT_EQ(Drained::Failed, queue.drain(socket, 0));
    EXPECT_EQ(43u, queue.waiting());
    socket.room = 1 << 30;
    EXPECT_EQ(Drained::Empty, queue.drain(socket, 0));
    for (const Bytes* m : {&twenty, &four, &four})
        expected.insert(expected.end(), m->begin(), m->end());
    EXPECT_EQ(expected, socket.wire);
}

// The clock starts when something waits after nothing did, restarts with every byte the
// socket takes, and counts across the wrap of the millisecond counter.
TEST(InputQueue, StallClock)
{
    const uint32_t start = 0xFFFFF000u;
    InputQueue queue(64);
    Socket socket;
    Bytes m = message(3, 20);
    EXPECT_EQ(kNoDeadline, queue.msUntilStall(start));
    EXPECT_FALSE(queue.stalled(start + 50000));  // nothing waits

    socket.room = 0;
    queue.push(m.data(), 20, start);
    queue.drain(socket, start + 9000);
    queue.push(m.data(), 20, start + 9000);  // more waiting does not restart it
    EXPECT_EQ(1000u, queue.msUntilStall(start + 9000));
    EXPECT_FALSE(queue.stalled(start + kInputStallMs - 1));

    socket.room = 1;  // one byte taken is progress
    queue.drain(socket, start + 9999);
    EXPECT_FALSE(queue.stalled(start + 9999 + kInputStallMs - 1));
    EXPECT_TRUE(queue.stalled(start + 9999 + kInputStallMs));
    EXPECT_EQ(0u, queue.msUntilStall(start + 9999 + kInputStallMs + 5));

    socket.room = 1 << 30;
    queue.drain(socket, start + 30000);
    queue.push(m.data(), 20, start + 90000);  // after a quiet spell the clock starts afresh
    EXPECT_EQ(kInputStallMs, queue.msUntilStall(start + 90000));
}

}  // namespace
