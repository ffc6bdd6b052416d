#include "input/input_message.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kKeyA = 0x41, kKeyQ = 0x51, kKeyZ = 0x5A;

Bytes wire(const InputMessage& message, int count)
{
    return Bytes(message.bytes, message.bytes + count);
}

TEST(InputMessage, WireBytes)
{
    // A left release at client (10, 20) of a 640x480 view scrolled by (100, 50).
    InputMessage mouse;
    buildMouseMessage(mouse, kMouseLeftUp, packFramePosition(20u * 65536u + 10u, 100, 50), 640, 480);
    EXPECT_EQ(wire(mouse, kInputMessageSize), (Bytes{0x01, 0x03, 0, 0, 0x02, 0x02, 0, 0, 0x6E, 0, 0x46, 0, 0x80,
                                                     0x02, 0, 0, 0xE0, 0x01, 0, 0}));
    // Commands go as their type word alone, from a record cleared of what came before.
    for (uint32_t type : {MSG_SERVER_EXIT, MSG_TELNET}) {
        InputMessage command = mouse;
        ASSERT_EQ(buildCommandMessage(command, type), 4);
        EXPECT_EQ(wire(command, kInputMessageSize), (Bytes{0x01, uint8_t(type >> 8), 0, 0, 0, 0, 0, 0, 0, 0,
                                                           0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    }
}

TEST(InputMessage, PackedPositionWrapsModulo2To32)
{
    EXPECT_EQ(packFramePosition(0x0000FFFFu, 1, 0), 0x00010000u);  // x carries into y
    EXPECT_EQ(packFramePosition(0xFFFF0000u, 0, 1), 0x00000000u);  // y drops off the top
    EXPECT_EQ(packFramePosition(0xFFFFFFFFu, 1, 0), 0x00000000u);
    EXPECT_EQ(packFramePosition(5u * 65536u + 3u, -3, -5), 0u);    // negative offsets subtract
    EXPECT_EQ(packFramePosition(0, 0, -1), 0xFFFF0000u);
}

TEST(InputMessage, WhichMouseMessagesAreForwarded)
{
    const struct {
        uint32_t message;
        uintptr_t wParam;
        int32_t code;
    } cases[] = {
        // Moves count only as left drags, whatever else is held.
        {kWmMouseMove, kMkLButton, kMouseLeftDrag},
        {kWmMouseMove, kMkLButton | 0x0004 | 0x0008, kMouseLeftDrag},
        {kWmMouseMove, 0, kNotForwarded},
        {kWmMouseMove, 0x0012, kNotForwarded},
        {kWmLButtonUp, 0, kMouseLeftUp},
        {kWmRButtonDown, 0, kMouseRightDown},
        {kWmRButtonUp, 0, kMouseRightUp},
        {kWmMButtonDown, 0, kMouseMiddleDown},
        {kWmMButtonUp, 0, kMouseMiddleUp},
        // The left press, the double clicks (the left one has its own path), wheel, extra buttons.
        {kWmLButtonDown, kMkLButton, kNotForwarded},
        {kWmLButtonDblClk, 0, kNotForwarded},
        {kWmRButtonDblClk, 0, kNotForwarded},
        {kWmMButtonDblClk, 0, kNotForwarded},
        {0x020A, kMkLButton, kNotForwarded},
        {0x020B, 0, kNotForwarded},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mouseEventForMessage(c.message, c.wParam), c.code) << std::hex << c.message << " " << c.wParam;
}

// GetKeyState as an array; every send recorded with the cache as it stood then.
struct FakeKeys final : KeyScanIo {
    std::array<uint16_t, kVirtualKeyCount> state{};
    const uint8_t* cache = nullptr;
    bool failSends = false;
    std::vector<Bytes> sent;
    std::vector<uint8_t> cacheAtSend;

    uint16_t keyState(int virtualKey) override { return state.at(size_t(virtualKey)); }
    bool send(const InputMessage& message) override
    {
        sent.push_back(wire(message, kInputMessageSize));
        cacheAtSend.push_back(cache[inputMessageWord(message, 2)]);
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
    // The messages a scan (or the release on focus loss) sends.
    std::vector<Bytes> scan()
    {
        keys.sent.clear();
        keys.cacheAtSend.clear();
        EXPECT_EQ(int(scanKeys(cache, keys)), int(keys.sent.size()));
        return keys.sent;
    }
    std::vector<Bytes> release()
    {
        keys.sent.clear();
        keys.cacheAtSend.clear();
        EXPECT_EQ(int(releaseHeldKeys(cache, keys)), int(keys.sent.size()));
        return keys.sent;
    }
};

TEST_F(KeyScan, PressRepeatRelease)
{
    EXPECT_TRUE(scan().empty());
    keys.state[kKeyA] = 0xFF80;  // GetKeyState's SHORT for a held key
    EXPECT_EQ(scan(), std::vector<Bytes>{keyMessage(kKeyA, 0)});
    EXPECT_EQ(keys.cacheAtSend.back(), 1) << "cache must be written before the send";
    EXPECT_TRUE(scan().empty());  // auto-repeat: the same state again
    keys.state[kKeyA] = 0;
    EXPECT_EQ(scan(), std::vector<Bytes>{keyMessage(kKeyA, 1)});
    EXPECT_EQ(cache[kKeyA], 0);
}

TEST_F(KeyScan, ToggleBitIsNotADownState)
{
    keys.state[0x14] = 0x0001;  // caps lock on, key up
    keys.state[0x90] = 0x7FFF;  // every bit but the top one
    EXPECT_TRUE(scan().empty());
    keys.state[0x14] = 0x8001;
    EXPECT_EQ(scan(), std::vector<Bytes>{keyMessage(0x14, 0)});
}

TEST_F(KeyScan, EveryChangeInAscendingOrder)
{
    // Left shift under both codes, the left mouse button (part of the key state), the last code.
    for (int k : {0xA0, 0x10, 0x01, 0xFF})
        keys.state[k] = 0x8000;
    EXPECT_EQ(scan(), (std::vector<Bytes>{keyMessage(0x01, 0), keyMessage(0x10, 0), keyMessage(0xA0, 0),
                                          keyMessage(0xFF, 0)}));
    // Shift released while another key goes down: one release and one press.
    keys.state[0x10] = keys.state[0xA0] = 0;
    keys.state[kKeyZ] = 0x8000;
    EXPECT_EQ(scan(), (std::vector<Bytes>{keyMessage(0x10, 1), keyMessage(kKeyZ, 0), keyMessage(0xA0, 1)}));
}

TEST_F(KeyScan, FailedSendIsNotRepeated)
{
    keys.failSends = true;
    keys.state[kKeyQ] = 0x8000;
    EXPECT_EQ(scan().size(), 1u);
    keys.failSends = false;
    EXPECT_TRUE(scan().empty());
}

// Focus lost with Shift and A held: both go up remotely at once, and when the keys come
// back up locally nothing is sent again; a key still held then is pressed anew.
TEST_F(KeyScan, FocusLossReleasesEveryHeldKeyOnce)
{
    for (int k : {0x10, 0xA0, int(kKeyA), int(kKeyQ)})
        keys.state[k] = 0x8000;
    scan();
    EXPECT_EQ(release(), (std::vector<Bytes>{keyMessage(0x10, 1), keyMessage(kKeyA, 1), keyMessage(kKeyQ, 1),
                                             keyMessage(0xA0, 1)}));
    EXPECT_EQ(keys.cacheAtSend, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_TRUE(release().empty());
    keys.state[0x10] = keys.state[0xA0] = keys.state[kKeyA] = 0;
    EXPECT_EQ(scan(), std::vector<Bytes>{keyMessage(kKeyQ, 0)});
}

}  // namespace
