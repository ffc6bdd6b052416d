#include "session/frame_pacer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

// The cap blurs frames until this many a second fit: fewer make typing and scrolling
// look broken, and the still picture is sharpened afterwards anyway.
constexpr double kTargetFrameRate = 10;
// Credit a quiet link may build up: a tenth of a second at the cap.
constexpr double kCreditSeconds = 0.1;
constexpr int kQualityStep = 10;

}  // namespace

FramePacer::FramePacer(const PacerSettings& settings) : settings_(settings), ceiling_(settings.quality)
{
    settings_.minQuality = std::min(settings_.minQuality, settings_.quality);
}

void FramePacer::reset()
{
    ceiling_ = settings_.quality;
    owed_ = 0;
    owedAt_ = 0;
    lastSent_ = -1;
    blurred_ = false;
}

double FramePacer::owed(int64_t now) const
{
    if (settings_.maxRate <= 0)
        return 0;
    double rate = double(settings_.maxRate);
    return std::max(-rate * kCreditSeconds, owed_ - rate * double(now - owedAt_) / 1000.0);
}

int64_t FramePacer::sendAt(int64_t now) const
{
    int64_t at = now;
    double debt = owed(now);
    if (debt > 0)
        at = now + int64_t(std::ceil(debt * 1000.0 / double(settings_.maxRate)));
    return at;
}

int64_t FramePacer::sharpenAt(int64_t now) const
{
    if (!blurred_ || lastSent_ < 0)
        return -1;
    int64_t at = std::max(lastSent_ + settings_.stillMs, now);
    double debt = owed(at);
    if (debt > 0)
        at += int64_t(std::ceil(debt * 1000.0 / double(settings_.maxRate)));
    return at;
}

void FramePacer::sent(int64_t now, size_t bytes, bool sharp, bool whole)
{
    lastSent_ = now;
    if (settings_.maxRate <= 0)
        return;
    owed_ = owed(now) + double(bytes);
    owedAt_ = now;
    // A frame of some areas leaves whatever went out blurred elsewhere as it was.
    blurred_ = !sharp && (ceiling_ < settings_.quality || (!whole && blurred_));
    if (sharp)
        return;
    // Frames of this size would come slower than aimed at: blur the next ones. Well
    // under it (a step up roughly doubles the size): sharpen them again.
    double perFrame = double(settings_.maxRate) / kTargetFrameRate;
    if (double(bytes) > perFrame)
        ceiling_ = std::max(settings_.minQuality, ceiling_ - kQualityStep);
    else if (double(bytes) * 2.5 < perFrame)
        ceiling_ = std::min(settings_.quality, ceiling_ + kQualityStep);
}

int64_t parseRate(const char* text)
{
    if (!text || !*text || *text == '-' || *text == '+')
        return -1;
    errno = 0;
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (errno != 0 || end == text || !(value > 0))
        return -1;
    if (*end == 'K' || *end == 'k')
        value *= 1e3, ++end;
    else if (*end == 'M' || *end == 'm')
        value *= 1e6, ++end;
    if (*end != 0 || value < 1 || value > 1e12)
        return -1;
    return int64_t(value);
}
