// The host's side of a viewer session: a fresh capture of the X screen for every
// MSG_NEXT_FRAME, encoded to fit the viewer's frame buffer, and the viewer's input played
// back through XTest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/jpeg_encoder.h"
#include "host/key_table.h"
#include "host/mouse_machine.h"
#include "host/quality.h"
#include "host/x_display.h"
#include "session/session_loop.h"

struct HostSettings {
    int quality = 80;
    int subsampling = 2;      // TJSAMP_420
    size_t bodyLimit = 500000;
    bool traceInput = false;  // log every input message (keys included: not by default)
    KeyboardLayout keyboard = KeyboardLayout::Us;  // the viewer's: where its key codes sit
};

class HostSession : public SessionLoop {
public:
    HostSession(const SessionConfig& config, const HostSettings& settings, XDisplay& display, EventLog& log);

protected:
    bool nextFrame(uint64_t index, std::vector<uint8_t>& body, int32_t& announced, const char*& reason) override;
    bool inputMessage(const InputEvent& event) override;
    void inputClosed() override;
    void sessionStarted() override;
    void sessionEnded() override;

private:
    const ScreenPicture& toSessionSize(const ScreenPicture& picture);
    bool encodeToFit(const ScreenPicture& picture, uint64_t index, const char*& reason);
    void mouse(const InputEvent& event);
    void key(const InputEvent& event);
    void perform(const std::vector<PointerAction>& actions);

    HostSettings settings_;
    XDisplay& display_;
    JpegEncoder encoder_;
    QualityGovernor quality_;
    MouseMachine mouse_;
    KeyTracker keys_;
    int width_ = 0;  // the first frame's size, which every frame of the session keeps
    int height_ = 0;
    int screenWidth_ = 0;
    int screenHeight_ = 0;
    // Per-session totals for the summary line.
    uint64_t frames_ = 0;
    uint64_t unchanged_ = 0;  // frames sent again as they were: nothing on the screen changed
    double captureMs_ = 0;
    double encodeMs_ = 0;
    uint64_t bytes_ = 0;
    ScreenPicture fitted_;
    std::vector<uint8_t> fittedPixels_;
};
