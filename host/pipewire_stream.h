// A screen's PipeWire stream made into the host's pictures: the stream runs on a thread of
// its own, so the compositor always gets its buffers back at once (a frame it finds no
// buffer for is lost), and an eventfd written when the picture changed or the stream
// failed is the host's change watch, so a still screen wakes nobody. Frames come in shared
// memory, with damage and pointer as metadata where the compositor gives them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/desktop.h"

class PipeWireStream {
public:
    PipeWireStream();
    ~PipeWireStream();
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    // Connects to `node`, through `remote` when given (a PipeWire connection a portal
    // opened; taken over and closed here), else to the session's PipeWire, and waits for
    // the first frame; `error` says what failed. A stream that started while its screen was
    // still may miss the compositor's first paint and wait for the next change: `nudge`,
    // when given, is called once after a second without a frame to bring one about.
    bool start(uint32_t node, int remote, std::string& error, const std::function<void()>& nudge = {});
    // Readable while news waits; consume() clears it.
    int changeFd() const;
    void consume();
    // Whether the picture changed since the last take, or the stream failed.
    bool changed();
    // The picture since the last take, pointer drawn in; false with `error` once the stream failed.
    bool take(ScreenPicture& out, std::string& error);
    // Whether the stream failed, for good.
    bool failed() const;
    // For the log: whether the stream says where frames changed, or the tiles are compared.
    std::string captureMethod() const;

    struct Parts;  // PipeWire's objects, kept out of this header

private:
    std::unique_ptr<Parts> parts_;
};
