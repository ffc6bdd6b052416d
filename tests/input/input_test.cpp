#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "input/input_message.h"
#include "input/input_queue.h"

namespace {

// The records themselves reach the counterpart server in the Windows-side tests, whose
// parser the host tests pin down with records of their own.
TEST(InputMessage, PackedPositionsWrapModulo32Bits)
{
    // The server relies on the wrap to split the position again: x carries into y, y drops
    // off the top, a negative offset subtracts.
    for (auto [lParam, scrollX, scrollY, packed] :
         {std::tuple{0x0000FFFFu, 1, 0, 0x00010000u}, {0xFFFF0000u, 0, 1, 0u}, {0xFFFFFFFFu, 1, 0, 0u},
          {5u * 65536u + 3u, -3, -5, 0u}, {0u, 0, -1, 0xFFFF0000u}})
        EXPECT_EQ(packed, packFramePosition(lParam, scrollX, scrollY)) << std::hex << lParam;
}

// GetKeyState as an array. Each send is noted as " 41d" (down) or " 41u" (up), and finds
// the cache already holding the new state.
struct FakeKeys final : KeyScanIo {
    std::array<uint16_t, kVirtualKeyCount> state{};
    uint8_t cache[kVirtualKeyCount] = {};
    bool failSends = false;
    std::string sent;

    uint16_t keyState(int virtualKey) override { return state.at(size_t(virtualKey)); }
    bool send(const InputMessage& message) override
    {
        uint8_t key = message.bytes[8], up = message.bytes[4];
        EXPECT_EQ(cache[key], !up) << int(key);
        char text[8];
        std::snprintf(text, sizeof text, " %02X%c", key, up ? 'u' : 'd');
        sent += text;
        return !failSends;
    }
    std::string scan(bool focusLost = false)
    {
        sent.clear();
        int count = focusLost ? releaseHeldKeys(cache, *this) : scanKeys(cache, *this);
        EXPECT_EQ(count * 4, int(sent.size()));
        return sent;
    }
};

TEST(KeyScan, EachChangeOnceInKeyOrderAndHeldKeysReleasedOnceOnFocusLoss)
{
    FakeKeys keys;
    EXPECT_EQ("", keys.scan());
    keys.state[0x41] = 0xFF80;  // GetKeyState's SHORT for a held key
    keys.state[0x14] = 0x0001;  // caps lock on, key up: the toggle bit is no down state
    keys.state[0x90] = 0x7FFF;  // every bit but the top one
    EXPECT_EQ(" 41d", keys.scan());
    EXPECT_EQ("", keys.scan());  // auto-repeat: the same state again
    // Shift generic and side-specific, the left button (part of the key state), the last code.
    for (int key : {0xA0, 0x10, 0x01, 0xFF})
        keys.state[size_t(key)] = 0x8000;
    keys.state[0x41] = 0;
    EXPECT_EQ(" 01d 10d 41u A0d FFd", keys.scan());
    // A failed send is not repeated.
    keys.failSends = true;
    keys.state[0x51] = 0x8000;
    EXPECT_EQ(" 51d", keys.scan());
    keys.failSends = false;
    EXPECT_EQ("", keys.scan());
    // Focus lost: every held key goes up at once, once; when they come up locally nothing
    // follows, and a key still held is pressed anew.
    EXPECT_EQ(" 01u 10u 51u A0u FFu", keys.scan(true));
    EXPECT_EQ("", keys.scan(true));
    keys.state[0x01] = keys.state[0x10] = keys.state[0xA0] = keys.state[0xFF] = 0;
    EXPECT_EQ(" 51d", keys.scan());
}

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
