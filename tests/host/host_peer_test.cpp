// The real tavimo-host on a private Xvfb, reached through loopback by its own user (the
// test, root) and by another local user.
#include <gtest/gtest.h>

#include "tests/support/other_user.h"
#include "tests/support/private_xvfb.h"
#include "tests/support/session_peer.h"

namespace {

// 0 when the host closes `fd` without sending a byte; on the frame port after being
// asked for a frame.
int closedUnanswered(int fd, bool askForFrame)
{
    if (fd < 0)
        return 1;
    if (askForFrame)
        sendControl(fd, MSG_NEXT_FRAME);  // may already meet the close
    uint8_t byte;
    ssize_t got = recv(fd, &byte, 1, 0);
    return got == 0 || (got < 0 && errno == ECONNRESET) ? 0 : 2;
}

TEST(HostPeerTest, OnlyTheHostsOwnUserGetsInThroughLoopbackUnlessOthersAreAllowed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    PrivateXvfb xvfb{320, 240};
    ASSERT_NE(xvfb.display(), nullptr) << "no Xvfb";
    {
        PeerProcess host(TAVIMO_HOST_BINARY, {"--display", xvfb.name()});
        ASSERT_TRUE(host.waitReady());
        EXPECT_EQ(asOtherUser([&] { return closedUnanswered(host.connect(kFramePort), true); }), 0);
        EXPECT_TRUE(host.waitForLine("peer-refused frame uid=65534 "));
        // No session was started for it: the host's own user is served.
        int frame = host.connect(kFramePort);
        EXPECT_FALSE(fetchFrame(frame).empty());

        // The input port is polled only while a session runs.
        EXPECT_EQ(asOtherUser([&] { return closedUnanswered(host.connect(kInputPort), false); }), 0);
        EXPECT_TRUE(host.waitForLine("peer-refused input uid=65534 "));
        EXPECT_EQ(host.count("input-connected"), 0);
        host.connect(kInputPort);
        EXPECT_TRUE(host.waitForLine("input-connected"));
        EXPECT_EQ(host.count("peer-refused"), 2);
    }
    PeerProcess host(TAVIMO_HOST_BINARY, {"--display", xvfb.name(), "--allow-other-users"});
    ASSERT_TRUE(host.waitReady());
    EXPECT_EQ(asOtherUser([&] { return fetchFrame(host.connect(kFramePort)).empty() ? 1 : 0; }), 0);
    EXPECT_TRUE(host.waitForLine("frame-connected"));
    EXPECT_EQ(host.count("peer-refused"), 0);
}

}  // namespace
