// A TCP relay between Tavimo and a host, for the pair benchmark (scripts/bench.sh pair):
// Tavimo connects here, each connection goes on to the same port on the host, and every
// frame the host sends is logged as it passes, so bytes and frames per second come from
// the wire whatever the host is.
//
//   pair_relay LISTEN_ADDRESS HOST_ADDRESS FRAME_LOG
//
// Ports 54321 (frames) and 54322 (input) are relayed. FRAME_LOG gets a line per frame the
// host sends: the steady-clock nanoseconds at which its header and the end of its body
// passed, and its bytes on the wire (header included). "listening" goes to standard output
// once both ports listen. It runs until it is killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "wire/frame_wire.h"

namespace {

constexpr int kPorts[] = {54321, 54322};

int g_frameLog = -1;
const char* g_hostAddress = nullptr;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "pair_relay: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

int64_t nowNanos()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

sockaddr_in socketAddress(const char* address, int port)
{
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, address, &where.sin_addr) != 1) {
        std::fprintf(stderr, "pair_relay: not an IPv4 address: %s\n", address);
        std::exit(2);
    }
    return where;
}

// Cuts the host's frame stream into FrameHeaders and bodies and logs each frame.
class FrameCounter {
public:
    void feed(const uint8_t* data, size_t size)
    {
        int64_t now = nowNanos();
        while (size > 0) {
            if (bodyLeft_ > 0) {
                size_t take = size_t(std::min<int64_t>(bodyLeft_, int64_t(size)));
                bodyLeft_ -= int64_t(take);
                data += take;
                size -= take;
                if (bodyLeft_ == 0)
                    log(now);
                continue;
            }
            if (headerHave_ == 0)
                start_ = now;
            size_t take = std::min(size, size_t(kFrameHeaderSize - headerHave_));
            std::memcpy(header_ + headerHave_, data, take);
            headerHave_ += int(take);
            data += take;
            size -= take;
            if (headerHave_ == kFrameHeaderSize) {
                headerHave_ = 0;
                bodyLeft_ = std::max(decodeFrameHeader(header_), 0);
                bytes_ = kFrameHeaderSize + bodyLeft_;
                if (bodyLeft_ == 0)
                    log(now);
            }
        }
    }

private:
    void log(int64_t end) const
    {
        // One write per line on an O_APPEND file: lines of two connections never mix.
        char line[80];
        int length = std::snprintf(line, sizeof line, "%lld %lld %lld\n", (long long)start_, (long long)end,
                                   (long long)bytes_);
        if (write(g_frameLog, line, size_t(length)) != length)
            fail("frame log");
    }

    uint8_t header_[kFrameHeaderSize] = {};
    int headerHave_ = 0;
    int64_t bodyLeft_ = 0;
    int64_t start_ = 0;
    int64_t bytes_ = 0;
};

// Both ends of one relayed connection, closed when the second direction is done with them.
struct Link {
    int viewer;
    int host;
    ~Link()
    {
        close(viewer);
        close(host);
    }
};

void pump(std::shared_ptr<Link> link, bool towardsViewer, bool countFrames)
{
    int from = towardsViewer ? link->host : link->viewer, to = towardsViewer ? link->viewer : link->host;
    FrameCounter counter;
    std::vector<uint8_t> buffer(1 << 18);
    for (;;) {
        ssize_t got = recv(from, buffer.data(), buffer.size(), 0);
        if (got <= 0)
            break;
        if (countFrames)
            counter.feed(buffer.data(), size_t(got));
        ssize_t sent = 0;
        while (sent < got) {
            ssize_t n = send(to, buffer.data() + sent, size_t(got - sent), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += n;
        }
        if (sent < got)
            break;
    }
    // Either side gone: the whole connection goes, which also ends the other direction.
    shutdown(link->viewer, SHUT_RDWR);
    shutdown(link->host, SHUT_RDWR);
}

void relayPort(int listener, int port)
{
    for (;;) {
        int viewer = accept(listener, nullptr, nullptr);
        if (viewer < 0)
            continue;
        int host = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in where = socketAddress(g_hostAddress, port);
        if (host < 0 || connect(host, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
            close(viewer);
            if (host >= 0)
                close(host);
            continue;
        }
        std::shared_ptr<Link> link(new Link{viewer, host});
        bool frames = port == kPorts[0];
        std::thread(pump, link, true, frames).detach();
        std::thread(pump, link, false, false).detach();
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fputs("usage: pair_relay LISTEN_ADDRESS HOST_ADDRESS FRAME_LOG\n", stderr);
        return 2;
    }
    g_hostAddress = argv[2];
    g_frameLog = open(argv[3], O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (g_frameLog < 0)
        fail(argv[3]);
    std::vector<std::thread> relays;
    for (int port : kPorts) {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in where = socketAddress(argv[1], port);
        if (bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(listener, 4) != 0)
            fail("listen");
        relays.emplace_back(relayPort, listener, port);
    }
    std::puts("listening");
    std::fflush(stdout);
    for (std::thread& relay : relays)
        relay.join();
}
