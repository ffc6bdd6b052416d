// The hosts' session loop on Winsock, as the Windows host runs it: a source that holds its
// answer until told, input cut from a stream sent in pieces, and a stop from another thread.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "input/input_message.h"
#include "net/frame_protocol.h"
#include "session/session_loop.h"
#include "tests/win/support/test_server.h"

namespace {

struct HeldFrames : SessionLoop {
    using SessionLoop::SessionLoop;
    std::atomic<int> changes{0};
    std::atomic<uint32_t> lastKey{0};
    int shown = -1;

    FrameAnswer nextFrame(uint64_t index, std::vector<uint8_t>& body, int32_t& announced, const char*&) override
    {
        if (index > 0 && changes == shown)
            return FrameAnswer::Wait;
        shown = changes;
        body = {0xFF, 0xD8, uint8_t(index), uint8_t(shown)};
        announced = int32_t(body.size());
        return FrameAnswer::Send;
    }
    // As the Windows host looks for changes: by time, with no descriptor to wait on.
    ChangeWatch changeWatch() override { return {kNoSocket, 20}; }
    bool inputMessage(const InputEvent& event) override
    {
        lastKey = event.position;
        return true;
    }
};

SOCKET connectTo(const std::string& address, int port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(u_short(port));
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    DWORD timeoutMs = 20000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
    return connect(s, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 ? s : INVALID_SOCKET;
}

bool sendBytes(SOCKET s, const uint8_t* data, int size)
{
    return send(s, reinterpret_cast<const char*>(data), size, 0) == size;
}

bool control(SOCKET s, uint32_t code)
{
    uint8_t message[kControlMessageSize];
    encodeControlMessage(code, message);
    return sendBytes(s, message, sizeof message);
}

std::vector<uint8_t> receive(SOCKET s, int size)
{
    std::vector<uint8_t> out(static_cast<size_t>(size));
    int got = 0;
    for (int n; got < size && (n = recv(s, reinterpret_cast<char*>(out.data()) + got, size - got, 0)) > 0;)
        got += n;
    out.resize(size_t(got));
    return out;
}

// The answer to a MSG_NEXT_FRAME already sent.
std::vector<uint8_t> finishFrame(SOCKET s)
{
    std::vector<uint8_t> header = receive(s, kFrameHeaderSize);
    if (header.size() != kFrameHeaderSize || !control(s, MSG_SEND_BODY))
        return {};
    return receive(s, decodeFrameHeader(header.data()));
}

TEST(SessionLoopOnWinsock, HeldAnswersInputAndAStopFromAnotherThread)
{
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    std::string dir = scratchFolder("session-loop"), log = dir + "/log";
    EventLog events;
    std::string error;
    ASSERT_TRUE(events.open(windowsPath(log), error)) << error;
    SessionConfig config;
    config.address = freshLoopbackAddress();
    HeldFrames loop(config, events);
    ASSERT_TRUE(loop.listen(error)) << error;
    int status = -1;
    std::thread runner([&] { status = loop.run(); });

    SOCKET frame = connectTo(config.address, config.framePort);
    ASSERT_NE(INVALID_SOCKET, frame);
    ASSERT_TRUE(control(frame, MSG_NEXT_FRAME));
    EXPECT_EQ(finishFrame(frame), (std::vector<uint8_t>{0xFF, 0xD8, 0, 0}));
    // Held while nothing changed; answered once something did.
    ASSERT_TRUE(control(frame, MSG_NEXT_FRAME));
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(frame, &readable);
    timeval half{0, 500000};
    EXPECT_EQ(0, select(0, &readable, nullptr, nullptr, &half));
    loop.changes = 1;
    EXPECT_EQ(finishFrame(frame), (std::vector<uint8_t>{0xFF, 0xD8, 1, 1}));

    SOCKET input = connectTo(config.address, config.inputPort);
    ASSERT_NE(INVALID_SOCKET, input);
    uint8_t key[kInputMessageSize] = {};
    writeLittleEndian32(key, MSG_KEY);
    writeLittleEndian32(key + 8, 0x41);
    ASSERT_TRUE(sendBytes(input, key, 7) && sendBytes(input, key + 7, 13));
    EXPECT_TRUE(waitUntil([&] { return loop.lastKey == 0x41; }));
    EXPECT_EQ(1, countLines(log, "frame-connected "));
    EXPECT_EQ(1, countLines(log, "input-connected "));

    ASSERT_TRUE(control(frame, MSG_NEXT_FRAME));
    loop.stop();
    runner.join();
    EXPECT_EQ(0, status);
    EXPECT_TRUE(receive(frame, 1).empty());  // closed
    EXPECT_EQ(1, countLines(log, "frame-closed-by-server exit"));
    closesocket(frame);
    closesocket(input);
}

}  // namespace
