#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <cstring>
#include <vector>

#include "session/session_loop.h"
#include "session/socket_io.h"

// Windows has no stop signals: its hosts end through the loop's requestExit or stop.
volatile int g_stopSignal = 0;

void takeStopSignals() {}

namespace {

SOCKET raw(SocketHandle socket)
{
    return SOCKET(socket);
}

std::string lastError(const char* what)
{
    return std::string(what) + ": error " + std::to_string(WSAGetLastError());
}

bool makeAddress(const std::string& address, int port, sockaddr_storage& out, int& length)
{
    std::memset(&out, 0, sizeof out);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(u_short(port));
        length = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(u_short(port));
        length = sizeof *v6;
        return true;
    }
    return false;
}

std::string describePeer(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    if (address.ss_family == AF_INET6) {
        auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    return "unknown";
}

void setBlocking(SOCKET socket, bool blocking)
{
    u_long nonBlocking = blocking ? 0 : 1;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
}

}  // namespace

bool startSockets(std::string& error)
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) == 0)
        return true;
    error = "WSAStartup failed";
    return false;
}

bool isLoopbackAddress(const std::string& address)
{
    sockaddr_storage where;
    int length = 0;
    if (!makeAddress(address, 0, where, length))
        return false;
    if (where.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<sockaddr_in*>(&where)->sin_addr.s_addr) >> 24) == 127;
    return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<sockaddr_in6*>(&where)->sin6_addr);
}

SocketHandle openListener(const std::string& address, int port, int& boundPort, std::string& error, int receiveBuffer)
{
    sockaddr_storage where;
    int length = 0;
    if (!makeAddress(address, port, where, length)) {
        error = "bad address " + address;
        return kNoSocket;
    }
    SOCKET socket = ::WSASocketW(where.ss_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
        error = lastError("socket");
        return kNoSocket;
    }
    // Windows' SO_REUSEADDR would let another program take the port too: exclusive instead.
    BOOL one = TRUE;
    ::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (receiveBuffer > 0)
        ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                     sizeof receiveBuffer);
    const char* step = ::bind(socket, reinterpret_cast<sockaddr*>(&where), length) != 0 ? "bind "
                       : ::listen(socket, 16) != 0                                      ? "listen "
                                                                                        : nullptr;
    if (step) {
        error = lastError((step + address + ":" + std::to_string(port)).c_str());
        ::closesocket(socket);
        return kNoSocket;
    }
    setBlocking(socket, false);
    sockaddr_storage bound;
    int boundLength = sizeof bound;
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    boundPort = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                                 : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    return SocketHandle(socket);
}

SocketHandle acceptFrom(SocketHandle listener, std::string& peer)
{
    sockaddr_storage from;
    int length = sizeof from;
    SOCKET socket = ::accept(raw(listener), reinterpret_cast<sockaddr*>(&from), &length);
    if (socket == INVALID_SOCKET)
        return kNoSocket;
    // An accepted socket inherits the listener's non-blocking mode.
    setBlocking(socket, true);
    peer = describePeer(from);
    return SocketHandle(socket);
}

void tuneForFrames(SocketHandle socket, int sendTimeoutSeconds)
{
    BOOL one = TRUE;
    ::setsockopt(raw(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    DWORD timeoutMs = DWORD(sendTimeoutSeconds) * 1000;
    ::setsockopt(raw(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
}

std::string keepAlive(SocketHandle socket, int idleSeconds, int intervalSeconds, int probes)
{
    // The probe count is fixed by the system before Windows 10; the interval and idle time
    // can be set everywhere.
    tcp_keepalive settings{1, ULONG(idleSeconds) * 1000, ULONG(intervalSeconds) * 1000};
    DWORD returned = 0;
    if (WSAIoctl(raw(socket), SIO_KEEPALIVE_VALS, &settings, sizeof settings, nullptr, 0, &returned, nullptr,
                 nullptr) != 0)
        return "off";
#ifdef TCP_KEEPCNT
    DWORD count = DWORD(probes);
    ::setsockopt(raw(socket), IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&count), sizeof count);
    int size = sizeof count;
    count = 0;
    if (::getsockopt(raw(socket), IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<char*>(&count), &size) == 0)
        probes = int(count);
    else
        probes = 0;  // the system's own count
#endif
    return std::to_string(idleSeconds) + "," + std::to_string(intervalSeconds) + "," + std::to_string(probes);
}

void closeSocket(SocketHandle socket)
{
    if (socket != kNoSocket)
        ::closesocket(raw(socket));
}

long receiveSome(SocketHandle socket, uint8_t* buffer, size_t size, std::string& error)
{
    // The sockets block for the sends: ask first, so a receive never waits.
    u_long waiting = 0;
    if (ioctlsocket(raw(socket), FIONREAD, &waiting) == 0 && waiting == 0) {
        WSAPOLLFD probe{raw(socket), POLLRDNORM, 0};
        if (WSAPoll(&probe, 1, 0) == 0)
            return kReceiveWouldBlock;
    }
    int got = ::recv(raw(socket), reinterpret_cast<char*>(buffer), int(size), 0);
    if (got >= 0)
        return got;
    if (WSAGetLastError() == WSAEWOULDBLOCK || WSAGetLastError() == WSAEINTR)
        return kReceiveWouldBlock;
    error = lastError("recv");
    return kReceiveFailed;
}

bool sendAll(SocketHandle socket, const uint8_t* data, size_t size, std::string& error)
{
    while (size > 0) {
        int n = ::send(raw(socket), reinterpret_cast<const char*>(data), int(size), 0);
        if (n == SOCKET_ERROR) {
            error = WSAGetLastError() == WSAETIMEDOUT ? "timeout" : lastError("send");
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

int waitReadable(PollEntry* entries, int count, int timeoutMs, std::string& error)
{
    std::vector<WSAPOLLFD> fds(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        fds[size_t(i)] = {raw(entries[i].socket), POLLRDNORM, 0};
    int ready = WSAPoll(fds.data(), ULONG(count), timeoutMs);
    if (ready == SOCKET_ERROR) {
        error = lastError("WSAPoll");
        return -1;
    }
    for (int i = 0; i < count; ++i)
        entries[i].ready = ready > 0 && fds[size_t(i)].revents != 0;
    return ready;
}

// Two UDP sockets on loopback: WSAPoll waits on sockets only.
bool Waker::open()
{
    SOCKET receiver = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKET sender = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof where;
    if (receiver == INVALID_SOCKET || sender == INVALID_SOCKET ||
        ::bind(receiver, reinterpret_cast<sockaddr*>(&where), length) != 0 ||
        ::getsockname(receiver, reinterpret_cast<sockaddr*>(&where), &length) != 0 ||
        ::connect(sender, reinterpret_cast<sockaddr*>(&where), length) != 0) {
        if (receiver != INVALID_SOCKET)
            ::closesocket(receiver);
        if (sender != INVALID_SOCKET)
            ::closesocket(sender);
        return false;
    }
    setBlocking(receiver, false);
    receiver_ = SocketHandle(receiver);
    sender_ = SocketHandle(sender);
    return true;
}
