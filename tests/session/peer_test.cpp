// Who may connect: the decision, and the owner of a real connecting socket as the
// kernel's tables tell it, by netlink and by the /proc files.
#include <gtest/gtest.h>

#include <netdb.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

#include "session/peer_admission.h"
#include "session/peer_owner_linux.h"
#include "tests/support/other_user.h"
#include "tests/support/session_peer.h"

namespace {

TEST(PeerAdmissionTest, OnlyTheOwnUserThroughLoopbackUnlessOthersAreAllowed)
{
    const struct { bool loopback; PeerOwner owner; bool allowOthers, accept; const char* reason; } rows[] = {
        {true, PeerOwner::SameUser, false, true, "same-user"},
        {true, PeerOwner::OtherUser, false, false, "other-user"},
        {true, PeerOwner::Unknown, false, false, "owner-unknown"},
        {false, PeerOwner::OtherUser, false, true, "not-loopback"},
        {false, PeerOwner::Unknown, false, true, "not-loopback"},
        {true, PeerOwner::OtherUser, true, true, "other-users-allowed"},
        {true, PeerOwner::Unknown, true, true, "other-users-allowed"},
    };
    for (const auto& row : rows) {
        Admission admission = admitPeer(row.loopback, row.owner, row.allowOthers);
        EXPECT_EQ(admission.accept, row.accept) << row.reason;
        EXPECT_STREQ(admission.reason, row.reason);
    }
    EXPECT_EQ(ownerOfUid(false, 0, 0), PeerOwner::Unknown);
    EXPECT_EQ(ownerOfUid(true, 1000, 1000), PeerOwner::SameUser);
    EXPECT_EQ(ownerOfUid(true, 0, 1000), PeerOwner::OtherUser);
    EXPECT_EQ(ownerOfUid(true, kOtherUid, 0), PeerOwner::OtherUser);
}

socklen_t socketAddress(const std::string& text, uint16_t port, sockaddr_storage& out)
{
    addrinfo hints{}, *found = nullptr;
    hints.ai_flags = AI_NUMERICHOST;
    if (getaddrinfo(text.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return 0;
    socklen_t length = found->ai_addrlen;
    std::memcpy(&out, found->ai_addr, length);
    freeaddrinfo(found);
    return length;
}

// Accepted connections from another user, over IPv4, IPv6 and v4-mapped IPv6 on
// either side; a client that has closed its end has no owner left, though the kernel
// still lists its connection (as uid 0, which must not pass for root).
TEST(PeerOwnerTest, TheConnectingSocketsUserFromEitherTable)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    const std::string v4 = randomLoopbackAddress();
    const struct { std::string listen, connect; bool closedFirst; } rows[] = {
        {v4, v4, false}, {"::1", "::1", false}, {v4, "::ffff:" + v4, false}, {"::ffff:" + v4, v4, false}, {v4, v4, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.listen + " <- " + row.connect + (row.closedFirst ? " closed" : ""));
        sockaddr_storage where;
        socklen_t length = socketAddress(row.listen, 0, where);
        int listener = socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval timeout{60, 0};  // for accept
        setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&where), length), 0) << strerror(errno);
        ASSERT_EQ(listen(listener, 4), 0);
        getsockname(listener, reinterpret_cast<sockaddr*>(&where), &length);
        uint16_t port = ntohs(reinterpret_cast<sockaddr_in&>(where).sin_port);  // the same place in v6

        auto connectClient = [&] {
            sockaddr_storage to;
            socklen_t toLength = socketAddress(row.connect, port, to);
            int client = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bool connected = connect(client, reinterpret_cast<sockaddr*>(&to), toLength) == 0;
            if (row.closedFirst)
                close(client);
            return connected ? 0 : 1;
        };
        auto lookUp = [&] {
            int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            char byte;
            // A closed client's FIN is here before the lookup.
            ASSERT_TRUE(!row.closedFirst || eventually([&] { return recv(accepted, &byte, 1, MSG_DONTWAIT) == 0; }));
            TcpConnection connection;
            ASSERT_TRUE(connectionOf(accepted, connection));
            EXPECT_EQ(connection.client.v6, row.connect == "::1");
            for (auto lookup : {ownerByNetlink, ownerByProcFiles}) {
                uint32_t uid = 12345;
                EXPECT_EQ(lookup(connection, uid), !row.closedFirst) << (lookup == ownerByNetlink ? "netlink" : "proc");
                EXPECT_EQ(uid, row.closedFirst ? 12345 : kOtherUid);
            }
            close(accepted);
        };
        EXPECT_EQ(asOtherUser(connectClient, lookUp), 0);
        close(listener);
    }
}

}  // namespace
