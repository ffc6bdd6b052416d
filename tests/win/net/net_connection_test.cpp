#include <gtest/gtest.h>

#include "net/net_connection_win.h"
#include "tests/win/support/recorded_messages.h"
#include "tests/win/support/test_server.h"

namespace {

std::wstring wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

HWND ownerWindow()
{
    static HWND window = CreateWindowW(L"STATIC", L"owner", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    return window;
}

TEST(ResolveAndConnect, RefusalIsShownToTheOwnerAndTheSameChannelConnectsLater)
{
    clearRecordedMessages();
    NetConnection conn{true};
    ASSERT_FALSE(openSocket(conn));
    EXPECT_TRUE(resolveAndConnect(conn, ownerWindow(), wide(freshLoopbackAddress()).c_str(), kFramePort));
    auto messages = recordedMessages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(L"接続が拒否されました(+_+)", messages[0].text);
    EXPECT_EQ(ownerWindow(), messages[0].owner);

    // A dotted address is taken as it is: 127.x.y.z has no reverse name here.
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 64x48"));
    EXPECT_FALSE(resolveAndConnect(conn, ownerWindow(), wide(server.address).c_str(), kFramePort));
    EXPECT_TRUE(server.waitFor("frame-connected"));
    EXPECT_EQ(1u, recordedMessages().size());
    EXPECT_EQ(htons(kFramePort), conn.address.sin_port);
    EXPECT_EQ(inet_addr(server.address.c_str()), conn.address.sin_addr.s_addr);
}

// ASCII reaches the resolver as typed, all 127 characters; the rest through IDNA, never
// as low bytes; what IDNA refuses is refused before any look-up.
TEST(ResolveAndConnect, DestinationAsTheResolverTakesIt)
{
    std::wstring longName(118, L'a');
    longName += L".invalid";
    longName.resize(127, L'z');
    const struct {
        std::wstring typed;
        std::string resolved;
        const wchar_t* message;
    } cases[] = {
        {longName, std::string(longName.begin(), longName.end()), L"接続エラー\r\nこのホスト名は存在しません(*_*)"},
        {L"\x65E5\x672C\x8A9E.invalid", "xn--wgv71a119e.invalid", L"接続エラー\r\nこのホスト名は存在しません(*_*)"},
        {L"\x0131\x0132\x0137\x012E\x0130\x012E\x0130\x012E\x0131", "xn--ijii-czabbjh8cv35aca",
         L"接続エラー\r\nこのホスト名は存在しません(*_*)"},
        {L"a\xE000.invalid", "", L"接続エラー\r\n接続先に使えない文字が含まれています(*_*)"},
    };
    for (const auto& c : cases) {
        clearRecordedMessages();
        NetConnection conn{true};
        ASSERT_FALSE(openSocket(conn));
        EXPECT_TRUE(resolveAndConnect(conn, nullptr, c.typed.c_str(), kFramePort));
        EXPECT_EQ(c.resolved, std::string(conn.hostText));
        EXPECT_EQ(std::vector<std::wstring>{c.message}, recordedTexts()) << c.resolved;
        closeSocket(conn);
    }
}

TEST(NetConnectionSocket, ClosedOnceSoAReusedHandleIsLeftAlone)
{
    NetConnection first{true};
    ASSERT_FALSE(openSocket(first));
    SOCKET old = first.sock;
    closeSocket(first);
    EXPECT_EQ(INVALID_SOCKET, first.sock);
    int type = 0, size = sizeof type;
    EXPECT_EQ(SOCKET_ERROR, getsockopt(old, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size));

    // Another channel may now be given the same handle value; closing or sending on the
    // first again must not reach it.
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 64x48"));
    NetConnection second{true};
    ASSERT_FALSE(openSocket(second));
    closeSocket(first);
    const char bytes[4] = {1, 5, 0, 0};
    EXPECT_EQ(SOCKET_ERROR, sendOn(first, bytes, 4));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    EXPECT_FALSE(resolveAndConnect(second, nullptr, wide(server.address).c_str(), kFramePort));
    uint8_t request[kControlMessageSize];
    encodeControlMessage(MSG_NEXT_FRAME, request);
    EXPECT_EQ(kControlMessageSize, sendOn(second, request, kControlMessageSize));
    EXPECT_TRUE(server.waitFor("frame-recv NEXT_FRAME"));
}

}  // namespace
