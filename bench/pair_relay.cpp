// A TCP relay between Tavimo and a host, for the pair benchmark (scripts/bench.sh pair):
// Tavimo connects here, each connection goes on to the same port on the host, and every
// frame the host sends is logged as it passes, so bytes and frames per second come from
// the wire whatever the host is.
//
//   pair_relay [--rtt-ms MS] [--rate BITS] LISTEN_ADDRESS HOST_ADDRESS FRAME_LOG
//
// Ports 54321 (frames) and 54322 (input) are relayed. FRAME_LOG gets a line per frame the
// host sends: the steady-clock nanoseconds at which its header and the end of its body
// passed, and its bytes on the wire (header included). "listening" goes to standard output
// once both ports listen. It runs until it is killed.
//
// With --rtt-ms or --rate the relay is a link of that round trip and rate (bits a second,
// K, M and G suffixes: --rate 20M) instead of loopback. Each direction of each connection
// is serialised at the rate and arrives half the round trip after it left, and it holds
// the sender back as TCP would: it reads only while what it has in flight for that
// direction, from reading until the acknowledgement's half round trip back after
// delivery, is under the bandwidth-delay product plus 64 KiB of queue (4 MiB without a
// rate). Frames are then logged as they come out at the viewer's end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wire/frame_wire.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPorts[] = {54321, 54322};

int g_frameLog = -1;
const char* g_hostAddress = nullptr;

// The emulated link; off when neither option is given.
struct LinkShape {
    bool on = false;
    Clock::duration halfRtt{0};
    double bitsPerSecond = 0;  // 0: no rate limit
    int64_t bound = 0;         // bytes in flight per direction before the sender waits
};
LinkShape g_link;

// Bytes a segment of the emulated link carries: an Ethernet-sized TCP segment, so a frame
// comes out a packet at a time rather than in one lump at the end.
constexpr size_t kSegment = 1448;
// The relay's own socket buffers on a link: small, so that loopback's megabyte buffers do
// not hide a sender that outruns the link (the bound holds it back, not the kernel).
constexpr int kSocketBuffer = 32 * 1024;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "pair_relay: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

int64_t nowNanos()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
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

// On a link, before listen or connect: the buffers above, and segments of kSegment so
// that the peer's own send buffer is sized for packets, not for loopback's 64 KiB ones.
// No Nagle here: the link's timing is the emulation's, the sender made its own choice.
void shapeSocket(int socket)
{
    if (!g_link.on)
        return;
    int buffer = kSocketBuffer, segment = int(kSegment), on = 1;
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(socket, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
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

bool sendAll(int to, const uint8_t* data, size_t size)
{
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = send(to, data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

// One direction of a connection on the emulated link: the reader puts segments in with
// the time each arrives at the far end, the writer hands them over then.
struct Direction {
    struct Segment {
        Clock::time_point arrival;
        std::vector<uint8_t> bytes;
    };
    struct Acknowledgement {
        Clock::time_point at;
        int64_t bytes;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Segment> queue;
    std::deque<Acknowledgement> acknowledgements;  // delivered, their room not yet back
    int64_t inFlight = 0;
    Clock::time_point lastDeparture{};
    bool senderDone = false;  // the sender closed: deliver what is queued, then end
    bool ended = false;       // the receiver is gone: nothing more to do
};

// Both ends of one relayed connection, closed when the last direction is done with them.
struct Connection {
    int viewer;
    int host;
    Direction towardsViewer, towardsHost;
    ~Connection()
    {
        close(viewer);
        close(host);
    }
    void shutDown()
    {
        // Either side gone: the whole connection goes, which also ends the other direction.
        shutdown(viewer, SHUT_RDWR);
        shutdown(host, SHUT_RDWR);
    }
};

void pump(std::shared_ptr<Connection> connection, bool towardsViewer, bool countFrames)
{
    int from = towardsViewer ? connection->host : connection->viewer;
    int to = towardsViewer ? connection->viewer : connection->host;
    FrameCounter counter;
    std::vector<uint8_t> buffer(1 << 18);
    for (;;) {
        ssize_t got = recv(from, buffer.data(), buffer.size(), 0);
        if (got <= 0)
            break;
        if (countFrames)
            counter.feed(buffer.data(), size_t(got));
        if (!sendAll(to, buffer.data(), size_t(got)))
            break;
    }
    connection->shutDown();
}

// The link's sending end: reads while there is room in flight and timestamps each
// segment with its departure (after the one before it has been serialised) plus half
// the round trip.
void linkReader(std::shared_ptr<Connection> connection, bool towardsViewer)
{
    Direction& direction = towardsViewer ? connection->towardsViewer : connection->towardsHost;
    int from = towardsViewer ? connection->host : connection->viewer;
    std::vector<uint8_t> buffer(1 << 16);
    for (;;) {
        size_t room;
        {
            std::unique_lock<std::mutex> lock(direction.mutex);
            for (;;) {
                Clock::time_point now = Clock::now();
                while (!direction.acknowledgements.empty() && direction.acknowledgements.front().at <= now) {
                    direction.inFlight -= direction.acknowledgements.front().bytes;
                    direction.acknowledgements.pop_front();
                }
                if (direction.ended || direction.inFlight < g_link.bound)
                    break;
                if (direction.acknowledgements.empty())
                    direction.changed.wait(lock);
                else
                    direction.changed.wait_until(lock, direction.acknowledgements.front().at);
            }
            if (direction.ended)
                return;
            room = size_t(std::min<int64_t>(g_link.bound - direction.inFlight, int64_t(buffer.size())));
        }
        ssize_t got = recv(from, buffer.data(), room, 0);
        Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(direction.mutex);
        if (got <= 0) {
            direction.senderDone = true;
            direction.changed.notify_all();
            return;
        }
        for (size_t at = 0; at < size_t(got); at += kSegment) {
            size_t size = std::min(kSegment, size_t(got) - at);
            Clock::time_point departure = now;
            if (g_link.bitsPerSecond > 0) {
                auto serialisation = std::chrono::nanoseconds(std::llround(double(size) * 8e9 / g_link.bitsPerSecond));
                departure = std::max(now, direction.lastDeparture) + serialisation;
            }
            direction.lastDeparture = departure;
            direction.queue.push_back({departure + g_link.halfRtt,
                                       std::vector<uint8_t>(buffer.begin() + long(at), buffer.begin() + long(at + size))});
        }
        direction.inFlight += got;
        direction.changed.notify_all();
    }
}

// The link's receiving end: hands each segment to the receiver once it has arrived; its
// room in flight comes back to the reader half a round trip later, with the ack.
void linkWriter(std::shared_ptr<Connection> connection, bool towardsViewer, bool countFrames)
{
    Direction& direction = towardsViewer ? connection->towardsViewer : connection->towardsHost;
    int to = towardsViewer ? connection->viewer : connection->host;
    FrameCounter counter;
    std::vector<uint8_t> out;
    std::unique_lock<std::mutex> lock(direction.mutex);
    for (;;) {
        if (direction.queue.empty()) {
            if (direction.senderDone)
                break;
            direction.changed.wait(lock);
            continue;
        }
        Clock::time_point now = Clock::now();
        if (direction.queue.front().arrival > now) {
            direction.changed.wait_until(lock, direction.queue.front().arrival);
            continue;
        }
        out.clear();
        while (!direction.queue.empty() && direction.queue.front().arrival <= now && out.size() < (1 << 18)) {
            out.insert(out.end(), direction.queue.front().bytes.begin(), direction.queue.front().bytes.end());
            direction.queue.pop_front();
        }
        lock.unlock();
        if (countFrames)
            counter.feed(out.data(), out.size());
        bool sent = sendAll(to, out.data(), out.size());
        lock.lock();
        if (!sent)
            break;
        direction.acknowledgements.push_back({Clock::now() + g_link.halfRtt, int64_t(out.size())});
        direction.changed.notify_all();
    }
    direction.ended = true;
    direction.changed.notify_all();
    lock.unlock();
    connection->shutDown();
}

void relayPort(int listener, int port)
{
    for (;;) {
        int viewer = accept(listener, nullptr, nullptr);
        if (viewer < 0)
            continue;
        int host = socket(AF_INET, SOCK_STREAM, 0);
        if (host >= 0)
            shapeSocket(host);
        sockaddr_in where = socketAddress(g_hostAddress, port);
        if (host < 0 || connect(host, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
            close(viewer);
            if (host >= 0)
                close(host);
            continue;
        }
        std::shared_ptr<Connection> connection(new Connection{viewer, host, {}, {}});
        bool frames = port == kPorts[0];
        if (!g_link.on) {
            std::thread(pump, connection, true, frames).detach();
            std::thread(pump, connection, false, false).detach();
            continue;
        }
        for (bool towardsViewer : {true, false}) {
            std::thread(linkReader, connection, towardsViewer).detach();
            std::thread(linkWriter, connection, towardsViewer, frames && towardsViewer).detach();
        }
    }
}

// A positive number with an optional K, M or G (powers of 1000), or -1.
double parseAmount(const std::string& text)
{
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    double scale = 1;
    if (end && *end) {
        switch (*end++) {
        case 'k': case 'K': scale = 1e3; break;
        case 'm': case 'M': scale = 1e6; break;
        case 'g': case 'G': scale = 1e9; break;
        default: return -1;
        }
    }
    if (end == text.c_str() || *end || !std::isfinite(value) || value < 0)
        return -1;
    return value * scale;
}

[[noreturn]] void usage()
{
    std::fputs("usage: pair_relay [--rtt-ms MS] [--rate BITS_PER_SECOND] LISTEN_ADDRESS HOST_ADDRESS FRAME_LOG\n",
               stderr);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> positional;
    double rttMs = 0;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if ((argument == "--rtt-ms" || argument == "--rate") && i + 1 < argc) {
            std::string text = argv[++i];
            bool plain = !text.empty() && std::isdigit((unsigned char)text.back());
            double value = parseAmount(text);
            if (value < 0 || (argument == "--rate" && value <= 0) || (argument == "--rtt-ms" && !plain))
                usage();
            (argument == "--rtt-ms" ? rttMs : g_link.bitsPerSecond) = value;
            g_link.on = true;
        } else if (argument.rfind("--", 0) == 0) {
            usage();
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() != 3)
        usage();
    if (g_link.on) {
        g_link.halfRtt = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(rttMs / 2));
        g_link.bound = g_link.bitsPerSecond > 0 ? int64_t(g_link.bitsPerSecond / 8 * rttMs / 1000) + 64 * 1024
                                                : int64_t(4) << 20;
    }
    g_hostAddress = positional[1].c_str();
    g_frameLog = open(positional[2].c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (g_frameLog < 0)
        fail(positional[2].c_str());
    std::vector<std::thread> relays;
    for (int port : kPorts) {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        shapeSocket(listener);  // accepted sockets inherit it
        sockaddr_in where = socketAddress(positional[0].c_str(), port);
        if (bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(listener, 4) != 0)
            fail("listen");
        relays.emplace_back(relayPort, listener, port);
    }
    std::puts("listening");
    std::fflush(stdout);
    for (std::thread& relay : relays)
        relay.join();
}
