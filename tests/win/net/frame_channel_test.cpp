#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "app/globals.h"
#include "connect/connect_dialog_win.h"
#include "display/jpeg_decoder.h"
#include "tests/support/memory_target.h"
#include "net/frame_channel_win.h"
#include "tests/win/support/recorded_messages.h"
#include "tests/win/support/test_server.h"

namespace {


struct Exchange {
    std::vector<int32_t> bodies;  // totalReceived of every body read
    std::vector<DecodeResult> decoded;
    int32_t lastWidth = 0, lastHeight = 0;
};

void connectFrameChannel(const TestServer& server)
{
    ASSERT_FALSE(openSocket(frameChannel));
    std::wstring text(server.address.begin(), server.address.end());
    wcscpy(destinationText, text.c_str());
    ASSERT_FALSE(resolveAndConnect(frameChannel, nullptr, destinationText, kFramePort));
    frameChannel.bodyPhase = false;
    frameChannel.remaining = 0;
    frameChannel.totalReceived = 0;
    WSAResetEvent(frameChannel.netEvent);
}

// The lock-step as the viewer runs it, with every body decoded into memory.
Exchange runExchange(const TestServer& server)
{
    Exchange result;
    connectFrameChannel(server);
    sendControl(MSG_NEXT_FRAME);
    EXPECT_NE(SOCKET_ERROR, WSAEventSelect(frameChannel.sock, frameChannel.netEvent, FD_READ | FD_WRITE | FD_CLOSE));
    while (!waitForRead(frameChannel)) {
        if (!frameChannel.bodyPhase) {
            if (readFrameHeader(frameChannel) == HeaderRead::Complete)
                sendControl(MSG_SEND_BODY);
            continue;
        }
        int32_t got = readFrameBody(frameChannel);
        result.bodies.push_back(got);
        MemoryTarget target;
        DecodeOptions options;
        options.quiet = true;
        result.decoded.push_back(decodeJpegFrame(frameChannel.frameBuffer, size_t(got), target, options));
        result.lastWidth = target.width;
        result.lastHeight = target.height;
        sendControl(MSG_NEXT_FRAME);
        frameChannel.totalReceived = 0;
    }
    return result;
}

std::vector<int32_t> announcedBodies(const TestServer& server)
{
    std::vector<int32_t> sizes;
    for (const std::string& line : server.log())
        if (line.rfind("frame-send body ", 0) == 0)
            sizes.push_back(std::stoi(line.substr(16)));
    return sizes;
}

TEST(FrameChannel, ManyFramesInLockStepUntilTheServerCloses)
{
    clearRecordedMessages();
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 320x240 --close-after 40"));
    Exchange exchange = runExchange(server);
    ASSERT_EQ(40u, exchange.bodies.size());
    EXPECT_EQ(announcedBodies(server), exchange.bodies);
    for (DecodeResult r : exchange.decoded)
        EXPECT_EQ(DecodeResult::Decoded, r);
    EXPECT_EQ(320, exchange.lastWidth);
    EXPECT_EQ(240, exchange.lastHeight);
    EXPECT_EQ(std::vector<std::wstring>{L"切断されました(+_+)"}, recordedTexts());
    EXPECT_EQ(INVALID_SOCKET, frameChannel.sock);
    EXPECT_TRUE(server.waitFor("session-end"));
    // Every header was answered by exactly one body request.
    EXPECT_EQ(server.count("frame-send header"), server.count("frame-recv SEND_BODY"));
}

TEST(FrameChannel, SplitHeadersAndBodiesInPiecesArriveWhole)
{
    clearRecordedMessages();
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 200x100 --split-header --body-pieces 9 --piece-delay-ms 15 --close-after 3"));
    Exchange exchange = runExchange(server);
    ASSERT_EQ(3u, exchange.bodies.size());
    EXPECT_EQ(announcedBodies(server), exchange.bodies);
    for (DecodeResult r : exchange.decoded)
        EXPECT_EQ(DecodeResult::Decoded, r);
}

TEST(FrameChannel, BytesBeyondABodyStayInTheSocket)
{
    clearRecordedMessages();
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 64x48 --extra-bytes 6 --close-after 1"));
    Exchange exchange = runExchange(server);
    ASSERT_GE(exchange.bodies.size(), 1u);
    EXPECT_EQ(announcedBodies(server).at(0), exchange.bodies[0]);
    EXPECT_EQ(DecodeResult::Decoded, exchange.decoded[0]);
}

TEST(FrameChannel, OversizedAnnouncementEndsTheChannelUnread)
{
    clearRecordedMessages();
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 64x48 --announce 40000000"));
    Exchange exchange = runExchange(server);
    EXPECT_TRUE(exchange.bodies.empty());
    EXPECT_EQ(std::vector<std::wstring>{L"受信エラー\r\nフレームが大きすぎます(*_*)"}, recordedTexts());
    EXPECT_EQ(INVALID_SOCKET, frameChannel.sock);
    EXPECT_EQ(0, server.count("frame-recv SEND_BODY"));
}

TEST(FrameChannel, LargeBodyGrowsTheFrameBuffer)
{
    clearRecordedMessages();
    TestServer server;
    // Noise-like frames of this size encode well above the first 500000-byte buffer.
    ASSERT_TRUE(server.start("--pattern 1920x1080 --quality 100 --close-after 2"));
    Exchange exchange = runExchange(server);
    ASSERT_EQ(2u, exchange.bodies.size());
    EXPECT_EQ(announcedBodies(server), exchange.bodies);
    EXPECT_EQ(DecodeResult::Decoded, exchange.decoded[1]);
    EXPECT_GE(frameChannel.frameCapacity, exchange.bodies[0]);
}

// A peer inside the test, for event orders the server cannot force.
struct LocalPeer {
    SOCKET listener = INVALID_SOCKET;
    SOCKET accepted = INVALID_SOCKET;
    std::string address = freshLoopbackAddress();

    void listenAndConnectFrameChannel()
    {
        listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_port = htons(kFramePort);
        at.sin_addr.s_addr = inet_addr(address.c_str());
        ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at));
        ASSERT_EQ(0, listen(listener, 1));
        ASSERT_FALSE(openSocket(frameChannel));
        std::wstring text(address.begin(), address.end());
        wcscpy(destinationText, text.c_str());
        ASSERT_FALSE(resolveAndConnect(frameChannel, nullptr, destinationText, kFramePort));
        accepted = accept(listener, nullptr, nullptr);
        ASSERT_NE(INVALID_SOCKET, accepted);
        frameChannel.bodyPhase = false;
        WSAResetEvent(frameChannel.netEvent);
        ASSERT_NE(SOCKET_ERROR, WSAEventSelect(frameChannel.sock, frameChannel.netEvent, FD_READ | FD_WRITE | FD_CLOSE));
    }
    ~LocalPeer()
    {
        closesocket(accepted);
        closesocket(listener);
        closeSocket(frameChannel);
    }
};

TEST(FrameChannelEvents, CloseAfterDataIsReportedOnceTheDataIsRead)
{
    // Winsock reports the close once the data before it has been read.
    clearRecordedMessages();
    LocalPeer peer;
    peer.listenAndConnectFrameChannel();
    const char header[4] = {0x10, 0, 0, 0};
    send(peer.accepted, header, 4, 0);
    closesocket(peer.accepted);
    peer.accepted = INVALID_SOCKET;
    Sleep(300);
    ASSERT_FALSE(waitForRead(frameChannel));
    EXPECT_EQ(HeaderRead::Complete, readFrameHeader(frameChannel));
    EXPECT_TRUE(waitForRead(frameChannel));
    EXPECT_EQ(std::vector<std::wstring>{L"切断されました(+_+)"}, recordedTexts());
    EXPECT_EQ(INVALID_SOCKET, frameChannel.sock);
    // A channel that has ended stays ended without waiting.
    EXPECT_TRUE(waitForRead(frameChannel));
    EXPECT_EQ(1u, recordedTexts().size());
}

TEST(FrameChannelEvents, WriteReadinessAloneOnlyWaitsAgain)
{
    clearRecordedMessages();
    LocalPeer peer;
    peer.listenAndConnectFrameChannel();
    // The selection reports FD_WRITE at once; the wait must sleep through it.
    std::thread later([&] {
        Sleep(300);
        const char header[4] = {0x20, 0, 0, 0};
        send(peer.accepted, header, 4, 0);
    });
    EXPECT_FALSE(waitForRead(frameChannel));
    u_long waiting = 0;
    ioctlsocket(frameChannel.sock, FIONREAD, &waiting);
    later.join();
    EXPECT_EQ(4u, waiting);
    EXPECT_EQ(HeaderRead::Complete, readFrameHeader(frameChannel));
    EXPECT_EQ(0x20, frameChannel.remaining);
    EXPECT_TRUE(recordedTexts().empty());
}

}  // namespace
