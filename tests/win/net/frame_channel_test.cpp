#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "app/globals.h"
#include "display/jpeg_decoder.h"
#include "net/frame_channel_win.h"
#include "tests/support/memory_target.h"
#include "tests/win/support/recorded_messages.h"
#include "tests/win/support/test_server.h"

namespace {

std::wstring wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// The lock-step as the viewer runs it, with every body decoded into memory. Returns the
// size of every body read; all of them must decode.
std::vector<int32_t> runExchange(const TestServer& server)
{
    std::vector<int32_t> bodies;
    EXPECT_FALSE(openSocket(frameChannel));
    EXPECT_FALSE(resolveAndConnect(frameChannel, nullptr, wide(server.address).c_str(), kFramePort));
    frameChannel.bodyPhase = false;
    WSAResetEvent(frameChannel.netEvent);
    sendControl(MSG_NEXT_FRAME);
    EXPECT_NE(SOCKET_ERROR, WSAEventSelect(frameChannel.sock, frameChannel.netEvent, FD_READ | FD_WRITE | FD_CLOSE));
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
        sendControl(MSG_NEXT_FRAME);
        frameChannel.totalReceived = 0;
    }
    return bodies;
}

std::vector<int32_t> announcedBodies(const TestServer& server)
{
    std::vector<int32_t> sizes;
    for (const std::string& line : server.log())
        if (line.rfind("frame-send body ", 0) == 0)
            sizes.push_back(std::stoi(line.substr(16)));
    return sizes;
}

TEST(FrameChannel, FramesInLockStepWhateverPiecesTheyComeInUntilTheEnd)
{
    const std::wstring closed = L"切断されました(+_+)";
    const struct {
        const char* arguments;
        size_t frames;
        std::wstring message;
    } cases[] = {
        {"--pattern 320x240 --close-after 40", 40, closed},
        {"--pattern 200x100 --split-header --body-pieces 9 --piece-delay-ms 15 --close-after 3", 3, closed},
        // Noise-like frames of this size encode well above the first 500000-byte buffer.
        {"--pattern 1920x1080 --quality 100 --close-after 2", 2, closed},
        {"--pattern 64x48 --announce 40000000", 0, L"受信エラー\r\nフレームが大きすぎます(*_*)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        clearRecordedMessages();
        TestServer server;
        ASSERT_TRUE(server.start(c.arguments));
        std::vector<int32_t> bodies = runExchange(server);
        EXPECT_EQ(c.frames, bodies.size());
        auto announced = announcedBodies(server);
        announced.resize(bodies.size());
        EXPECT_EQ(announced, bodies);
        EXPECT_EQ(std::vector<std::wstring>{c.message}, recordedTexts());
        EXPECT_EQ(INVALID_SOCKET, frameChannel.sock);
        // Every header was answered by exactly one body request; the oversized one by none.
        EXPECT_EQ(c.frames ? server.count("frame-send header") : 0, server.count("frame-recv SEND_BODY"));
        for (int32_t size : bodies)
            EXPECT_GE(frameChannel.frameCapacity, size);
    }
}

// A peer inside the test, for event orders the server cannot force.
struct LocalPeer {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKET accepted = INVALID_SOCKET;

    void connectFrameChannel()
    {
        std::string address = freshLoopbackAddress();
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_port = htons(kFramePort);
        at.sin_addr.s_addr = inet_addr(address.c_str());
        ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at));
        ASSERT_EQ(0, listen(listener, 1));
        ASSERT_FALSE(openSocket(frameChannel));
        ASSERT_FALSE(resolveAndConnect(frameChannel, nullptr, wide(address).c_str(), kFramePort));
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
    clearRecordedMessages();
    LocalPeer peer;
    ASSERT_NO_FATAL_FAILURE(peer.connectFrameChannel());
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
    // A channel that has ended stays ended without waiting or telling again.
    EXPECT_TRUE(waitForRead(frameChannel));
    EXPECT_EQ(1u, recordedTexts().size());
}

TEST(FrameChannelEvents, WriteReadinessAloneOnlyWaitsAgain)
{
    clearRecordedMessages();
    LocalPeer peer;
    ASSERT_NO_FATAL_FAILURE(peer.connectFrameChannel());
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
