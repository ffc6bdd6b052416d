// The counterpart server's answers to what no viewer sends (the Windows-side tests put the
// rest through the viewer), and its exit when its address is taken, which they rely on.
#include <gtest/gtest.h>

#include "tests/support/session_peer.h"

namespace {

TEST(ServerTest, ControlMessagesOutOfTurnOrMalformedEndTheSession)
{
    const struct {
        uint32_t code;
        uint8_t paddingByte;
        const char* logged;
    } cases[] = {
        {MSG_SEND_BODY, 0, "frame-recv unexpected 0x00000201 0x00000000 0x00000000"},  // before any header
        {MSG_NEXT_FRAME, 0x7F, "frame-recv unexpected 0x00000101 0x00000000 0x0000007F"},
        {0x0999, 0, "frame-recv unexpected 0x00000999 0x00000000 0x00000000"},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.logged);
        PeerProcess server(TAVIMO_SERVER_BINARY, {"--once"});
        ASSERT_TRUE(server.waitReady());
        int frame = server.connect(kFramePort);
        ASSERT_TRUE(sendControl(frame, bad.code, bad.paddingByte));
        EXPECT_TRUE(receive(frame).empty());
        ASSERT_TRUE(server.waitForLine("session-end"));
        EXPECT_EQ(server.count(bad.logged), 1);
        EXPECT_EQ(server.count("frame-closed-by-server unexpected"), 1);
        EXPECT_EQ(server.waitExit(), 0);
    }
}

TEST(ServerTest, ATakenAddressIsLoggedAndEndsWithOne)
{
    PeerProcess first(TAVIMO_SERVER_BINARY, {});
    ASSERT_TRUE(first.waitReady());
    PeerProcess second(TAVIMO_SERVER_BINARY, {}, first.address);
    EXPECT_FALSE(second.waitReady());
    EXPECT_EQ(second.waitExit(), 1);
    EXPECT_EQ(second.count(""), 1);
    EXPECT_EQ(second.count("listen-failed bind " + first.address + ":54321: "), 1);
}

}  // namespace
