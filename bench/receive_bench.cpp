// Receiving 300 KB frame bodies over loopback TCP the way the viewer does: lock-step
// requests, a non-blocking socket waited on for readability, and the 10 ms pause after
// every chunk. The figure to read it against is the floor those pauses set by themselves.
#include "net/frame_protocol.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kBodySize = 300 * 1024;
constexpr int kWarmUpFrames = 3;
constexpr int kFrames = 40;
constexpr useconds_t kPauseMicroseconds = 10000;

[[noreturn]] void fail(const char* what)
{
    std::perror(what);
    std::exit(1);
}

bool sendAll(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= size_t(sent);
    }
    return true;
}

// The sending side: answers each 12-byte request, on a blocking socket.
void serve(int listener, const std::vector<uint8_t>& body)
{
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) fail("accept");
    uint8_t request[kControlMessageSize];
    for (;;) {
        size_t have = 0;
        while (have < sizeof request) {
            ssize_t got = recv(fd, request + have, sizeof request - have, 0);
            if (got <= 0) {
                close(fd);
                return;
            }
            have += size_t(got);
        }
        const uint32_t code = readLittleEndian32(request);
        bool sent = true;
        if (code == MSG_NEXT_FRAME) {
            uint8_t header[kFrameHeaderSize];
            writeLittleEndian32(header, uint32_t(body.size()));
            sent = sendAll(fd, header, sizeof header);
        } else if (code == MSG_SEND_BODY) {
            sent = sendAll(fd, body.data(), body.size());
        }
        if (!sent) break;
    }
    close(fd);
}

struct SocketIo final : FrameChannelIo {
    int fd = -1;
    bool inBody = false;
    int chunks = 0;  // body receives that brought bytes
    int emptyTries = 0;  // body receives that found the socket empty
    Clock::duration paused{};

    int32_t receive(uint8_t* into, int32_t length, bool* wouldBlock) override
    {
        ssize_t got;
        do
            got = recv(fd, into, size_t(length), 0);
        while (got < 0 && errno == EINTR);
        *wouldBlock = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (inBody) {
            chunks += got > 0;
            emptyTries += *wouldBlock;
        }
        return int32_t(got);
    }
    void pause() override
    {
        const Clock::time_point start = Clock::now();
        usleep(kPauseMicroseconds);
        paused += Clock::now() - start;
    }
    uint8_t* replaceFrameBuffer(uint8_t* old, int32_t size) override
    {
        auto* grown = static_cast<uint8_t*>(std::malloc(size_t(size)));
        if (grown) std::free(old);
        return grown;
    }
};

void waitReadable(int fd)
{
    pollfd entry = {fd, POLLIN, 0};
    while (poll(&entry, 1, -1) < 0)
        if (errno != EINTR) fail("poll");
}

void request(int fd, uint32_t code)
{
    uint8_t message[kControlMessageSize];
    encodeControlMessage(code, message);
    if (!sendAll(fd, message, sizeof message)) fail("send request");
}

// One frame in lock-step; false if it did not arrive whole and unchanged.
bool receiveFrame(SocketIo& io, FrameReceiver& receiver, const std::vector<uint8_t>& body)
{
    request(io.fd, MSG_NEXT_FRAME);
    for (;;) {
        waitReadable(io.fd);
        HeaderRead header = readFrameHeaderFrom(receiver, io);
        if (header == HeaderRead::Complete) break;
        if (header != HeaderRead::Partial && header != HeaderRead::NoData) return false;
    }
    request(io.fd, MSG_SEND_BODY);
    waitReadable(io.fd);
    io.inBody = true;
    const int32_t got = readFrameBodyFrom(receiver, io);
    io.inBody = false;
    return got == int32_t(body.size())
        && std::memcmp(receiver.frameBuffer, body.data(), body.size()) == 0;
}

}  // namespace

int main()
{
    std::vector<uint8_t> body(kBodySize);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = uint8_t(i * 2654435761u >> 24);

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || listen(listener, 1) != 0
        || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        fail("listener");
    std::thread server(serve, listener, std::cref(body));

    SocketIo io;
    io.fd = socket(AF_INET, SOCK_STREAM, 0);
    if (io.fd < 0 || connect(io.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fail("connect");
    const int one = 1;
    setsockopt(io.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // small requests go at once
    if (fcntl(io.fd, F_SETFL, fcntl(io.fd, F_GETFL) | O_NONBLOCK) != 0) fail("fcntl");

    FrameReceiver receiver;
    receiver.frameBuffer = static_cast<uint8_t*>(std::malloc(kFrameBufferSize));
    receiver.frameCapacity = kFrameBufferSize;
    for (int i = 0; i < kWarmUpFrames; ++i)
        if (!receiveFrame(io, receiver, body)) fail("warm-up frame");

    io.chunks = io.emptyTries = 0;
    io.paused = {};
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kFrames; ++i)
        if (!receiveFrame(io, receiver, body)) {
            std::fprintf(stderr, "frame %d did not arrive whole\n", i);
            return 1;
        }
    const double totalMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const double pausedMs = std::chrono::duration<double, std::milli>(io.paused).count();

    close(io.fd);
    server.join();
    close(listener);
    std::free(receiver.frameBuffer);

    const double chunksPerFrame = double(io.chunks) / kFrames;
    const double boundMs = chunksPerFrame * kPauseMicroseconds / 1000.0;
    std::printf("Receive: %d frames of %d bytes over loopback, %.1f ms pause after each chunk\n",
        kFrames, kBodySize, kPauseMicroseconds / 1000.0);
    std::printf("  %.2f ms per frame\n", totalMs / kFrames);
    std::printf("  %.2f chunks per frame (%.2f empty tries) -> bound %.2f ms per frame\n",
        chunksPerFrame, double(io.emptyTries) / kFrames, boundMs);
    std::printf("  pauses measured: %.2f ms per frame; the rest %.2f ms per frame\n",
        pausedMs / kFrames, (totalMs - pausedMs) / kFrames);
    return 0;
}
