#include "host/host_session.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "host/screen_fit.h"
#include "wire/input_wire.h"

HostSession::HostSession(const SessionConfig& config, const HostSettings& settings, Desktop& display,
                         EventLog& log)
    : SessionLoop(config, log),
      settings_(settings),
      display_(display),
      quality_(settings.quality),
      pacer_(settings.pacing)
{
}

namespace {

double millisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void HostSession::sessionStarted()
{
    width_ = height_ = 0;
    quality_ = QualityGovernor(settings_.quality);
    pacer_.reset();
    wakeAt_ = -1;
    frames_ = sharp_ = bytes_ = partial_ = streamed_ = 0;
    captureMs_ = encodeMs_ = 0;
    blurred_.clear();
    blurredWhole_ = false;
}

void HostSession::sessionEnded()
{
    if (frames_ > 0)
        log_.event("frames %llu partial=%llu sharp=%llu capture-ms=%.2f encode-ms=%.2f bytes=%llu streamed=%llu",
                   static_cast<unsigned long long>(frames_), static_cast<unsigned long long>(partial_),
                   static_cast<unsigned long long>(sharp_),
                   captureMs_ / double(frames_), encodeMs_ / double(frames_),
                   static_cast<unsigned long long>(bytes_ / frames_), static_cast<unsigned long long>(streamed_));
}

FrameAnswer HostSession::nextFrame(uint64_t index, std::vector<uint8_t>& body, int32_t& announced,
                                   const char*& reason)
{
    int64_t now = nowMs();
    // The first frame goes out at once; without XDamage every request reads the screen.
    bool onChange = index > 0 && display_.watchesChanges();
    bool changed = false;
    if (!onChange || display_.changedSinceCapture()) {
        if (pacer_.sendAt(now) > now)
            return waitUntil(pacer_.sendAt(now));
        if (!captureAndEncode(index, pacer_.quality(), false, changed, reason))
            return FrameAnswer::Fail;
    }
    // Nothing changed after all (damage that left the pixels as they were, a pointer back
    // where it was drawn, a desktop that can only be looked at): perhaps the sharp frame.
    bool sharp = onChange && !changed;
    if (sharp) {
        int64_t sharpenAt = pacer_.sharpenAt(now);
        if (sharpenAt < 0 || sharpenAt > now)
            return waitUntil(sharpenAt);
        if (!captureAndEncode(index, settings_.quality, true, changed, reason))
            return FrameAnswer::Fail;
    }
    wakeAt_ = -1;
    int before = pacer_.quality();
    pacer_.sent(nowMs(), frame_.size(), sharp, lastWhole_);
    if (pacer_.quality() != before)
        log_.event("rate-quality %d -> %d frame=%llu bytes=%zu", before, pacer_.quality(),
                   static_cast<unsigned long long>(index), frame_.size());
    ++frames_;
    sharp_ += sharp;
    partial_ += !lastWhole_;
    bytes_ += frame_.size();
    body = frame_;
    announced = int32_t(body.size());
    return FrameAnswer::Send;
}

FrameAnswer HostSession::waitUntil(int64_t at)
{
    wakeAt_ = at;
    return FrameAnswer::Wait;
}

ChangeWatch HostSession::changeWatch()
{
    ChangeWatch watch = display_.changeWatch();
    if (wakeAt_ >= 0) {
        int untilWake = int(std::max<int64_t>(0, wakeAt_ - nowMs()));
        watch.timeoutMs = watch.timeoutMs < 0 ? untilWake : std::min(watch.timeoutMs, untilWake);
    }
    return watch;
}

// `force` encodes even a picture that did not change (the first frame, the sharp one).
bool HostSession::captureAndEncode(uint64_t index, int ceiling, bool force, bool& changed, const char*& reason)
{
    ScreenPicture picture;
    std::string error;
    int quality = std::min(quality_.start(), ceiling);
    bool streaming = armStream(quality);
    auto start = std::chrono::steady_clock::now();
    bool captured = display_.capture(picture, error);
    std::string streamError;
    bool streamed = streaming && stream_.finish(streamError);
    if (!streamError.empty())
        log_.event("encode-error %s", streamError.c_str());
    captureMs_ += millisecondsSince(start);
    if (!captured) {
        log_.event("capture-error %s", error.c_str());
        reason = "capture-error";
        if (display_.gone()) {
            log_.line("display-lost");
            desktopGone_ = true;
            stop();
        }
        return false;
    }
    if (index == 0) {
        ScaledSize size = scaledSize(picture.width, picture.height, settings_.scale);
        width_ = size.width;
        height_ = size.height;
        firstScreenWidth_ = picture.width;
        firstScreenHeight_ = picture.height;
        screenWidth_ = 0;
        if (size.limited)
            log_.event("frame-scaled %dx%d -> %dx%d: larger than a viewer can show", picture.width, picture.height,
                       width_, height_);
        else if (width_ != picture.width || height_ != picture.height)
            log_.event("frame-scaled %dx%d -> %dx%d", picture.width, picture.height, width_, height_);
        log_.event("frame-size %dx%d capture=%s", width_, height_, display_.captureMethod().c_str());
    }
    if (picture.width != screenWidth_ || picture.height != screenHeight_) {
        if (index > 0)
            log_.event("screen-size %dx%d frames-stay %dx%d", picture.width, picture.height, width_, height_);
        screenWidth_ = picture.width;
        screenHeight_ = picture.height;
        scaledWidth_ = std::max(1, int(int64_t(picture.width) * width_ / firstScreenWidth_));
        scaledHeight_ = std::max(1, int(int64_t(picture.height) * height_ / firstScreenHeight_));
        scaledValid_ = false;
    }
    changed = picture.changed;
    if (!changed && !force && index > 0)
        return true;
    streamed = streamed && picture.changed && picture.areas.empty();
    const ScreenPicture& fitted = toSessionSize(toFrameScale(picture, streamed));
    AreaPlan plan = planFrame(fitted, index, force);
    start = std::chrono::steady_clock::now();
    bool encoded = encodeFrame(fitted, plan, index, ceiling, streamed && plan.whole, reason);
    streamed_ += encoded && streamed && plan.whole;
    encodeMs_ += millisecondsSince(start);
    return encoded;
}

bool HostSession::armStream(int quality)
{
    // Not for the first frame (its size is not settled yet) nor for a screen that changed
    // size (its frames are fitted to the session's afterwards).
    bool ready = screenWidth_ > 0 && scaledWidth_ == width_ && scaledHeight_ == height_;
    if (ready) {
        bool scaled = scaledWidth_ != screenWidth_ || scaledHeight_ != screenHeight_;
        if (scaled)
            scaledPixels_.resize(size_t(scaledWidth_) * 4 * size_t(scaledHeight_));
        FrameStream::Target target;
        target.screenWidth = screenWidth_;
        target.screenHeight = screenHeight_;
        target.width = scaledWidth_;
        target.height = scaledHeight_;
        target.scaled = scaled ? scaledPixels_.data() : nullptr;
        target.subsampling = settings_.subsampling;
        target.quality = quality;
        stream_.arm(target, encoder_, scaler_);
    }
    display_.listenToRows(ready ? &stream_ : nullptr);
    return ready;
}

AreaPlan HostSession::planFrame(const ScreenPicture& picture, uint64_t index, bool force)
{
    AreaPlan plan;
    plan.whole = true;
    // A plain request, the first frame, a screen of another size than the session's, or a
    // desktop that cannot say where it changed: the whole picture.
    if (accepted() == 0 || index == 0 || &picture == &fitted_ || (picture.changed && picture.areas.empty()))
        return plan;
    std::vector<PixelRect> parts = picture.changed ? picture.areas : std::vector<PixelRect>();
    if (force) {
        if (blurredWhole_)
            return plan;
        parts.insert(parts.end(), blurred_.begin(), blurred_.end());
    }
    plan = planAreas(parts, picture.width, picture.height);
    if (!plan.whole && plan.areas.empty())
        plan.whole = true;  // a sharp frame with nothing left blurred: the whole picture once more
    return plan;
}

bool HostSession::encodeFrame(const ScreenPicture& picture, const AreaPlan& plan, uint64_t index, int ceiling,
                              bool encoded, const char*& reason)
{
    int used = 0;
    std::vector<uint8_t> segment;
    if (plan.whole) {
        if (accepted() == 0)
            segment = offerSegment(kExtensionVersion, kExtensionVersion);
        if (!encodeToFit(picture, index, ceiling, segment.size(), encoded, used, reason))
            return false;
    } else {
        Atlas atlas = packAtlas(plan.areas);
        fillAtlas(picture.pixels, picture.pitch, atlas, atlasPixels_);
        ScreenPicture image = picture;
        image.pixels = atlasPixels_.data();
        image.width = atlas.width;
        image.height = atlas.height;
        image.pitch = atlas.width * 4;
        segment = areasSegment(picture.width, picture.height, atlas.areas);
        if (!encodeToFit(image, index, ceiling, segment.size(), false, used, reason))
            return false;
    }
    if (segment.empty())
        frame_.assign(encoder_.data(), encoder_.data() + encoder_.size());
    else if (!insertSegment(encoder_.data(), encoder_.size(), segment, frame_)) {
        log_.event("encode-error no JPEG start");
        reason = "encode-error";
        return false;
    }
    lastWhole_ = plan.whole;
    // Sharp again only where a later frame at full quality covered it.
    if (used >= settings_.quality && plan.whole) {
        blurred_.clear();
        blurredWhole_ = false;
    } else if (used < settings_.quality) {
        blurredWhole_ = blurredWhole_ || plan.whole;
        if (!plan.whole)
            blurred_.insert(blurred_.end(), plan.areas.begin(), plan.areas.end());
    }
    if (blurred_.size() > size_t(kMaxPlannedAreas)) {
        AreaPlan merged = planAreas(blurred_, picture.width, picture.height);
        blurredWhole_ = blurredWhole_ || merged.whole;
        blurred_ = merged.areas;
    }
    return true;
}

const ScreenPicture& HostSession::toFrameScale(const ScreenPicture& picture, bool streamed)
{
    if (scaledWidth_ == picture.width && scaledHeight_ == picture.height)
        return picture;
    size_t pitch = size_t(scaledWidth_) * 4;
    scaledPixels_.resize(pitch * size_t(scaledHeight_));
    ScreenPicture scaled = picture;
    scaled.pixels = scaledPixels_.data();
    scaled.width = scaledWidth_;
    scaled.height = scaledHeight_;
    scaled.pitch = int(pitch);
    scaled.areas.clear();
    auto scale = [&](const PixelRect& area) {
        scaler_.scale(picture.pixels, picture.width, picture.height, picture.pitch, scaledPixels_.data(),
                      scaledWidth_, scaledHeight_, int(pitch), area);
    };
    // Only what changed is averaged again, over the last capture's scaled picture.
    if (!scaledValid_ || (picture.changed && picture.areas.empty())) {
        if (!streamed)
            scale({0, 0, scaledWidth_, scaledHeight_});
        scaledValid_ = true;
    } else if (picture.changed) {
        for (const PixelRect& area : picture.areas) {
            PixelRect touched = scaleRect(area, picture.width, picture.height, scaledWidth_, scaledHeight_);
            if (touched.width > 0 && touched.height > 0) {
                scale(touched);
                scaled.areas.push_back(touched);
            }
        }
    }
    scaled_ = std::move(scaled);
    return scaled_;
}

// The viewer sized its window to the first frame and takes no other size.
const ScreenPicture& HostSession::toSessionSize(const ScreenPicture& picture)
{
    if (picture.width == width_ && picture.height == height_)
        return picture;
    fitPicture(picture.pixels, picture.width, picture.height, picture.pitch, width_, height_, fittedPixels_);
    fitted_ = picture;
    fitted_.pixels = fittedPixels_.data();
    fitted_.width = width_;
    fitted_.height = height_;
    fitted_.pitch = width_ * 4;
    return fitted_;
}

bool HostSession::encodeToFit(const ScreenPicture& picture, uint64_t index, int ceiling, size_t reserve,
                              bool encoded, int& used, const char*& reason)
{
    std::string error;
    // The rate cap may ask for less than the size limit allows; only a frame that had to
    // go lower than asked teaches the limit's governor anything.
    int first = std::min(quality_.start(), ceiling);
    for (int quality = first;; quality = QualityGovernor::lower(quality)) {
        if (quality == 0) {
            log_.event("frame-too-large bytes=%zu quality=1 frame=%llu", encoder_.size(),
                       static_cast<unsigned long long>(index));
            reason = "frame-too-large";
            return false;
        }
        if (!(encoded && quality == first) &&
            !encoder_.encode(picture.pixels, picture.width, picture.pitch, picture.height, picture.pixelFormat,
                             settings_.subsampling, quality, error)) {
            log_.event("encode-error %s", error.c_str());
            reason = "encode-error";
            return false;
        }
        if (encoder_.size() + reserve > settings_.bodyLimit)
            continue;
        used = quality;
        if ((quality < first || first == quality_.start()) &&
            quality_.settled(quality, encoder_.size(), settings_.bodyLimit))
            log_.event("quality %d -> %d frame=%llu bytes=%zu", first, quality_.start(),
                       static_cast<unsigned long long>(index), encoder_.size());
        return true;
    }
}

bool HostSession::inputMessage(const InputEvent& event)
{
    switch (event.type) {
    case MSG_MOUSE:
        mouse(event);
        return true;
    case MSG_KEY:
        key(event);
        return true;
    case MSG_SERVER_EXIT:
        log_.line("input-message SERVER_EXIT");
        requestExit();
        return true;
    case MSG_TELNET:
        log_.line("input-message TELNET");
        return true;
    default:
        log_.event("input-message UNKNOWN type=0x%08X: the input channel ends", event.type);
        return false;
    }
}

void HostSession::mouse(const InputEvent& event)
{
    // Positions are frame coordinates, and there is no frame yet (a double click may come
    // before the viewer has shown anything).
    if (width_ == 0) {
        log_.event("input-mouse-before-frame 0x%04X", event.argument);
        return;
    }
    int x = 0, y = 0;
    clampToScreen(event.position, std::min(width_, scaledWidth_), std::min(height_, scaledHeight_), x, y);
    x = screenCoordinate(x, scaledWidth_, screenWidth_);
    y = screenCoordinate(y, scaledHeight_, screenHeight_);
    std::vector<PointerAction> actions;
    if (!mouse_.apply(event.argument, x, y, actions)) {
        log_.event("input-mouse-unknown 0x%04X", event.argument);
        return;
    }
    if (settings_.traceInput)
        log_.event("input-mouse 0x%04X x=%d y=%d", event.argument, x, y);
    perform(actions);
}

void HostSession::perform(const std::vector<PointerAction>& actions)
{
    for (const PointerAction& action : actions) {
        if (action.kind == PointerAction::Move)
            display_.movePointer(action.x, action.y);
        else
            display_.button(action.button, action.kind == PointerAction::Press);
    }
    display_.flush();
}

void HostSession::key(const InputEvent& event)
{
    uint32_t virtualKey = event.position;
    bool down = event.argument == 0;
    if (isMouseButtonKey(virtualKey))
        return;
    std::string place = display_.keyPlace(virtualKey);
    if (place.empty()) {
        log_.event("input-key-unknown 0x%X", virtualKey);
        return;
    }
    if (settings_.traceInput)
        log_.event("input-key 0x%02X %s place=%s", virtualKey, down ? "down" : "up", place.c_str());
    KeyAction action = keys_.change(virtualKey, place, down);
    if (action == KeyAction::Nothing)
        return;
    if (!display_.key(place, action == KeyAction::Press))
        log_.event("input-key-unmapped 0x%02X place=%s", virtualKey, place.c_str());
    display_.flush();
}

void HostSession::inputClosed()
{
    // Nothing the viewer pressed may stay down once it can no longer release it.
    std::vector<PointerAction> releases;
    mouse_.releaseAll(releases);
    std::vector<std::string> places = keys_.releaseAll();
    for (const std::string& place : places)
        display_.key(place, false);
    perform(releases);
    log_.event("input-released keys=%zu buttons=%zu", places.size(), releases.size());
}
