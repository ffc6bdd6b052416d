// The counterpart server, run as its real binary on a loopback address of each test's own
// (127.0.0.50 and up) and talked to over real sockets. Its misbehaviours are exercised
// against the viewer itself by the Windows-side tests; these cover the lock-step, its
// defence against a broken client, and the input log.
#include "net/frame_protocol.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Generous: sanitizer builds on a busy machine are slow. Only an upper bound, never a check.
constexpr auto kWait = std::chrono::seconds(60);
constexpr int kSocketTimeoutSeconds = 60;

constexpr int kFramePort = 54321;
constexpr int kInputPort = 54322;

constexpr uint32_t kMsgMouse = 0x0301;
constexpr uint32_t kMsgKey = 0x0401;
constexpr uint32_t kMsgServerExit = 0x0501;
constexpr uint32_t kMsgTelnet = 0x0701;

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string hex(const Bytes& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

void appendWord(Bytes& out, uint32_t value)
{
    uint8_t word[4];
    writeLittleEndian32(word, value);
    out.insert(out.end(), word, word + 4);
}

// The server binary with --once --ready --log in a fresh folder, plus the test's options.
class ServerProcess {
public:
    ServerProcess(const std::string& address, const std::vector<std::string>& options) : address_(address)
    {
        char pattern[] = "/tmp/tavimo-server-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made)
            dir_ = made;
        readyPath_ = dir_ + "/ready";
        logPath_ = dir_ + "/events.log";
        std::vector<std::string> args = {TAVIMO_SERVER_BINARY, "--address", address, "--once",
                                         "--ready", readyPath_, "--log", logPath_};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
    }

    ~ServerProcess()
    {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }

    // True once the ready file is there; false if the server exited or took too long.
    bool waitReady()
    {
        auto until = Clock::now() + kWait;
        while (Clock::now() < until) {
            struct stat info;
            if (stat(readyPath_.c_str(), &info) == 0)
                return true;
            if (pid_ <= 0 || reap(false))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // The complete lines of the log so far.
    std::vector<std::string> lines() const
    {
        std::ifstream in(logPath_, std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> out;
        size_t start = 0;
        for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
            out.push_back(all.substr(start, nl - start));
        return out;
    }

    // Waits for a line that starts with `prefix`.
    bool waitForLine(const std::string& prefix) const
    {
        auto until = Clock::now() + kWait;
        while (Clock::now() < until) {
            for (const std::string& line : lines())
                if (startsWith(line, prefix))
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // The exit status once the process is gone; -1 if it did not end in time or was killed.
    int waitExit()
    {
        auto until = Clock::now() + kWait;
        while (!exited_ && Clock::now() < until) {
            if (reap(false))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!exited_)
            return -1;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

    const std::string& address() const { return address_; }

private:
    bool reap(bool block)
    {
        if (exited_)
            return true;
        pid_t r = waitpid(pid_, &status_, block ? 0 : WNOHANG);
        if (r == pid_)
            exited_ = true;
        return exited_;
    }

    std::string address_;
    std::string dir_;
    std::string readyPath_;
    std::string logPath_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
};

// A connected socket, or -errno.
int connectTo(const std::string& address, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    timeval timeout{kSocketTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        int error = errno;
        close(fd);
        return -error;
    }
    return fd;
}

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

bool sendBytes(int fd, const Bytes& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool sendControl(int fd, uint32_t code)
{
    Bytes message(kControlMessageSize);
    encodeControlMessage(code, message.data());
    return sendBytes(fd, message);
}

// Exactly `size` bytes, or fewer if the stream ends (or times out) first.
Bytes receiveExactly(int fd, size_t size)
{
    Bytes out(size);
    size_t done = 0;
    while (done < size) {
        ssize_t n = recv(fd, out.data() + done, size - done, 0);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    out.resize(done);
    return out;
}

// Everything until the server closes.
Bytes receiveToEnd(int fd)
{
    Bytes out;
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

// Asks for a header; INT32_MIN if none came whole.
int32_t nextHeader(int fd)
{
    if (!sendControl(fd, MSG_NEXT_FRAME))
        return INT32_MIN;
    Bytes header = receiveExactly(fd, kFrameHeaderSize);
    if (header.size() != size_t(kFrameHeaderSize))
        return INT32_MIN;
    return decodeFrameHeader(header.data());
}

// One whole lock-step exchange; the body, or empty when it went wrong.
Bytes fetchFrame(int fd)
{
    int32_t length = nextHeader(fd);
    if (length <= 0 || !sendControl(fd, MSG_SEND_BODY))
        return {};
    Bytes body = receiveExactly(fd, size_t(length));
    if (body.size() != size_t(length))
        return {};
    return body;
}

struct JpegInfo {
    int width = 0;
    int height = 0;
    int components = 0;
};

// The size in the JPEG's start-of-frame segment.
bool readJpegInfo(const Bytes& jpeg, JpegInfo& info)
{
    size_t at = 2;
    while (at + 4 <= jpeg.size()) {
        if (jpeg[at] != 0xFF)
            return false;
        uint8_t marker = jpeg[at + 1];
        size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (marker >= 0xC0 && marker <= 0xC2) {
            if (at + 10 > jpeg.size())
                return false;
            info.height = jpeg[at + 5] << 8 | jpeg[at + 6];
            info.width = jpeg[at + 7] << 8 | jpeg[at + 8];
            info.components = jpeg[at + 9];
            return true;
        }
        at += 2 + length;
    }
    return false;
}

bool looksLikeWholeJpeg(const Bytes& body)
{
    return body.size() >= 4 && body[0] == 0xFF && body[1] == 0xD8 && body[body.size() - 2] == 0xFF &&
           body[body.size() - 1] == 0xD9;
}

std::vector<std::string> withPrefix(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::vector<std::string> out;
    for (const std::string& line : lines)
        if (startsWith(line, prefix))
            out.push_back(line);
    return out;
}

std::vector<std::string> withoutPrefix(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::vector<std::string> out;
    for (const std::string& line : lines)
        if (!startsWith(line, prefix))
            out.push_back(line);
    return out;
}

TEST(ServerTest, LockStepFramesAreWholeJpegsAndTheLogFollowsInOrder)
{
    ServerProcess server("127.0.0.50", {"--pattern", "320x240", "--size-change-at", "3:160x120"});
    ASSERT_TRUE(server.waitReady());

    Socket frame(connectTo(server.address(), kFramePort));
    ASSERT_GE(frame.fd(), 0);
    // The first MSG_NEXT_FRAME may come before the InputChannel is connected.
    ASSERT_TRUE(sendControl(frame.fd(), MSG_NEXT_FRAME));
    Socket input(connectTo(server.address(), kInputPort));
    ASSERT_GE(input.fd(), 0);
    Bytes header = receiveExactly(frame.fd(), kFrameHeaderSize);
    ASSERT_EQ(header.size(), size_t(kFrameHeaderSize));
    std::vector<int32_t> lengths = {decodeFrameHeader(header.data())};

    const int kFrames = 5;
    for (int i = 0; i < kFrames; ++i) {
        if (i > 0)
            lengths.push_back(nextHeader(frame.fd()));
        ASSERT_GT(lengths[i], 0) << "frame " << i;
        ASSERT_TRUE(sendControl(frame.fd(), MSG_SEND_BODY));
        Bytes body = receiveExactly(frame.fd(), size_t(lengths[i]));
        ASSERT_EQ(body.size(), size_t(lengths[i])) << "frame " << i;
        EXPECT_TRUE(looksLikeWholeJpeg(body)) << "frame " << i;
        JpegInfo info;
        ASSERT_TRUE(readJpegInfo(body, info)) << "frame " << i;
        EXPECT_EQ(info.width, i < 3 ? 320 : 160) << "frame " << i;
        EXPECT_EQ(info.height, i < 3 ? 240 : 120) << "frame " << i;
        EXPECT_EQ(info.components, 3);
    }
    // Nothing unasked for: after our half-close the server closes, and nothing more came.
    shutdown(frame.fd(), SHUT_WR);
    EXPECT_TRUE(receiveToEnd(frame.fd()).empty());

    ASSERT_TRUE(server.waitForLine("session-end"));
    EXPECT_EQ(server.waitExit(), 0);

    std::vector<std::string> lines = server.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "listening 127.0.0.50 frame-port=54321 input-port=54322");
    EXPECT_EQ(withPrefix(lines, "input-connected").size(), 1u);

    std::vector<std::string> expected = {"listening", "frame-connected"};
    for (int i = 0; i < kFrames; ++i) {
        std::string n = std::to_string(lengths[i]) + " frame=" + std::to_string(i);
        expected.push_back("frame-recv NEXT_FRAME");
        expected.push_back("frame-send header " + n);
        expected.push_back("frame-recv SEND_BODY");
        expected.push_back("frame-send body " + n);
    }
    expected.insert(expected.end(), {"frame-closed-by-client", "input-closed-by-server", "session-end", "server-exit"});
    std::vector<std::string> seen = withoutPrefix(lines, "input-connected");
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(startsWith(seen[i], expected[i])) << "line " << i << ": " << seen[i] << " expected "
                                                      << expected[i];
}

TEST(ServerTest, ServerSideClosesAndBadControlMessagesEndTheSession)
{
    {
        SCOPED_TRACE("close after 2");
        ServerProcess server("127.0.0.58", {"--pattern", "64x48", "--close-after", "2"});
        ASSERT_TRUE(server.waitReady());
        Socket frame(connectTo(server.address(), kFramePort));
        ASSERT_GE(frame.fd(), 0);
        EXPECT_TRUE(looksLikeWholeJpeg(fetchFrame(frame.fd())));
        EXPECT_TRUE(looksLikeWholeJpeg(fetchFrame(frame.fd())));
        ASSERT_TRUE(sendControl(frame.fd(), MSG_NEXT_FRAME));
        EXPECT_TRUE(receiveToEnd(frame.fd()).empty());
        ASSERT_TRUE(server.waitForLine("session-end"));
        EXPECT_EQ(withPrefix(server.lines(), "frame-closed-by-server close-after").size(), 1u);
        EXPECT_EQ(withPrefix(server.lines(), "frame-send header").size(), 2u);
        EXPECT_EQ(server.waitExit(), 0);
    }
    {
        SCOPED_TRACE("close mid-body");
        ServerProcess server("127.0.0.59", {"--pattern", "64x48", "--close-mid-body"});
        ASSERT_TRUE(server.waitReady());
        Socket frame(connectTo(server.address(), kFramePort));
        ASSERT_GE(frame.fd(), 0);
        int32_t length = nextHeader(frame.fd());
        ASSERT_GT(length, 0);
        ASSERT_TRUE(sendControl(frame.fd(), MSG_SEND_BODY));
        EXPECT_EQ(receiveToEnd(frame.fd()).size(), size_t(length / 2));
        ASSERT_TRUE(server.waitForLine("session-end"));
        EXPECT_EQ(withPrefix(server.lines(), "frame-closed-by-server close-mid-body").size(), 1u);
        EXPECT_EQ(server.waitExit(), 0);
    }
    {
        SCOPED_TRACE("body asked for before any header");
        ServerProcess server("127.0.0.60", {"--pattern", "64x48"});
        ASSERT_TRUE(server.waitReady());
        Socket frame(connectTo(server.address(), kFramePort));
        ASSERT_GE(frame.fd(), 0);
        ASSERT_TRUE(sendControl(frame.fd(), MSG_SEND_BODY));
        EXPECT_TRUE(receiveToEnd(frame.fd()).empty());
        ASSERT_TRUE(server.waitForLine("session-end"));
        std::vector<std::string> lines = server.lines();
        EXPECT_EQ(withPrefix(lines, "frame-recv unexpected 0x00000201 0x00000000 0x00000000").size(), 1u);
        EXPECT_EQ(withPrefix(lines, "frame-closed-by-server unexpected").size(), 1u);
        EXPECT_EQ(server.waitExit(), 0);
    }
    {
        SCOPED_TRACE("garbage on both channels");
        ServerProcess server("127.0.0.61", {"--pattern", "64x48"});
        ASSERT_TRUE(server.waitReady());
        Socket frame(connectTo(server.address(), kFramePort));
        Socket input(connectTo(server.address(), kInputPort));
        ASSERT_GE(frame.fd(), 0);
        ASSERT_GE(input.fd(), 0);
        Bytes garbage(300000);
        uint32_t state = 12345;
        for (uint8_t& b : garbage) {
            state = state * 1103515245u + 12345u;
            b = uint8_t(state >> 16);
        }
        ASSERT_TRUE(sendBytes(input.fd(), garbage));
        ASSERT_TRUE(server.waitForLine("input-message"));
        Bytes control(kControlMessageSize);
        encodeControlMessage(MSG_NEXT_FRAME, control.data());
        control[8] = 0x7F;  // padding that is not zero
        ASSERT_TRUE(sendBytes(frame.fd(), control));
        EXPECT_TRUE(receiveToEnd(frame.fd()).empty());
        ASSERT_TRUE(server.waitForLine("session-end"));
        EXPECT_EQ(withPrefix(server.lines(), "frame-recv unexpected 0x00000101 0x00000000 0x0000007F").size(), 1u);
        EXPECT_EQ(server.waitExit(), 0);
    }
}

TEST(ServerTest, InputMessagesAreDecodedWhateverTheReceives)
{
    ServerProcess server("127.0.0.63", {"--pattern", "64x48"});
    ASSERT_TRUE(server.waitReady());
    Socket frame(connectTo(server.address(), kFramePort));
    Socket input(connectTo(server.address(), kInputPort));
    ASSERT_GE(frame.fd(), 0);
    ASSERT_GE(input.fd(), 0);

    Bytes first;  // four messages and the first half of a fifth, coalesced into one send
    for (uint32_t w : {kMsgMouse, 0x0201u, 0x00500046u, 640u, 480u})
        appendWord(first, w);
    for (uint32_t w : {kMsgKey, 0x0100u, 0x41u, 640u, 480u})
        appendWord(first, w);
    appendWord(first, kMsgServerExit);
    appendWord(first, kMsgTelnet);
    Bytes fifth;
    for (uint32_t w : {kMsgMouse, 0x0200u, 0xFFFF0010u, 800u, 600u})
        appendWord(fifth, w);
    first.insert(first.end(), fifth.begin(), fifth.begin() + 10);
    Bytes second(fifth.begin() + 10, fifth.end());
    appendWord(second, 0x0999);
    Bytes third = {0x01, 0x03};  // a message cut short by the close

    ASSERT_TRUE(sendBytes(input.fd(), first));
    ASSERT_TRUE(server.waitForLine("input-message TELNET"));
    ASSERT_TRUE(sendBytes(input.fd(), second));
    ASSERT_TRUE(server.waitForLine("input-message UNKNOWN"));
    ASSERT_TRUE(sendBytes(input.fd(), third));
    input.reset();
    ASSERT_TRUE(server.waitForLine("input-closed-by-client"));
    frame.reset();
    ASSERT_TRUE(server.waitForLine("session-end"));
    EXPECT_EQ(server.waitExit(), 0);

    std::vector<std::string> lines = server.lines();
    std::vector<std::string> messages = withPrefix(lines, "input-message");
    std::vector<std::string> expected = {
        "input-message MOUSE arg=0x0201 pos=0x00500046 x=70 y=80 width=640 height=480",
        "input-message KEY arg=0x0100 key=0x00000041 width=640 height=480",
        "input-message SERVER_EXIT",
        "input-message TELNET",
        "input-message MOUSE arg=0x0200 pos=0xFFFF0010 x=16 y=-1 width=800 height=600",
        "input-message UNKNOWN type=0x00000999",
    };
    EXPECT_EQ(messages, expected);

    std::string received;
    for (const std::string& line : withPrefix(lines, "input-recv "))
        received += line.substr(std::strlen("input-recv "));
    Bytes all = first;
    all.insert(all.end(), second.begin(), second.end());
    all.insert(all.end(), third.begin(), third.end());
    EXPECT_EQ(received, hex(all));
    EXPECT_EQ(withPrefix(lines, "input-trailing 0103").size(), 1u);

    std::vector<std::string> tail(lines.end() - 4, lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"input-closed-by-client", "frame-closed-by-client", "session-end",
                                              "server-exit"}));
}

// The Windows-side tests pick addresses at random and take another when the log says the
// chosen one is held.
TEST(ServerTest, ATakenAddressIsLoggedAndEndsWithOne)
{
    ServerProcess first("127.0.0.64", {"--pattern", "64x48"});
    ASSERT_TRUE(first.waitReady());
    ServerProcess second("127.0.0.64", {"--pattern", "64x48"});
    EXPECT_FALSE(second.waitReady());
    EXPECT_EQ(second.waitExit(), 1);
    std::vector<std::string> lines = second.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(startsWith(lines[0], "listen-failed bind 127.0.0.64:54321: ")) << lines[0];
}

}  // namespace
