#include "input/input_message.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>

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

}  // namespace
