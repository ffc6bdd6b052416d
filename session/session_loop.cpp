#include "session/session_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "net/frame_protocol.h"

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

constexpr int kSendTimeoutSeconds = 60;
constexpr int kKeepAliveIdleSeconds = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;

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

// receiveBuffer above 0 is set before listen, so accepted connections advertise that window.
int openListener(const std::string& address, int port, int& boundPort, std::string& error, int receiveBuffer = 0)
{
    SocketAddress where;
    socklen_t length = 0;
    if (!makeAddress(address, port, where, length)) {
        error = "bad address " + address;
        return -1;
    }
    int fd = ::socket(where.base.sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (::bind(fd, &where.base, length) != 0) {
        error = "bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (::listen(fd, 16) != 0) {
        error = "listen " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    SocketAddress bound;
    socklen_t boundLength = sizeof bound;
    ::getsockname(fd, &bound.base, &boundLength);
    boundPort = bound.base.sa_family == AF_INET ? ntohs(bound.v4.sin_port) : ntohs(bound.v6.sin6_port);
    return fd;
}

int acceptFrom(int listener, std::string& peer)
{
    SocketAddress from;
    socklen_t length = sizeof from;
    int fd = ::accept4(listener, &from.base, &length, SOCK_CLOEXEC);
    if (fd >= 0)
        peer = describePeer(from);
    return fd;
}

bool writeReadyFile(const std::string& path, const std::string& content, std::string& error)
{
    std::string temporary = path + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (!file) {
        error = "cannot create '" + temporary + "': " + std::strerror(errno);
        return false;
    }
    std::fputs(content.c_str(), file);
    if (std::fclose(file) != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

// A viewer that vanished without closing (a cable pulled, a machine asleep) is found out
// within half a minute, even while the host has nothing to send for hours. Returns the
// settings as the socket reports them: idle,interval,count seconds, or "off".
std::string keepAlive(int fd)
{
    int on = 1, idle = kKeepAliveIdleSeconds, interval = kKeepAliveIntervalSeconds, count = kKeepAliveProbes;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    socklen_t size = sizeof on;
    on = idle = interval = count = 0;
    ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &size);
    ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size);
    ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &size);
    ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, &size);
    if (!on)
        return "off";
    return std::to_string(idle) + "," + std::to_string(interval) + "," + std::to_string(count);
}

const char* controlName(uint32_t code)
{
    return code == MSG_NEXT_FRAME ? "NEXT_FRAME" : "SEND_BODY";
}

}  // namespace

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

SessionLoop::SessionLoop(const SessionConfig& config, EventLog& log) : log_(log), config_(config)
{
}

SessionLoop::~SessionLoop()
{
    for (int fd : {frameFd_, inputFd_, frameListener_, inputListener_})
        if (fd >= 0)
            ::close(fd);
}

bool SessionLoop::listen(std::string& error)
{
    int framePort = 0, inputPort = 0;
    frameListener_ = openListener(config_.address, config_.framePort, framePort, error);
    if (frameListener_ < 0)
        return false;
    if (config_.inputListener) {
        inputListener_ = openListener(config_.address, config_.inputPort, inputPort, error,
                                      config_.leaveInputUnread ? 4096 : 0);
        if (inputListener_ < 0)
            return false;
    }
    std::string line = "listening " + config_.address + " frame-port=" + std::to_string(framePort) +
                       " input-port=" + (!config_.inputListener ? std::string("none") : std::to_string(inputPort));
    log_.line(line);
    if (!config_.readyPath.empty() && !writeReadyFile(config_.readyPath, line + "\n", error))
        return false;
    return true;
}

int SessionLoop::run()
{
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, nullptr, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);

    bool sessionActive = false;
    while (g_stopSignal == 0) {
        pollfd fds[5];
        int count = 0;
        int frameListenerAt = -1, inputListenerAt = -1, inputAt = -1, frameAt = -1;
        if (!sessionActive || config_.refuseWhileBusy) {
            frameListenerAt = count;
            fds[count++] = {frameListener_, POLLIN, 0};
        }
        bool waiting = sessionActive && await_ == Await::Answer;
        ChangeWatch watch;
        if (sessionActive) {
            if (inputFd_ < 0 && inputListener_ >= 0) {
                inputListenerAt = count;
                fds[count++] = {inputListener_, POLLIN, 0};
            }
            if (inputFd_ >= 0 && !config_.leaveInputUnread) {
                inputAt = count;
                fds[count++] = {inputFd_, POLLIN, 0};
            }
            frameAt = count;
            fds[count++] = {frameFd_, POLLIN, 0};
            if (waiting) {
                watch = changeWatch();
                if (watch.fd >= 0)
                    fds[count++] = {watch.fd, POLLIN, 0};
            }
        }
        timespec timeout{};
        if (waiting && watch.timeoutMs >= 0)
            timeout = {watch.timeoutMs / 1000, long(watch.timeoutMs % 1000) * 1000000L};
        int ready = ::ppoll(fds, nfds_t(count), waiting && watch.timeoutMs >= 0 ? &timeout : nullptr, &waitMask);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            log_.event("poll-error %s", std::strerror(errno));
            break;
        }
        if (frameListenerAt >= 0 && fds[frameListenerAt].revents) {
            if (sessionActive) {
                refuseFrame();
            } else {
                acceptFrame();
                sessionActive = frameFd_ >= 0;
                continue;
            }
        }
        if (inputListenerAt >= 0 && fds[inputListenerAt].revents)
            acceptInput();
        if (inputAt >= 0 && fds[inputAt].revents && inputFd_ >= 0)
            readInput();
        if (frameAt >= 0 && fds[frameAt].revents && !sessionOver_)
            readFrame();
        if (exitRequested_ && sessionActive && !sessionOver_)
            endSession(false, "exit");
        // Whatever woke the loop, the waiting request is asked again: input may have moved
        // the pointer, and the source decides cheaply whether anything changed.
        if (waiting && !sessionOver_ && await_ == Await::Answer)
            answerNextFrame();
        if (sessionOver_) {
            sessionActive = false;
            sessionOver_ = false;
            if (config_.once)
                break;
        }
        if (exitRequested_)
            break;
    }
    if (g_stopSignal != 0) {
        log_.event("signal %s", g_stopSignal == SIGINT ? "SIGINT" : "SIGTERM");
        if (sessionActive)
            endSession(false, "signal");
    }
    log_.line("server-exit");
    return 0;
}

void SessionLoop::acceptFrame()
{
    std::string peer;
    int fd = acceptFrom(frameListener_, peer);
    if (fd < 0)
        return;  // the connection went away again, or a spurious wake-up
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout{kSendTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::string keepalive = keepAlive(fd);
    frameFd_ = fd;
    sessionOver_ = false;
    controlHave_ = 0;
    await_ = Await::NextFrame;
    framesAnnounced_ = 0;
    pendingBody_.clear();
    log_.event("frame-connected %s keepalive=%s", peer.c_str(), keepalive.c_str());
    sessionStarted();
}

void SessionLoop::refuseFrame()
{
    std::string peer;
    int fd = acceptFrom(frameListener_, peer);
    if (fd < 0)
        return;
    ::close(fd);
    log_.event("frame-refused %s busy", peer.c_str());
}

void SessionLoop::acceptInput()
{
    std::string peer;
    int fd = acceptFrom(inputListener_, peer);
    if (fd < 0)
        return;
    std::string keepalive = keepAlive(fd);
    inputFd_ = fd;
    input_.clear();
    log_.event("input-connected %s keepalive=%s", peer.c_str(), keepalive.c_str());
}

void SessionLoop::readFrame()
{
    uint8_t buffer[1024];
    ssize_t got = ::recv(frameFd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        log_.event("frame-recv-error %s", std::strerror(errno));
        endSession(true, nullptr);
        return;
    }
    if (got == 0) {
        if (controlHave_ > 0)
            log_.event("frame-recv partial %s", hexBytes(control_, size_t(controlHave_)).c_str());
        endSession(true, nullptr);
        return;
    }
    for (ssize_t i = 0; i < got; ++i) {
        control_[controlHave_++] = buffer[i];
        if (controlHave_ == kControlMessageSize) {
            controlHave_ = 0;
            if (!handleControl(control_))
                return;
        }
    }
}

bool SessionLoop::handleControl(const uint8_t message[12])
{
    uint32_t code = readLittleEndian32(message);
    uint32_t second = readLittleEndian32(message + 4);
    uint32_t third = readLittleEndian32(message + 8);
    bool wellFormed = (code == MSG_NEXT_FRAME || code == MSG_SEND_BODY) && second == 0 && third == 0;
    bool expected = wellFormed && await_ != Await::Answer &&
                    ((code == MSG_NEXT_FRAME && await_ != Await::Body) ||
                     (code == MSG_SEND_BODY && await_ != Await::NextFrame));
    if (!expected) {
        log_.event("frame-recv unexpected 0x%08X 0x%08X 0x%08X", code, second, third);
        endSession(false, "unexpected");
        return false;
    }
    log_.event("frame-recv %s", controlName(code));
    if (code == MSG_SEND_BODY)
        return answerSendBody();
    await_ = Await::Answer;
    return answerNextFrame();
}

bool SessionLoop::answerNextFrame()
{
    uint64_t index = framesAnnounced_;
    std::vector<uint8_t> body;
    int32_t announced = 0;
    const char* reason = "frame-error";
    switch (nextFrame(index, body, announced, reason)) {
    case FrameAnswer::Wait:
        return true;
    case FrameAnswer::Fail:
        endSession(false, reason);
        return false;
    case FrameAnswer::Send:
        break;
    }
    ++framesAnnounced_;
    if (announced > 0) {
        body.resize(std::min(body.size(), size_t(announced)));
        pendingBody_ = std::move(body);
        await_ = Await::Body;
    } else {
        pendingBody_.clear();
        await_ = Await::EitherAfterEmpty;
    }

    uint8_t header[kFrameHeaderSize];
    writeLittleEndian32(header, uint32_t(announced));
    log_.event("frame-send header %d frame=%llu", announced, static_cast<unsigned long long>(index));
    if (!sendHeader(header, sizeof header)) {
        endSession(false, "send-error");
        return false;
    }
    return true;
}

bool SessionLoop::answerSendBody()
{
    uint64_t index = framesAnnounced_ - 1;
    if (await_ == Await::EitherAfterEmpty) {
        log_.event("frame-send body 0 frame=%llu", static_cast<unsigned long long>(index));
        await_ = Await::NextFrame;
        return true;
    }
    await_ = Await::NextFrame;
    std::vector<uint8_t> body = std::move(pendingBody_);
    pendingBody_.clear();
    return sendBody(body, index);
}

bool SessionLoop::sendHeader(const uint8_t* header, size_t size)
{
    return sendAll(header, size);
}

bool SessionLoop::sendBody(std::vector<uint8_t>& body, uint64_t index)
{
    log_.event("frame-send body %zu frame=%llu", body.size(), static_cast<unsigned long long>(index));
    if (!sendAll(body.data(), body.size())) {
        endSession(false, "send-error");
        return false;
    }
    return true;
}

bool SessionLoop::sendAll(const uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::send(frameFd_, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            log_.event("frame-send-error %s",
                       errno == EAGAIN || errno == EWOULDBLOCK ? "timeout" : std::strerror(errno));
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

void SessionLoop::pause(int milliseconds) const
{
    timespec wait{milliseconds / 1000, long(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

void SessionLoop::readInput()
{
    uint8_t buffer[4096];
    ssize_t got = ::recv(inputFd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        log_.event("input-recv-error %s", std::strerror(errno));
        closeInput(true);
        return;
    }
    if (got == 0) {
        closeInput(true);
        return;
    }
    inputReceived(buffer, size_t(got));
    input_.append(buffer, size_t(got));
    decodeInput();
}

void SessionLoop::drainInput()
{
    // Whatever the client sent before the session ended is still logged.
    for (int rounds = 0; inputFd_ >= 0 && !config_.leaveInputUnread && rounds < 1024; ++rounds) {
        pollfd fd{inputFd_, POLLIN, 0};
        if (::poll(&fd, 1, 0) <= 0)
            return;
        readInput();
    }
}

void SessionLoop::decodeInput()
{
    InputEvent event;
    while (inputFd_ >= 0 && input_.next(event))
        if (!inputMessage(event))
            closeInput(false);
}

void SessionLoop::closeInput(bool byClient)
{
    if (inputFd_ < 0)
        return;
    if (input_.pendingSize() > 0)
        log_.event("input-trailing %s", hexBytes(input_.pending(), input_.pendingSize()).c_str());
    input_.clear();
    ::close(inputFd_);
    inputFd_ = -1;
    log_.line(byClient ? "input-closed-by-client" : "input-closed-by-server");
    inputClosed();
    if (config_.endWithInput && frameFd_ >= 0)
        endSession(false, "input-closed");
}

void SessionLoop::endSession(bool byClient, const char* reason)
{
    drainInput();
    if (byClient)
        log_.line("frame-closed-by-client");
    else
        log_.event("frame-closed-by-server %s", reason);
    ::close(frameFd_);
    frameFd_ = -1;
    closeInput(false);
    pendingBody_.clear();
    sessionEnded();
    log_.line("session-end");
    sessionOver_ = true;
}
