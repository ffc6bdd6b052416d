// The input channel's sender on a real socket whose peer reads late: what the peer reads
// is every queued message, whole and in order, through partial sends and write events.
#include <gtest/gtest.h>

#include "app/globals.h"
#include "input/input_message.h"
#include "tests/win/support/recorded_messages.h"
#include "tests/win/support/test_server.h"

namespace {

TEST(InputSender, APeerThatReadsLateGetsEveryMessageWholeAndInOrder)
{
    clearRecordedMessages();
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

    std::string queued;
    for (int i = 0; i < 3000; ++i) {  // 60000 bytes: more than the sockets hold, within the bound
        InputMessage message;
        buildMouseMessage(message, uint32_t(i), uint32_t(i * 7), i, -i);
        queueInput(message.bytes, kInputMessageSize);
        queued.append(reinterpret_cast<const char*>(message.bytes), kInputMessageSize);
    }
    Sleep(200);  // let the sender run into the full buffers
    std::string read;
    char buffer[4096];
    for (int got; read.size() < queued.size() && (got = recv(peer, buffer, sizeof buffer, 0)) > 0;)
        read.append(buffer, size_t(got));
    EXPECT_EQ(queued.size(), read.size());
    EXPECT_TRUE(queued == read);
    EXPECT_TRUE(recordedTexts().empty());

    stopInputSender(1000);
    closeSocket(inputChannel);
    closesocket(peer);
    closesocket(listener);
}

}  // namespace
