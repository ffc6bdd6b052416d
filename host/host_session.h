// The host's side of a viewer session: MSG_NEXT_FRAME is answered once the screen has
// changed since the last frame (the first frame at once), with a fresh capture encoded to
// fit the viewer's frame buffer and the rate cap; the viewer's input is played back on the
// desktop. Plain frames carry the extension's offer; a viewer that took it gets only the
// changed areas, in one trip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/frame_areas.h"
#include "host/frame_scale.h"
#include "host/frame_stream.h"
#include "host/jpeg_encoder.h"
#include "host/key_table.h"
#include "host/mouse_machine.h"
#include "host/quality.h"
#include "host/desktop.h"
#include "session/frame_pacer.h"
#include "session/session_loop.h"

struct HostSettings {
    int quality = 80;
    int subsampling = 2;      // TJSAMP_420
    size_t bodyLimit = 500000;
    bool traceInput = false;  // log every input message (keys included: not by default)
    PacerSettings pacing;     // its quality is `quality`
    ScaleRequest scale;       // --scale, --fit
};

class HostSession : public SessionLoop {
public:
    HostSession(const SessionConfig& config, const HostSettings& settings, Desktop& display, EventLog& log);
    // Whether run() ended because the desktop went away (exit status 1, as a lost X display).
    bool desktopGone() const { return desktopGone_; }

protected:
    FrameAnswer nextFrame(uint64_t index, std::vector<uint8_t>& body, int32_t& announced,
                          const char*& reason) override;
    ChangeWatch changeWatch() override;
    uint16_t extensionVersion() const override { return kExtensionVersion; }
    bool inputMessage(const InputEvent& event) override;
    void inputClosed() override;
    void sessionStarted() override;
    void sessionEnded() override;

private:
    FrameAnswer waitUntil(int64_t at);
    bool captureAndEncode(uint64_t index, int ceiling, bool force, bool& changed, const char*& reason);
    const ScreenPicture& toSessionSize(const ScreenPicture& picture);
    // The picture at the session's scale, changed parts carried across.
    // `streamed`: the capture's rows were scaled as they came.
    const ScreenPicture& toFrameScale(const ScreenPicture& picture, bool streamed);
    // Whether the next capture, if it reads the whole screen, can be made into a frame as
    // its rows arrive; arms the stream if so.
    bool armStream(int quality);
    // What this frame carries: the whole picture, or the planned areas.
    AreaPlan planFrame(const ScreenPicture& picture, uint64_t index, bool force);
    // `encoded`: the encoder already holds the picture at the first quality tried.
    bool encodeToFit(const ScreenPicture& picture, uint64_t index, int ceiling, size_t reserve, bool encoded,
                     int& used, const char*& reason);
    bool encodeFrame(const ScreenPicture& picture, const AreaPlan& plan, uint64_t index, int ceiling, bool encoded,
                     const char*& reason);
    void mouse(const InputEvent& event);
    void key(const InputEvent& event);
    void perform(const std::vector<PointerAction>& actions);

    HostSettings settings_;
    Desktop& display_;
    JpegEncoder encoder_;
    FrameStream stream_;
    QualityGovernor quality_;
    FramePacer pacer_;
    int64_t wakeAt_ = -1;  // while a request waits: when to ask again regardless of X events
    MouseMachine mouse_;
    KeyTracker keys_;
    int width_ = 0;  // the first frame's size, which every frame of the session keeps
    int height_ = 0;
    int screenWidth_ = 0;
    int screenHeight_ = 0;
    // The first screen's size: later screens are scaled by the same factor.
    int firstScreenWidth_ = 0;
    int firstScreenHeight_ = 0;
    int scaledWidth_ = 0;  // the screen at the session's scale
    int scaledHeight_ = 0;
    bool scaledValid_ = false;  // scaledPixels_ holds the last capture scaled whole
    PictureScaler scaler_;
    ScreenPicture scaled_;
    std::vector<uint8_t> scaledPixels_;
    // Per-session totals for the summary line.
    uint64_t frames_ = 0;
    uint64_t sharp_ = 0;  // frames sent again at full quality once the screen was still
    double captureMs_ = 0;
    double encodeMs_ = 0;
    uint64_t bytes_ = 0;
    uint64_t partial_ = 0;  // frames of areas
    uint64_t streamed_ = 0; // whole frames made while the screen was read
    ScreenPicture fitted_;
    std::vector<uint8_t> fittedPixels_;
    std::vector<uint8_t> atlasPixels_;
    std::vector<uint8_t> frame_;  // the body as it goes out
    bool lastWhole_ = true;       // what the last frame carried, for the pacer
    // What went out below --quality and is to be sent again once the screen is still.
    std::vector<PixelRect> blurred_;
    bool blurredWhole_ = false;
    bool desktopGone_ = false;
};
