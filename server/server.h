// The counterpart server's session: the generated or stored pictures, the raw input log,
// and the misbehaviours the viewer's tests ask for.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/options.h"
#include "server/picture_source.h"
#include "session/session_loop.h"

SessionConfig sessionConfigFor(const ServerOptions& options);

class Server : public SessionLoop {
public:
    Server(const ServerOptions& options, std::unique_ptr<PictureSource> source, EventLog& log);

protected:
    FrameAnswer nextFrame(uint64_t index, std::vector<uint8_t>& body, int32_t& announced,
                          const char*& reason) override;
    bool sendHeader(const uint8_t* header, size_t size) override;
    bool sendBody(std::vector<uint8_t>& body, uint64_t index) override;
    void inputReceived(const uint8_t* data, size_t size) override;
    bool inputMessage(const InputEvent& event) override;
    void sessionStarted() override { firstBodyDone_ = false; }

private:
    const ServerOptions& options_;
    std::unique_ptr<PictureSource> source_;
    bool firstBodyDone_ = false;
};
