#include "session/session_loop.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "wire/frame_extension.h"
#include "wire/frame_wire.h"
#include "session/peer_check.h"
#include "session/socket_io.h"

namespace {

constexpr int kSendTimeoutSeconds = 60;
// A viewer that vanished without closing (a cable pulled, a machine asleep) is found out
// within half a minute, even while the host has nothing to send for hours.
constexpr int kKeepAliveIdleSeconds = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr int kKeepAliveProbes = 3;

bool writeReadyFile(const std::string& path, const std::string& content, std::string& error)
{
    std::string temporary = path + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (!file) {
        error = "cannot create '" + temporary + "': " + std::strerror(errno);
        return false;
    }
    std::fputs(content.c_str(), file);
    bool written = std::fclose(file) == 0;
#ifdef _WIN32
    std::remove(path.c_str());  // rename does not replace there
#endif
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

const char* controlName(uint32_t code)
{
    return code == MSG_NEXT_FRAME ? "NEXT_FRAME" : "SEND_BODY";
}

std::string keepViewerAlive(SocketHandle socket)
{
    return keepAlive(socket, kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds, kKeepAliveProbes);
}

}  // namespace

SessionLoop::SessionLoop(const SessionConfig& config, EventLog& log) : log_(log), config_(config)
{
}

SessionLoop::~SessionLoop()
{
    for (SocketHandle socket : {frameFd_, inputFd_, frameListener_, inputListener_})
        closeSocket(socket);
}

void SessionLoop::stop()
{
    stopRequested_ = true;
    waker_.wake();
}

bool SessionLoop::listen(std::string& error)
{
    int framePort = 0, inputPort = 0;
    if (!startSockets(error))
        return false;
    if (!waker_.open()) {
        error = "cannot make the loop's wake-up socket";
        return false;
    }
    frameListener_ = openListener(config_.address, config_.framePort, framePort, error);
    if (frameListener_ == kNoSocket)
        return false;
    if (config_.inputListener) {
        inputListener_ = openListener(config_.address, config_.inputPort, inputPort, error,
                                      config_.leaveInputUnread ? 4096 : 0);
        if (inputListener_ == kNoSocket)
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
    bool sessionActive = false;
    while (g_stopSignal == 0 && !stopRequested_) {
        PollEntry entries[6];
        int count = 0;
        auto add = [&](SocketHandle socket) {
            entries[count] = {socket, false};
            return &entries[count++].ready;
        };
        bool never = false;
        bool* wakerReady = add(waker_.socket());
        bool* frameListenerReady = &never;
        bool* inputListenerReady = &never;
        bool* inputReady = &never;
        bool* frameReady = &never;
        if (!sessionActive || config_.refuseWhileBusy)
            frameListenerReady = add(frameListener_);
        bool waiting = sessionActive && await_ == Await::Answer;
        ChangeWatch watch;
        if (sessionActive) {
            if (inputFd_ == kNoSocket && inputListener_ != kNoSocket)
                inputListenerReady = add(inputListener_);
            if (inputFd_ != kNoSocket && !config_.leaveInputUnread)
                inputReady = add(inputFd_);
            frameReady = add(frameFd_);
            if (waiting) {
                watch = changeWatch();
                if (watch.fd != kNoSocket)
                    add(watch.fd);
            }
        }
        std::string error;
        if (waitReadable(entries, count, waiting ? watch.timeoutMs : -1, error) < 0) {
            log_.event("poll-error %s", error.c_str());
            break;
        }
        if (*wakerReady)
            waker_.clear();
        if (*frameListenerReady) {
            if (sessionActive) {
                refuseFrame();
            } else {
                acceptFrame();
                sessionActive = frameFd_ != kNoSocket;
                continue;
            }
        }
        if (*inputListenerReady)
            acceptInput();
        if (*inputReady && inputFd_ != kNoSocket)
            readInput();
        if (*frameReady && !sessionOver_)
            readFrame();
        if ((exitRequested_ || stopRequested_) && sessionActive && !sessionOver_)
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
    SocketHandle fd = acceptFrom(frameListener_, peer);
    if (fd == kNoSocket)
        return;  // the connection went away again, or a spurious wake-up
    PeerCheck check = checkConnection(fd, "frame", peer, config_, log_, false);
    if (check == PeerCheck::Refused)
        return;
    frameSettled_ = check == PeerCheck::Admitted;
    tuneForFrames(fd, kSendTimeoutSeconds);
    std::string keepalive = keepViewerAlive(fd);
    frameFd_ = fd;
    viewer_ = peer;
    sessionOver_ = false;
    controlHave_ = 0;
    await_ = Await::NextFrame;
    framesAnnounced_ = 0;
    pendingBody_.clear();
    accepted_ = 0;
    everAccepted_ = false;
    bodyPushed_ = false;
    log_.event("frame-connected %s keepalive=%s", peer.c_str(), keepalive.c_str());
    sessionStarted();
}

void SessionLoop::refuseFrame()
{
    std::string peer;
    SocketHandle fd = acceptFrom(frameListener_, peer);
    if (fd == kNoSocket)
        return;
    closeSocket(fd);
    log_.event("frame-refused %s busy", peer.c_str());
}

void SessionLoop::acceptInput()
{
    std::string peer;
    SocketHandle fd = acceptFrom(inputListener_, peer);
    if (fd == kNoSocket)
        return;
    PeerCheck check = checkConnection(fd, "input", peer, config_, log_, false);
    if (check == PeerCheck::Refused)
        return;
    inputSettled_ = check == PeerCheck::Admitted;
    inputPeer_ = peer;
    std::string keepalive = keepViewerAlive(fd);
    inputFd_ = fd;
    input_.clear();
    log_.event("input-connected %s keepalive=%s", peer.c_str(), keepalive.c_str());
}

void SessionLoop::readFrame()
{
    uint8_t buffer[1024];
    std::string error;
    long got = receiveSome(frameFd_, buffer, sizeof buffer, error);
    if (got == kReceiveWouldBlock)
        return;
    if (got < 0) {
        log_.event("frame-recv-error %s", error.c_str());
        endSession(true, nullptr);
        return;
    }
    // An owner unknown at accept is known once the peer has sent something, and must be
    // before its first message is acted on.
    if (got > 0 && !frameSettled_) {
        frameSettled_ = true;
        if (checkConnection(frameFd_, "frame", viewer_, config_, log_, true) == PeerCheck::Refused) {
            frameFd_ = kNoSocket;  // closed by the check
            endSession(false, "refused");
            return;
        }
    }
    if (got == 0) {
        if (controlHave_ > 0)
            log_.event("frame-recv partial %s", hexBytes(control_, size_t(controlHave_)).c_str());
        endSession(true, nullptr);
        return;
    }
    for (long i = 0; i < got; ++i) {
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
    ControlMessage control = decodeControlMessage(message);
    uint16_t version = 0;
    bool wordsRight = control.code == MSG_NEXT_FRAME
                          ? readAcceptance(control.second, control.third, extensionVersion(), version)
                          : control.second == 0 && control.third == 0;
    bool expected = (control.code == MSG_NEXT_FRAME || control.code == MSG_SEND_BODY) && wordsRight &&
                    await_ != Await::Answer &&
                    ((control.code == MSG_NEXT_FRAME && await_ != Await::Body) ||
                     (control.code == MSG_SEND_BODY && await_ != Await::NextFrame));
    if (!expected) {
        bool badAcceptance = control.code == MSG_NEXT_FRAME && !wordsRight && control.second == kAcceptanceTag;
        log_.event("frame-recv unexpected 0x%08X 0x%08X 0x%08X%s", control.code, control.second, control.third,
                   badAcceptance ? " (an extension version this host does not speak)" : "");
        endSession(false, badAcceptance ? "extension-unknown" : "unexpected");
        return false;
    }
    log_.event("frame-recv %s", controlName(control.code));
    if (control.code == MSG_SEND_BODY)
        return answerSendBody();
    if (version > 0 && !everAccepted_)
        log_.event("extension-accepted version=%u", unsigned(version));
    everAccepted_ = everAccepted_ || version > 0;
    accepted_ = version;
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
    // With the extension the viewer's MSG_SEND_BODY only confirms what is on its way.
    bodyPushed_ = accepted_ > 0 && await_ == Await::Body;
    if (bodyPushed_) {
        std::vector<uint8_t> pushed = std::move(pendingBody_);
        pendingBody_.clear();
        return sendBody(pushed, index);
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
    if (bodyPushed_) {
        bodyPushed_ = false;
        return true;
    }
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
    std::string error;
    if (::sendAll(frameFd_, data, size, error))
        return true;
    log_.event("frame-send-error %s", error.c_str());
    return false;
}

void SessionLoop::pause(int milliseconds) const
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SessionLoop::readInput()
{
    uint8_t buffer[4096];
    std::string error;
    long got = receiveSome(inputFd_, buffer, sizeof buffer, error);
    if (got == kReceiveWouldBlock)
        return;
    if (got < 0) {
        log_.event("input-recv-error %s", error.c_str());
        closeInput(true);
        return;
    }
    if (got == 0) {
        closeInput(true);
        return;
    }
    if (!inputSettled_) {
        inputSettled_ = true;
        if (checkConnection(inputFd_, "input", inputPeer_, config_, log_, true) == PeerCheck::Refused) {
            inputFd_ = kNoSocket;  // closed by the check
            input_.clear();
            inputClosed();
            if (config_.endWithInput && frameFd_ != kNoSocket)
                endSession(false, "input-closed");
            return;
        }
    }
    inputReceived(buffer, size_t(got));
    input_.append(buffer, size_t(got));
    decodeInput();
}

void SessionLoop::drainInput()
{
    // Whatever the client sent before the session ended is still logged.
    for (int rounds = 0; inputFd_ != kNoSocket && !config_.leaveInputUnread && rounds < 1024; ++rounds) {
        PollEntry entry{inputFd_};
        std::string error;
        if (waitReadable(&entry, 1, 0, error) <= 0)
            return;
        readInput();
    }
}

void SessionLoop::decodeInput()
{
    InputEvent event;
    while (inputFd_ != kNoSocket && input_.next(event))
        if (!inputMessage(event))
            closeInput(false);
}

void SessionLoop::closeInput(bool byClient)
{
    if (inputFd_ == kNoSocket)
        return;
    if (input_.pendingSize() > 0)
        log_.event("input-trailing %s", hexBytes(input_.pending(), input_.pendingSize()).c_str());
    input_.clear();
    closeSocket(inputFd_);
    inputFd_ = kNoSocket;
    log_.line(byClient ? "input-closed-by-client" : "input-closed-by-server");
    inputClosed();
    if (config_.endWithInput && frameFd_ != kNoSocket)
        endSession(false, "input-closed");
}

void SessionLoop::endSession(bool byClient, const char* reason)
{
    // Draining the input may find it closed, which with endWithInput ends the session too:
    // once is enough.
    if (sessionOver_)
        return;
    sessionOver_ = true;
    drainInput();
    if (byClient)
        log_.line("frame-closed-by-client");
    else
        log_.event("frame-closed-by-server %s", reason);
    closeSocket(frameFd_);
    frameFd_ = kNoSocket;
    closeInput(false);
    pendingBody_.clear();
    sessionEnded();
    log_.line("session-end");
}
