#include "input/input_message.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes wire(const InputMessage& message, int count)
{
    return Bytes(message.bytes, message.bytes + count);
}

TEST(InputMessage, LeftReleaseInAScrolledViewOnTheWire)
{
    InputMessage message;
    uint32_t position = packFramePosition(20u * 65536u + 10u, 100, 50);  // client point (10, 20)
    EXPECT_EQ(70u * 65536u + 110u, position);
    int32_t code = mouseEventForMessage(kWmLButtonUp, 0);
    ASSERT_NE(kNotForwarded, code);
    buildMouseMessage(message, uint32_t(code), position, 640, 480);
    EXPECT_EQ((Bytes{0x01, 0x03, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00, 0x6E, 0x00,
                     0x46, 0x00, 0x80, 0x02, 0x00, 0x00, 0xE0, 0x01, 0x00, 0x00}),
              wire(message, kInputMessageSize));
}

TEST(InputMessage, CommandsAreTheirTypeWordAloneFromAZeroedRecord)
{
    for (uint32_t type : {uint32_t(MSG_SERVER_EXIT), uint32_t(MSG_TELNET)}) {
        InputMessage message;
        buildMouseMessage(message, kMouseRightUp, 0xFFFFFFFFu, -1, -1);  // left dirty
        ASSERT_EQ(kCommandMessageSize, buildCommandMessage(message, type));
        EXPECT_EQ((Bytes{0x01, uint8_t(type >> 8), 0, 0}), wire(message, kCommandMessageSize));
        EXPECT_EQ(Bytes(16, 0), Bytes(message.bytes + 4, message.bytes + 20)) << type;
    }
}

TEST(InputMessage, PackedPositionWrapsModulo2To32)
{
    const struct {
        uint32_t lParam;
        int32_t scrollX, scrollY;
        uint32_t packed;
    } cases[] = {
        {0x0000FFFFu, 1, 0, 0x00010000u},  // x carries into y
        {0xFFFF0000u, 0, 1, 0x00000000u},  // y drops off the top
        {0xFFFFFFFFu, 1, 0, 0x00000000u},
        {5u * 65536u + 3u, -3, -5, 0u},    // a negative offset subtracts
        {0, 0, -1, 0xFFFF0000u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.packed, packFramePosition(c.lParam, c.scrollX, c.scrollY)) << std::hex << c.lParam;
}

// GetKeyState as an array, and every send recorded with the cache as it stood then.
struct FakeKeys final : KeyScanIo {
    std::array<uint16_t, kVirtualKeyCount> state{};
    const uint8_t* cache = nullptr;
    bool failSends = false;
    std::vector<std::pair<Bytes, uint8_t>> sent;

    uint16_t keyState(int virtualKey) override { return state.at(size_t(virtualKey)); }
    bool send(const InputMessage& message) override
    {
        sent.emplace_back(wire(message, kInputMessageSize), cache[inputMessageWord(message, 2)]);
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
    FakeKeys keys;

    void SetUp() override { keys.cache = cache; }
    // The messages one scan sends, with the cache's entry for the key at each send.
    std::vector<std::pair<Bytes, uint8_t>> scan(bool focusLost = false)
    {
        keys.sent.clear();
        int count = focusLost ? releaseHeldKeys(cache, keys) : scanKeys(cache, keys);
        EXPECT_EQ(int(keys.sent.size()), count);
        return keys.sent;
    }
};

TEST_F(KeyScan, EachChangeOnceInKeyOrderAndRepeatsNot)
{
    using Sent = std::vector<std::pair<Bytes, uint8_t>>;
    EXPECT_EQ(Sent{}, scan());
    keys.state[0x41] = 0xFF80;  // GetKeyState's SHORT for a held key
    keys.state[0x14] = 0x0001;  // caps lock on, key up: the toggle bit is no down state
    keys.state[0x90] = 0x7FFF;  // every bit but the top one
    // The cache holds the new state before the send.
    EXPECT_EQ((Sent{{keyMessage(0x41, 0), 1}}), scan());
    EXPECT_EQ(Sent{}, scan());  // auto-repeat: the same state again

    keys.state[0xA0] = 0x8000;  // left shift, side-specific
    keys.state[0x10] = 0x8000;  // shift, generic
    keys.state[0x01] = 0x8000;  // left mouse button, part of the key state
    keys.state[0xFF] = 0x8000;  // the last code is scanned too
    keys.state[0x41] = 0;
    EXPECT_EQ((Sent{{keyMessage(0x01, 0), 1},
                    {keyMessage(0x10, 0), 1},
                    {keyMessage(0x41, 1), 0},
                    {keyMessage(0xA0, 0), 1},
                    {keyMessage(0xFF, 0), 1}}),
              scan());
}

TEST_F(KeyScan, FailedSendIsNotRepeated)
{
    keys.failSends = true;
    keys.state[0x51] = 0x8000;
    EXPECT_EQ(1u, scan().size());
    EXPECT_EQ(1, cache[0x51]);
    keys.failSends = false;
    EXPECT_TRUE(scan().empty());
}

// Focus lost with Shift and A held: both go up remotely at once, once; when the keys come
// up locally nothing follows, and a key still held is pressed anew.
TEST_F(KeyScan, FocusLossReleasesEveryHeldKeyOnce)
{
    using Sent = std::vector<std::pair<Bytes, uint8_t>>;
    for (int key : {0x10, 0x41, 0x51, 0xA0})
        keys.state[key] = 0x8000;
    scan();
    EXPECT_EQ((Sent{{keyMessage(0x10, 1), 0}, {keyMessage(0x41, 1), 0}, {keyMessage(0x51, 1), 0},
                    {keyMessage(0xA0, 1), 0}}),
              scan(true));
    EXPECT_EQ(Sent{}, scan(true));
    keys.state[0x10] = keys.state[0x41] = keys.state[0xA0] = 0;
    EXPECT_EQ((Sent{{keyMessage(0x51, 0), 1}}), scan());
}

}  // namespace
