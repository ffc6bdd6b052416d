#include <gtest/gtest.h>

#include "app/globals.h"
#include "connect/connect_dialog_win.h"
#include "tests/win/support/recorded_messages.h"
#include "tests/win/support/test_server.h"

namespace {

void setDestination(const std::wstring& text)
{
    wcsncpy(destinationText, text.c_str(), kDestinationUnits - 1);
    destinationText[kDestinationUnits - 1] = 0;
}

void setDestination(const std::string& ascii)
{
    setDestination(std::wstring(ascii.begin(), ascii.end()));
}

HWND ownerWindow()
{
    static HWND window = CreateWindowW(L"STATIC", L"owner", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    return window;
}

TEST(ResolveAndConnect, RefusalIsShownToTheOwnerAndTheSameSocketConnectsLater)
{
    clearRecordedMessages();
    NetConnection conn{true};
    ASSERT_FALSE(openSocket(conn));
    setDestination(freshLoopbackAddress());
    EXPECT_TRUE(resolveAndConnect(conn, ownerWindow(), destinationText, kFramePort));
    auto messages = recordedMessages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(L"接続が拒否されました(+_+)", messages[0].text);
    EXPECT_EQ(ownerWindow(), messages[0].owner);

    TestServer server;
    ASSERT_TRUE(server.start("--pattern 64x48"));
    setDestination(server.address);
    EXPECT_FALSE(resolveAndConnect(conn, ownerWindow(), destinationText, kFramePort));
    EXPECT_TRUE(server.waitFor("frame-connected"));
    EXPECT_EQ(1u, recordedMessages().size());
    closeSocket(conn);
}

TEST(ResolveAndConnect, DottedAddressWithoutReverseNameConnects)
{
    // 127.x.y.z other than 127.0.0.1 has no reverse name here.
    clearRecordedMessages();
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 64x48"));
    NetConnection conn{true};
    ASSERT_FALSE(openSocket(conn));
    setDestination(server.address);
    EXPECT_FALSE(resolveAndConnect(conn, nullptr, destinationText, kFramePort));
    EXPECT_TRUE(recordedTexts().empty());
    EXPECT_EQ(htons(kFramePort), conn.address.sin_port);
    EXPECT_EQ(inet_addr(server.address.c_str()), conn.address.sin_addr.s_addr);
    EXPECT_TRUE(server.waitFor("frame-connected"));
    closeSocket(conn);
}

TEST(ResolveAndConnect, UnknownNameIsNotConnected)
{
    clearRecordedMessages();
    NetConnection conn{true};
    ASSERT_FALSE(openSocket(conn));
    setDestination(std::string("no-such-host.invalid"));
    EXPECT_TRUE(resolveAndConnect(conn, ownerWindow(), destinationText, kFramePort));
    EXPECT_EQ(std::vector<std::wstring>{L"接続エラー\r\nこのホスト名は存在しません(*_*)"}, recordedTexts());
    closeSocket(conn);
}

TEST(ResolveAndConnect, WholeDestinationReachesTheResolverAsLowBytes)
{
    clearRecordedMessages();
    NetConnection conn{true};
    ASSERT_FALSE(openSocket(conn));
    // 127 units: the longest destination the dialog takes, far beyond 63.
    std::wstring longName(120, L'a');
    longName += L"\x3042.invalid";  // U+3042 narrows to its low byte, 'B'
    longName.resize(127, L'z');
    setDestination(longName);
    EXPECT_TRUE(resolveAndConnect(conn, nullptr, destinationText, kFramePort));
    std::string expected(120, 'a');
    expected += "B.invalid";
    expected.resize(127, 'z');
    EXPECT_EQ(expected, std::string(conn.hostText));
    EXPECT_EQ(1u, recordedTexts().size());
    closeSocket(conn);
}

TEST(NetConnectionSocket, ClosedOnceSoAReusedHandleIsLeftAlone)
{
    NetConnection first{true};
    ASSERT_FALSE(openSocket(first));
    SOCKET old = first.sock;
    closeSocket(first);
    EXPECT_EQ(INVALID_SOCKET, first.sock);

    // Another channel may now be given the same handle value; closing, shutting down
    // or sending on the first again must not reach it.
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 64x48"));
    NetConnection second{true};
    ASSERT_FALSE(openSocket(second));
    closeSocket(first);
    const char bytes[4] = {1, 5, 0, 0};
    EXPECT_EQ(SOCKET_ERROR, sendOn(first, bytes, 4));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    setDestination(server.address);
    EXPECT_FALSE(resolveAndConnect(second, nullptr, destinationText, kFramePort));
    uint8_t request[kControlMessageSize];
    encodeControlMessage(MSG_NEXT_FRAME, request);
    EXPECT_EQ(kControlMessageSize, sendOn(second, request, kControlMessageSize));
    EXPECT_TRUE(server.waitFor("frame-recv NEXT_FRAME"));
    (void)old;
    closeSocket(second);
}

}  // namespace
