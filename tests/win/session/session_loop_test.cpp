// The hosts' session loop on Winsock, as the Windows host runs it: a source that holds its
// answer until told, input cut from a stream sent in pieces, and a stop from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "wire/input_wire.h"
#include "session/session_loop.h"
#include "tests/support/wire.h"
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
    EXPECT_EQ(fetchFrame(frame), (Bytes{0xFF, 0xD8, 0, 0}));
    // Held while nothing changed; answered once something did.
    ASSERT_TRUE(sendControl(frame, MSG_NEXT_FRAME));
    EXPECT_FALSE(readable(frame, 500));
    loop.changes = 1;
    EXPECT_EQ(finishFrame(frame), (Bytes{0xFF, 0xD8, 1, 1}));

    SOCKET input = connectTo(config.address, config.inputPort);
    ASSERT_NE(INVALID_SOCKET, input);
    Bytes key = inputMessage(MSG_KEY, 0, 0x41);
    ASSERT_TRUE(sendBytes(input, Bytes(key.begin(), key.begin() + 7)) &&
                sendBytes(input, Bytes(key.begin() + 7, key.end())));
    EXPECT_TRUE(waitUntil([&] { return loop.lastKey == 0x41; }));
    EXPECT_EQ(1, countLines(log, "frame-connected "));
    EXPECT_EQ(1, countLines(log, "input-connected "));

    ASSERT_TRUE(sendControl(frame, MSG_NEXT_FRAME));
    loop.stop();
    runner.join();
    EXPECT_EQ(0, status);
    EXPECT_TRUE(receive(frame).empty());  // closed
    EXPECT_EQ(1, countLines(log, "frame-closed-by-server exit"));
    closesocket(frame);
    closesocket(input);
}

}  // namespace
