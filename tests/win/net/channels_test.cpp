// The channels on real Winsock: the frame channel as the receiver thread runs it, the
// destination as the resolver takes it, a handle closed once, and the input sender.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "app/globals.h"
#include "display/jpeg_decoder.h"
#include "input/input_message.h"
#include "net/frame_channel_win.h"
#include "tests/support/memory_target.h"
#include "tests/win/support/recorded_messages.h"
#include "tests/win/support/test_server.h"

namespace {

void connectFrameChannel(const std::string& address)
{
    takeRecordedTexts();
    ASSERT_FALSE(openSocket(frameChannel));
    ASSERT_FALSE(resolveAndConnect(frameChannel, nullptr, wide(address).c_str(), kFramePort));
    frameChannel.bodyPhase = false;
    WSAResetEvent(frameChannel.netEvent);
    ASSERT_NE(SOCKET_ERROR, WSAEventSelect(frameChannel.sock, frameChannel.netEvent, FD_READ | FD_WRITE | FD_CLOSE));
}

TEST(FrameChannel, FramesInLockStepWhateverPiecesTheyComeInUntilTheEnd)
{
    const std::wstring closed = L"切断されました(+_+)";
    const struct {
        const char* arguments;
        size_t frames;
        std::wstring message;
    } cases[] = {
        {"--pattern 200x100 --split-header --body-pieces 9 --piece-delay-ms 15 --close-after 3", 3, closed},
        // Noise-like frames of this size encode well above the first 500000-byte buffer.
        {"--pattern 1920x1080 --quality 100 --close-after 2", 2, closed},
        {"--pattern 64x48 --announce 40000000", 0, L"受信エラー\r\nフレームが大きすぎます(*_*)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        TestServer server;
        ASSERT_TRUE(server.start(c.arguments));
        ASSERT_NO_FATAL_FAILURE(connectFrameChannel(server.address));
        // The exchange as the receiver runs it, every body decoded.
        std::vector<int32_t> bodies;
        sendControl(MSG_NEXT_FRAME);
        while (!waitForRead(frameChannel)) {
            if (!frameChannel.bodyPhase) {
                if (readFrameHeader(frameChannel) == HeaderRead::Complete)
                    sendControl(MSG_SEND_BODY);
                continue;
            }
            bodies.push_back(readFrameBody(frameChannel));
            MemoryTarget target;
            DecodeOptions quiet;
            quiet.quiet = true;
            EXPECT_EQ(DecodeResult::Decoded,
                      decodeJpegFrame(frameChannel.frameBuffer, size_t(bodies.back()), target, quiet));
            EXPECT_GE(frameChannel.frameCapacity, bodies.back());
            sendControl(MSG_NEXT_FRAME);
            frameChannel.totalReceived = 0;
        }
        std::vector<int32_t> announced;
        for (const std::string& line : server.log())
            if (line.rfind("frame-send body ", 0) == 0 && announced.size() < bodies.size())
                announced.push_back(std::stoi(line.substr(16)));
        EXPECT_EQ(c.frames, bodies.size());
        EXPECT_EQ(announced, bodies);
        EXPECT_EQ(std::vector<std::wstring>{c.message}, takeRecordedTexts());
        EXPECT_EQ(INVALID_SOCKET, frameChannel.sock);
        // Every header was answered by exactly one body request; the oversized one by none.
        EXPECT_EQ(c.frames ? server.count("frame-send header") : 0, server.count("frame-recv SEND_BODY"));
    }
}

// On a peer inside the test: write readiness alone only waits again, and the data a
// close follows is read before the close is told, once; the channel then stays ended.
TEST(FrameChannel, AWaitSleepsThroughWriteReadinessAndACloseComesAfterItsData)
{
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_port = htons(kFramePort);
    at.sin_addr.s_addr = inet_addr(freshLoopbackAddress().c_str());
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at));
    ASSERT_EQ(0, listen(listener, 1));
    ASSERT_NO_FATAL_FAILURE(connectFrameChannel(inet_ntoa(at.sin_addr)));
    SOCKET peer = accept(listener, nullptr, nullptr);
    std::thread later([&] {
        Sleep(300);  // the selection reports FD_WRITE at once
        send(peer, "\x10\0\0\0", 4, 0);
        closesocket(peer);
    });
    EXPECT_FALSE(waitForRead(frameChannel));
    EXPECT_EQ(HeaderRead::Complete, readFrameHeader(frameChannel));  // read before the peer sent, it is not
    later.join();
    EXPECT_EQ(0x10, frameChannel.remaining);
    EXPECT_TRUE(waitForRead(frameChannel));
    EXPECT_TRUE(waitForRead(frameChannel));
    EXPECT_EQ(std::vector<std::wstring>{L"切断されました(+_+)"}, takeRecordedTexts());
    closesocket(listener);
}

// ASCII reaches the resolver as typed, all 127 characters; the rest through IDNA, never
// as low bytes; what IDNA refuses is refused before any look-up.
TEST(ResolveAndConnect, DestinationAsTheResolverTakesIt)
{
    std::wstring longName(118, L'a');
    longName += L".invalid";
    longName.resize(127, L'z');
    const wchar_t* unknown = L"接続エラー\r\nこのホスト名は存在しません(*_*)";
    const struct {
        std::wstring typed;
        std::string resolved;
        const wchar_t* message;
    } cases[] = {
        {longName, std::string(longName.begin(), longName.end()), unknown},
        {L"\x65E5\x672C\x8A9E.invalid", "xn--wgv71a119e.invalid", unknown},
        {L"\x0131\x0132\x0137\x012E\x0130\x012E\x0130\x012E\x0131", "xn--ijii-czabbjh8cv35aca", unknown},
        {L"a\xE000.invalid", "", L"接続エラー\r\n接続先に使えない文字が含まれています(*_*)"},
    };
    for (const auto& c : cases) {
        takeRecordedTexts();
        NetConnection conn{true};
        ASSERT_FALSE(openSocket(conn));
        EXPECT_TRUE(resolveAndConnect(conn, nullptr, c.typed.c_str(), kFramePort));
        EXPECT_EQ(c.resolved, std::string(conn.hostText));
        EXPECT_EQ(std::vector<std::wstring>{c.message}, takeRecordedTexts()) << c.resolved;
    }
}

// A closed channel's handle value may be given to the next socket; closing or sending on
// the closed channel again must not reach that one.
TEST(NetConnectionSocket, ClosedOnceSoAReusedHandleIsLeftAlone)
{
    NetConnection first{true}, second{true};
    ASSERT_FALSE(openSocket(first));
    SOCKET old = first.sock;
    closeSocket(first);
    EXPECT_EQ(INVALID_SOCKET, first.sock);
    int type = 0, size = sizeof type;
    EXPECT_EQ(SOCKET_ERROR, getsockopt(old, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size));
    ASSERT_FALSE(openSocket(second));
    closeSocket(first);
    EXPECT_EQ(SOCKET_ERROR, sendOn(first, "\x01\x05\0\0", 4));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    EXPECT_EQ(0, getsockopt(second.sock, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size));
}

// Every queued message whole and in order, through partial sends and write events.
TEST(InputSender, APeerThatReadsLateGetsEveryMessageWholeAndInOrder)
{
    takeRecordedTexts();
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int small = 4096;  // so the sends block long before the queue is through
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = inet_addr(freshLoopbackAddress().c_str());
    int length = sizeof at;
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at));
    ASSERT_EQ(0, listen(listener, 1));
    getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length);
    ASSERT_FALSE(openSocket(inputChannel));
    ASSERT_FALSE(connectToAddress(inputChannel, nullptr, at.sin_addr, ntohs(at.sin_port)));
    SOCKET peer = accept(listener, nullptr, nullptr);
    DWORD patience = 10000;
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&patience), sizeof patience);
    ASSERT_FALSE(startInputSender());

    std::string queued, read;
    for (int i = 0; i < 3000; ++i) {  // 60000 bytes: more than the sockets hold, within the bound
        InputMessage message;
        buildMouseMessage(message, uint32_t(i), uint32_t(i * 7), i, -i);
        queueInput(message.bytes, kInputMessageSize);
        queued.append(reinterpret_cast<const char*>(message.bytes), kInputMessageSize);
    }
    Sleep(200);  // let the sender run into the full buffers
    char buffer[4096];
    for (int got; read.size() < queued.size() && (got = recv(peer, buffer, sizeof buffer, 0)) > 0;)
        read.append(buffer, size_t(got));
    EXPECT_TRUE(queued == read) << read.size() << " of " << queued.size() << " bytes";
    EXPECT_TRUE(takeRecordedTexts().empty());

    stopInputSender(1000);
    closeSocket(inputChannel);
    closesocket(peer);
    closesocket(listener);
}

}  // namespace
