// The poll() loop: the two listeners and one session (a FrameChannel connection and the
// InputChannel connection that goes with it) at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/event_log.h"
#include "server/options.h"
#include "server/picture_source.h"

class Server {
public:
    Server(const ServerOptions& options, std::unique_ptr<PictureSource> source, EventLog& log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the listeners and writes the ready file. False, with `error` set, when it cannot.
    bool listen(std::string& error);
    // Serves until --once is done or SIGINT/SIGTERM arrives (which the caller has blocked;
    // they are let through only while waiting). Returns the exit status.
    int run();

private:
    enum class Await {
        NextFrame,     // only MSG_NEXT_FRAME is right
        Body,          // a body was announced: only MSG_SEND_BODY is right
        EitherAfterEmpty,  // no body was announced (0 or below): either is taken
    };

    void acceptFrame();
    void acceptInput();
    void readFrame();
    void readInput();
    void drainInput();
    void decodeInput();
    // Returns false when the session ended.
    bool handleControl(const uint8_t message[12]);
    bool answerNextFrame();
    bool answerSendBody();
    bool sendAll(const uint8_t* data, size_t size);
    void pause() const;
    void closeInput(bool byClient);
    void endSession(bool byClient, const char* reason);

    const ServerOptions& options_;
    std::unique_ptr<PictureSource> source_;
    EventLog& log_;

    int frameListener_ = -1;
    int inputListener_ = -1;

    // The session.
    int frameFd_ = -1;
    int inputFd_ = -1;
    bool sessionOver_ = false;
    uint8_t control_[12] = {};
    int controlHave_ = 0;
    Await await_ = Await::NextFrame;
    uint64_t framesAnnounced_ = 0;  // headers sent in this session; the next frame's index
    std::vector<uint8_t> pendingBody_;
    bool firstBodyDone_ = false;
    std::vector<uint8_t> inputBuffer_;
};

// Set by the SIGINT/SIGTERM handler.
extern volatile int g_stopSignal;
