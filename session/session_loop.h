// The lock-step session loop shared by the two hosts and the counterpart server, on POSIX
// sockets or Winsock: the two listeners, one viewer at a time (a FrameChannel connection
// and the InputChannel connection that comes while it lasts), ControlMessages checked and
// answered in turn, a request held while the frame source has nothing new, and the
// InputChannel's stream cut into messages. A request that accepts the frame extension is
// answered in one trip: the body follows its header at once. What a frame is and what input does are the
// subclass's.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "session/event_log.h"
#include "wire/input_stream.h"
#include "session/socket_io.h"

struct SessionConfig {
    std::string address = "127.0.0.1";
    int framePort = 54321;  // 0: any free port (the log and the ready file tell which)
    int inputPort = 54322;
    bool inputListener = true;
    std::string readyPath;  // written (via a rename) once the listeners listen
    bool once = false;      // end after the first session
    // Accept and close at once a FrameChannel that comes while a session runs; otherwise
    // it waits in the backlog until the session is over.
    bool refuseWhileBusy = false;
    // On a loopback address, connections from sockets of other local users are closed at once.
    bool ownUserOnly = false;
    // For tests of a stalled server: the InputChannel is accepted with a small receive
    // buffer and never read.
    bool leaveInputUnread = false;
    // The InputChannel closing, by either side, ends the session too: a viewer is both
    // channels, and one that lost its input must not keep the slot.
    bool endWithInput = false;
};

// What nextFrame makes of a MSG_NEXT_FRAME.
enum class FrameAnswer {
    Send,  // the header (and the body to come) are ready
    Wait,  // nothing new yet: asked again when the change watch fires
    Fail,  // the session ends, with the reason logged
};

// While a request waits: a descriptor that becomes readable when something may have
// changed, and the longest wait before asking again (-1: no limit).
struct ChangeWatch {
    SocketHandle fd = kNoSocket;  // on Windows a socket only
    int timeoutMs = -1;
};

// Set by the SIGINT/SIGTERM handler.
extern volatile int g_stopSignal;

// SIGPIPE ignored; SIGINT and SIGTERM set g_stopSignal and stay blocked except while the
// loop waits, so no stop is missed. Nothing on Windows.
void takeStopSignals();

class SessionLoop {
public:
    SessionLoop(const SessionConfig& config, EventLog& log);
    virtual ~SessionLoop();
    SessionLoop(const SessionLoop&) = delete;
    SessionLoop& operator=(const SessionLoop&) = delete;

    // Binds the listeners and writes the ready file. False, with `error` set, when it cannot.
    bool listen(std::string& error);
    // Serves until --once is done, exit is asked for or SIGINT/SIGTERM arrives (which the
    // caller has blocked; they are let through only while waiting). Returns the exit status.
    int run();
    // From another thread: ends the session, if one runs, and then run().
    void stop();

protected:
    // MSG_NEXT_FRAME: the body of frame `index` and the length to announce. Wait holds
    // the answer; the question comes again, with the same index, whenever changeWatch()
    // fires or anything else wakes the loop, until it is answered or the session ends.
    virtual FrameAnswer nextFrame(uint64_t index, std::vector<uint8_t>& body, int32_t& announced,
                                  const char*& reason) = 0;
    // Only asked while a request waits.
    virtual ChangeWatch changeWatch() { return {}; }
    // The highest frame extension version this server speaks; 0: none, and a request whose
    // spare words are not zero is a protocol violation.
    virtual uint16_t extensionVersion() const { return 0; }
    virtual bool sendHeader(const uint8_t* header, size_t size);
    // MSG_SEND_BODY after a positive announcement. False when the session has ended (the
    // override calls endSession itself).
    virtual bool sendBody(std::vector<uint8_t>& body, uint64_t index);
    // Every receive on the InputChannel, before it is cut into messages.
    virtual void inputReceived(const uint8_t* data, size_t size) { (void)data; (void)size; }
    // One whole message. False ends the InputChannel (the session goes on).
    virtual bool inputMessage(const InputEvent& event) = 0;
    // The InputChannel is closed, by either side.
    virtual void inputClosed() {}
    virtual void sessionStarted() {}
    // After both channels are closed.
    virtual void sessionEnded() {}

    bool sendAll(const uint8_t* data, size_t size);
    void pause(int milliseconds) const;
    void endSession(bool byClient, const char* reason);
    // Ends the session, if one runs, and then the loop, with exit status 0.
    void requestExit() { exitRequested_ = true; }
    // The extension version the request being answered accepted; 0: a plain request.
    uint16_t accepted() const { return accepted_; }
    // Where the session's FrameChannel comes from ("a.b.c.d:port").
    const std::string& viewer() const { return viewer_; }

    EventLog& log_;

private:
    enum class Await {
        Answer,            // a MSG_NEXT_FRAME waits for its header: nothing is right
        NextFrame,         // only MSG_NEXT_FRAME is right
        Body,              // a body was announced: only MSG_SEND_BODY is right
        EitherAfterEmpty,  // no body was announced (0 or below): either is taken
    };

    void acceptFrame();
    void refuseFrame();
    void acceptInput();
    void readFrame();
    void readInput();
    void drainInput();
    void decodeInput();
    // Returns false when the session ended.
    bool handleControl(const uint8_t message[12]);
    bool answerNextFrame();
    bool answerSendBody();
    void closeInput(bool byClient);

    SessionConfig config_;
    SocketHandle frameListener_ = kNoSocket;
    SocketHandle inputListener_ = kNoSocket;
    bool exitRequested_ = false;
    std::atomic<bool> stopRequested_{false};
    Waker waker_;

    // The session.
    SocketHandle frameFd_ = kNoSocket;
    bool frameSettled_ = true;  // false: its owner is to be checked at its first bytes
    std::string viewer_;
    SocketHandle inputFd_ = kNoSocket;
    bool inputSettled_ = true;
    std::string inputPeer_;
    bool sessionOver_ = false;
    uint8_t control_[12] = {};
    int controlHave_ = 0;
    Await await_ = Await::NextFrame;
    uint64_t framesAnnounced_ = 0;  // headers sent in this session; the next frame's index
    std::vector<uint8_t> pendingBody_;
    uint16_t accepted_ = 0;
    bool everAccepted_ = false;  // for the log's one line a session
    bool bodyPushed_ = false;    // the body went out behind its header: SEND_BODY is only checked
    InputStream input_;
};
