#include "input/input_message.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kKeyA = 0x41, kKeyQ = 0x51, kKeyZ = 0x5A;

Bytes wire(const InputMessage& message, int count)
{
    return Bytes(message.bytes, message.bytes + count);
}

TEST(InputMessage, LeftReleaseInScrolledViewOnTheWire)
{
    InputMessage message;
    uint32_t lParam = 20u * 65536u + 10u;  // client point (10, 20)
    uint32_t position = packFramePosition(lParam, 100, 50);
    EXPECT_EQ(position, 70u * 65536u + 110u);

    int32_t code = mouseEventForMessage(kWmLButtonUp, 0);
    ASSERT_NE(code, kNotForwarded);
    buildMouseMessage(message, uint32_t(code), position, 640, 480);

    EXPECT_EQ(wire(message, kInputMessageSize),
              (Bytes{0x01, 0x03, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00, 0x6E, 0x00,
                     0x46, 0x00, 0x80, 0x02, 0x00, 0x00, 0xE0, 0x01, 0x00, 0x00}));
}

TEST(InputMessage, CommandsSendTheirTypeWordAloneFromAZeroedRecord)
{
    const struct {
        uint32_t type;
        Bytes bytes;
    } cases[] = {
        {MSG_SERVER_EXIT, {0x01, 0x05, 0x00, 0x00}},
        {MSG_TELNET, {0x01, 0x07, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        InputMessage message;
        // A previous mouse message leaves the record dirty; the command must clear it.
        buildMouseMessage(message, kMouseRightUp, 0xFFFFFFFFu, -1, -1);
        int count = buildCommandMessage(message, c.type);
        ASSERT_EQ(count, 4);
        EXPECT_EQ(wire(message, count), c.bytes);
        for (int i = 1; i < 5; ++i)
            EXPECT_EQ(inputMessageWord(message, i), 0u) << "type " << c.type << " word " << i;
    }
}

TEST(InputMessage, PackedPositionWrapsModulo2To32)
{
    // Carry from x into y when x plus the offset passes 65535.
    EXPECT_EQ(packFramePosition(0x0000FFFFu, 1, 0), 0x00010000u);
    // y beyond 16 bits drops off the top.
    EXPECT_EQ(packFramePosition(0xFFFF0000u, 0, 1), 0x00000000u);
    EXPECT_EQ(packFramePosition(0xFFFFFFFFu, 1, 0), 0x00000000u);
    // A negative offset subtracts, modulo 2^32.
    EXPECT_EQ(packFramePosition(5u * 65536u + 3u, -3, -5), 0u);
    EXPECT_EQ(packFramePosition(0, 0, -1), 0xFFFF0000u);
}

TEST(InputMessage, WhichMouseMessagesAreForwarded)
{
    // Moves count only as left drags, whatever else is held.
    EXPECT_EQ(mouseEventForMessage(kWmMouseMove, kMkLButton), int32_t(kMouseLeftDrag));
    EXPECT_EQ(mouseEventForMessage(kWmMouseMove, kMkLButton | 0x0004 | 0x0008),
              int32_t(kMouseLeftDrag));
    for (uintptr_t flags : {uintptr_t(0), uintptr_t(0x0002), uintptr_t(0x0010), uintptr_t(0x0012)})
        EXPECT_EQ(mouseEventForMessage(kWmMouseMove, flags), kNotForwarded) << "flags " << flags;

    const uint32_t buttons[] = {kWmLButtonUp, kWmRButtonDown, kWmRButtonUp, kWmMButtonDown,
                                kWmMButtonUp};
    const uint32_t codes[] = {kMouseLeftUp, kMouseRightDown, kMouseRightUp, kMouseMiddleDown,
                              kMouseMiddleUp};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(mouseEventForMessage(buttons[i], 0), int32_t(codes[i])) << i;

    // The left press, the double clicks (left has its own path), wheel and extra buttons.
    const uint32_t others[] = {kWmLButtonDown, kWmLButtonDblClk, kWmRButtonDblClk,
                               kWmMButtonDblClk, 0x020A, 0x020B, 0x020C};
    for (uint32_t msg : others)
        EXPECT_EQ(mouseEventForMessage(msg, kMkLButton), kNotForwarded) << "message " << msg;
}

// GetKeyState as an array, and every send recorded with the cache as it stood then.
struct FakeKeys final : KeyScanIo {
    std::array<uint16_t, kVirtualKeyCount> state{};
    const uint8_t* cache = nullptr;
    bool failSends = false;
    struct Sent {
        Bytes bytes;
        uint8_t cacheAtSend;
    };
    std::vector<Sent> sent;

    uint16_t keyState(int virtualKey) override { return state.at(size_t(virtualKey)); }
    bool send(const InputMessage& message) override
    {
        uint32_t key = inputMessageWord(message, 2);
        sent.push_back({wire(message, kInputMessageSize), cache[key]});
        return !failSends;
    }
};

Bytes keyMessage(uint8_t key, uint8_t argument)
{
    return {0x01, 0x04, 0, 0, argument, 0, 0, 0, key, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
}

class KeyScan : public ::testing::Test {
protected:
    uint8_t cache[kVirtualKeyCount] = {};
    InputMessage message;
    FakeKeys keys;

    void SetUp() override { keys.cache = cache; }
    int scan()
    {
        keys.sent.clear();
        return scanKeys(cache, message, keys);
    }
};

TEST_F(KeyScan, PressRepeatRelease)
{
    EXPECT_EQ(scan(), 0);
    EXPECT_TRUE(keys.sent.empty());

    keys.state[kKeyA] = 0xFF80;  // GetKeyState's SHORT for a held key
    EXPECT_EQ(scan(), 1);
    ASSERT_EQ(keys.sent.size(), 1u);
    EXPECT_EQ(keys.sent[0].bytes, keyMessage(kKeyA, 0));
    EXPECT_EQ(keys.sent[0].cacheAtSend, 1) << "cache must be written before the send";
    EXPECT_EQ(cache[kKeyA], 1);

    // Auto-repeat: the same state again.
    EXPECT_EQ(scan(), 0);
    EXPECT_TRUE(keys.sent.empty());

    keys.state[kKeyA] = 0;
    EXPECT_EQ(scan(), 1);
    ASSERT_EQ(keys.sent.size(), 1u);
    EXPECT_EQ(keys.sent[0].bytes, keyMessage(kKeyA, 1));
    EXPECT_EQ(keys.sent[0].cacheAtSend, 0);
    EXPECT_EQ(cache[kKeyA], 0);
}

TEST_F(KeyScan, ToggleBitIsNotADownState)
{
    keys.state[0x14] = 0x0001;  // caps lock on, key up
    keys.state[0x90] = 0x7FFF;  // every bit but the top one
    EXPECT_EQ(scan(), 0);
    EXPECT_EQ(cache[0x14], 0);

    keys.state[0x14] = 0x8001;
    ASSERT_EQ(scan(), 1);
    EXPECT_EQ(keys.sent[0].bytes, keyMessage(0x14, 0));
}

TEST_F(KeyScan, EveryChangeInAscendingOrder)
{
    keys.state[0xA0] = 0x8000;  // left shift, side-specific
    keys.state[0x10] = 0x8000;  // shift, generic
    keys.state[0x01] = 0x8000;  // left mouse button, part of the key state
    keys.state[0xFF] = 0x8000;  // the last code is scanned too
    ASSERT_EQ(scan(), 4);
    EXPECT_EQ(keys.sent[0].bytes, keyMessage(0x01, 0));
    EXPECT_EQ(keys.sent[1].bytes, keyMessage(0x10, 0));
    EXPECT_EQ(keys.sent[2].bytes, keyMessage(0xA0, 0));
    EXPECT_EQ(keys.sent[3].bytes, keyMessage(0xFF, 0));

    // Shift released while another key goes down: one release and one press.
    keys.state[0x10] = keys.state[0xA0] = 0;
    keys.state[kKeyZ] = 0x8000;
    ASSERT_EQ(scan(), 3);
    EXPECT_EQ(keys.sent[0].bytes, keyMessage(0x10, 1));
    EXPECT_EQ(keys.sent[1].bytes, keyMessage(kKeyZ, 0));
    EXPECT_EQ(keys.sent[2].bytes, keyMessage(0xA0, 1));
}

TEST_F(KeyScan, FailedSendIsNotRepeated)
{
    keys.failSends = true;
    keys.state[kKeyQ] = 0x8000;
    EXPECT_EQ(scan(), 1);
    EXPECT_EQ(cache[kKeyQ], 1);

    keys.failSends = false;
    EXPECT_EQ(scan(), 0);
    EXPECT_TRUE(keys.sent.empty());
}

}  // namespace
