#include "server/server.h"

#include <algorithm>

#include "wire/input_wire.h"
#include "wire/frame_wire.h"

namespace {

constexpr uint8_t kExtraByte = 0xEE;

std::vector<uint8_t> notJpegBody(size_t length, uint64_t index)
{
    std::string text = "TAVIMO TEST BODY, NOT A JPEG: frame " + std::to_string(index) + "\n";
    std::vector<uint8_t> body(length);
    for (size_t i = 0; i < length; ++i)
        body[i] = uint8_t(text[i % text.size()]);
    return body;
}

}  // namespace

SessionConfig sessionConfigFor(const ServerOptions& options)
{
    SessionConfig config;
    config.address = options.address;
    config.framePort = options.framePort;
    config.inputPort = options.inputPort;
    config.inputListener = !options.noInputListener;
    config.readyPath = options.readyPath;
    config.once = options.once;
    config.leaveInputUnread = options.inputUnread;
    return config;
}

Server::Server(const ServerOptions& options, std::unique_ptr<PictureSource> source, EventLog& log)
    : SessionLoop(sessionConfigFor(options), log), options_(options), source_(std::move(source))
{
}

FrameAnswer Server::nextFrame(uint64_t index, std::vector<uint8_t>& body, int32_t& announced,
                              const char*& reason)
{
    if (options_.closeAfter >= 0 && index >= uint64_t(options_.closeAfter)) {
        reason = "close-after";
        return FrameAnswer::Fail;
    }
    body = source_->frame(index);
    if (options_.notJpeg)
        body = notJpegBody(body.size(), index);
    announced = options_.announceSet ? options_.announce : int32_t(body.size());
    return FrameAnswer::Send;
}

bool Server::sendHeader(const uint8_t* header, size_t size)
{
    if (!options_.splitHeader)
        return sendAll(header, size);
    if (!sendAll(header, 2))
        return false;
    pause(options_.pieceDelayMs);
    return sendAll(header + 2, size - 2);
}

bool Server::sendBody(std::vector<uint8_t>& body, uint64_t frame)
{
    unsigned long long index = static_cast<unsigned long long>(frame);
    if (options_.closeMidBody && !firstBodyDone_) {
        firstBodyDone_ = true;
        size_t half = body.size() / 2;
        log_.event("frame-send body-partial %zu of %zu frame=%llu", half, body.size(), index);
        if (half > 0)
            sendAll(body.data(), half);
        endSession(false, "close-mid-body");
        return false;
    }
    firstBodyDone_ = true;

    size_t bodySize = body.size();
    body.insert(body.end(), size_t(options_.extraBytes), kExtraByte);
    log_.event("frame-send body %zu frame=%llu", bodySize, index);
    if (options_.extraBytes > 0)
        log_.event("frame-send extra %d", options_.extraBytes);

    // The body in pieces; the extra bytes ride with the last one.
    size_t pieces = std::max<size_t>(1, std::min<size_t>(size_t(options_.bodyPieces), bodySize));
    size_t offset = 0;
    for (size_t piece = 0; piece < pieces; ++piece) {
        size_t end = piece + 1 == pieces ? body.size() : bodySize * (piece + 1) / pieces;
        if (piece > 0)
            pause(options_.pieceDelayMs);
        if (end > offset && !sendAll(body.data() + offset, end - offset)) {
            endSession(false, "send-error");
            return false;
        }
        offset = end;
    }
    return true;
}

void Server::inputReceived(const uint8_t* data, size_t size)
{
    log_.event("input-recv %s", hexBytes(data, size).c_str());
}

bool Server::inputMessage(const InputEvent& event)
{
    switch (event.type) {
    case MSG_MOUSE:
        log_.event("input-message MOUSE arg=0x%04X pos=0x%08X x=%d y=%d width=%d height=%d", event.argument,
                   event.position, positionX(event.position), positionY(event.position), event.width,
                   event.height);
        break;
    case MSG_KEY:
        log_.event("input-message KEY arg=0x%04X key=0x%08X width=%d height=%d", event.argument, event.position,
                   event.width, event.height);
        break;
    case MSG_SERVER_EXIT:
        log_.line("input-message SERVER_EXIT");
        break;
    case MSG_TELNET:
        log_.line("input-message TELNET");
        break;
    default:
        log_.event("input-message UNKNOWN type=0x%08X", event.type);
        break;
    }
    return true;
}
