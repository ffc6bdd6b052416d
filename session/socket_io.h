// The few socket operations the session loop needs, over POSIX sockets or Winsock, so
// one loop serves the Linux and the Windows hosts and the counterpart server. Handles are
// plain integers: a file descriptor, or a SOCKET widened to intptr_t.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using SocketHandle = intptr_t;
constexpr SocketHandle kNoSocket = -1;

// Starts the socket library where there is one to start. False, with `error` set, when it cannot.
bool startSockets(std::string& error);

// The address is a loopback one (127/8 or ::1); an unparsable one is not.
bool isLoopbackAddress(const std::string& address);

// A non-blocking listener on address:port (0: any free port, told in `boundPort`).
// `receiveBuffer` above 0 is set before listen, so accepted connections advertise that window.
SocketHandle openListener(const std::string& address, int port, int& boundPort, std::string& error,
                          int receiveBuffer = 0);
// A waiting connection, blocking, with its peer as "a.b.c.d:port" or "[v6]:port"; kNoSocket if
// none was waiting.
SocketHandle acceptFrom(SocketHandle listener, std::string& peer);
// The frame channel: no Nagle delay, and a send that stalls this long fails.
void tuneForFrames(SocketHandle socket, int sendTimeoutSeconds);
// TCP keepalive: idle seconds, then probes this far apart, this many. Returns the
// settings as the socket reports them ("idle,interval,count"), or "off".
std::string keepAlive(SocketHandle socket, int idleSeconds, int intervalSeconds, int probes);
void closeSocket(SocketHandle socket);

enum : long { kReceiveWouldBlock = -1, kReceiveFailed = -2 };
// Bytes received (0: the peer closed), kReceiveWouldBlock, or kReceiveFailed with `error` set.
long receiveSome(SocketHandle socket, uint8_t* buffer, size_t size, std::string& error);
// False, with `error` set ("timeout" for a stalled peer), when not all went out.
bool sendAll(SocketHandle socket, const uint8_t* data, size_t size, std::string& error);

struct PollEntry {
    SocketHandle socket;
    bool ready = false;
};
// Waits until one of the entries is readable (or closed), `timeoutMs` passes (-1: no
// limit) or, on POSIX, a stop signal arrives. Returns the number ready, 0 for a timeout
// or a signal, -1 with `error` set.
int waitReadable(PollEntry* entries, int count, int timeoutMs, std::string& error);

// A socket that wakes waitReadable from another thread: wake() sends it a byte.
class Waker {
public:
    Waker() = default;
    ~Waker();
    // After startSockets. False when it cannot.
    bool open();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    SocketHandle socket() const { return receiver_; }
    void wake();
    // Reads what woke it.
    void clear();

private:
    SocketHandle receiver_ = kNoSocket;
    SocketHandle sender_ = kNoSocket;
};
