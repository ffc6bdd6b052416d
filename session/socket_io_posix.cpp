#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "session/session_loop.h"
#include "session/socket_io.h"

volatile int g_stopSignal = 0;

void takeStopSignals()
{
    signal(SIGPIPE, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = [](int number) { g_stopSignal = number; };
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

namespace {

union SocketAddress {
    sockaddr base;
    sockaddr_in v4;
    sockaddr_in6 v6;
    sockaddr_storage storage;
};

bool makeAddress(const std::string& address, int port, SocketAddress& out, socklen_t& length)
{
    std::memset(&out, 0, sizeof out);
    if (inet_pton(AF_INET, address.c_str(), &out.v4.sin_addr) == 1) {
        out.v4.sin_family = AF_INET;
        out.v4.sin_port = htons(uint16_t(port));
        length = sizeof out.v4;
        return true;
    }
    if (inet_pton(AF_INET6, address.c_str(), &out.v6.sin6_addr) == 1) {
        out.v6.sin6_family = AF_INET6;
        out.v6.sin6_port = htons(uint16_t(port));
        length = sizeof out.v6;
        return true;
    }
    return false;
}

std::string describePeer(const SocketAddress& address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.base.sa_family == AF_INET) {
        inet_ntop(AF_INET, &address.v4.sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(address.v4.sin_port));
    }
    if (address.base.sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &address.v6.sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(address.v6.sin6_port));
    }
    return "unknown";
}

}  // namespace

bool startSockets(std::string&)
{
    return true;
}

bool isLoopbackAddress(const std::string& address)
{
    SocketAddress where;
    socklen_t length = 0;
    if (!makeAddress(address, 0, where, length))
        return false;
    if (where.base.sa_family == AF_INET)
        return (ntohl(where.v4.sin_addr.s_addr) >> 24) == 127;
    return IN6_IS_ADDR_LOOPBACK(&where.v6.sin6_addr);
}

SocketHandle openListener(const std::string& address, int port, int& boundPort, std::string& error, int receiveBuffer)
{
    SocketAddress where;
    socklen_t length = 0;
    if (!makeAddress(address, port, where, length)) {
        error = "bad address " + address;
        return kNoSocket;
    }
    int fd = ::socket(where.base.sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return kNoSocket;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const char* step = ::bind(fd, &where.base, length) != 0 ? "bind " : ::listen(fd, 16) != 0 ? "listen " : nullptr;
    if (step) {
        error = step + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return kNoSocket;
    }
    SocketAddress bound;
    socklen_t boundLength = sizeof bound;
    ::getsockname(fd, &bound.base, &boundLength);
    boundPort = bound.base.sa_family == AF_INET ? ntohs(bound.v4.sin_port) : ntohs(bound.v6.sin6_port);
    return fd;
}

SocketHandle acceptFrom(SocketHandle listener, std::string& peer)
{
    SocketAddress from;
    socklen_t length = sizeof from;
    int fd = ::accept4(int(listener), &from.base, &length, SOCK_CLOEXEC);
    if (fd < 0)
        return kNoSocket;
    peer = describePeer(from);
    return fd;
}

void tuneForFrames(SocketHandle socket, int sendTimeoutSeconds)
{
    int one = 1;
    ::setsockopt(int(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout{sendTimeoutSeconds, 0};
    ::setsockopt(int(socket), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

std::string keepAlive(SocketHandle socket, int idleSeconds, int intervalSeconds, int probes)
{
    int fd = int(socket), on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    socklen_t size = sizeof on;
    on = idleSeconds = intervalSeconds = probes = 0;
    ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &size);
    ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, &size);
    ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, &size);
    ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, &size);
    if (!on)
        return "off";
    return std::to_string(idleSeconds) + "," + std::to_string(intervalSeconds) + "," + std::to_string(probes);
}

void closeSocket(SocketHandle socket)
{
    if (socket >= 0)
        ::close(int(socket));
}

long receiveSome(SocketHandle socket, uint8_t* buffer, size_t size, std::string& error)
{
    ssize_t got = ::recv(int(socket), buffer, size, MSG_DONTWAIT);
    if (got >= 0)
        return long(got);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return kReceiveWouldBlock;
    error = std::strerror(errno);
    return kReceiveFailed;
}

bool sendAll(SocketHandle socket, const uint8_t* data, size_t size, std::string& error)
{
    while (size > 0) {
        ssize_t n = ::send(int(socket), data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno == EAGAIN || errno == EWOULDBLOCK ? "timeout" : std::strerror(errno);
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

int waitReadable(PollEntry* entries, int count, int timeoutMs, std::string& error)
{
    // The stop signals, blocked everywhere else, are let through only here.
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, nullptr, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    std::vector<pollfd> fds(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        fds[size_t(i)] = {int(entries[i].socket), POLLIN, 0};
    timespec timeout{timeoutMs / 1000, long(timeoutMs % 1000) * 1000000L};
    int ready = ::ppoll(fds.data(), nfds_t(count), timeoutMs >= 0 ? &timeout : nullptr, &waitMask);
    if (ready < 0 && errno != EINTR) {
        error = std::strerror(errno);
        return -1;
    }
    for (int i = 0; i < count; ++i)
        entries[i].ready = ready > 0 && fds[size_t(i)].revents != 0;
    return ready < 0 ? 0 : ready;
}

bool Waker::open()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
        return false;
    receiver_ = fds[0];
    sender_ = fds[1];
    return true;
}
