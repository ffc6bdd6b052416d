// When a host that answers only on change sends its next frame, and at what JPEG quality:
// an optional cap on the average rate to the viewer (lower quality first, then later
// answers), and one sharp frame once a screen that went out blurred by the cap has been
// still for a moment. Times are milliseconds on any
// steady clock, so tests drive it with a clock of their own.
#pragma once

#include <cstddef>
#include <cstdint>

struct PacerSettings {
    int64_t maxRate = 0;    // bytes a second; 0: no cap
    int quality = 80;       // what frames go out at when the link allows
    int minQuality = 30;    // the cap lowers quality no further
    int64_t stillMs = 300;  // a screen still this long is sent once more at `quality`
};

class FramePacer {
public:
    explicit FramePacer(const PacerSettings& settings);

    // A new viewer: nothing owed, full quality.
    void reset();
    // The earliest time a changed frame may go out: once the cap's debt is paid. `now`
    // or earlier: at once.
    int64_t sendAt(int64_t now) const;
    // The ceiling for the next changed frame's quality.
    int quality() const { return ceiling_; }
    // When the sharp frame is due, or -1 when none is: only after a frame the cap
    // blurred, once the screen has been still for `stillMs` and the debt allows.
    int64_t sharpenAt(int64_t now) const;
    // A frame of `bytes` went out at `now`; `sharp` for the sharpening frame, which
    // leaves the ceiling alone; `whole` false for a frame of only some areas.
    void sent(int64_t now, size_t bytes, bool sharp, bool whole = true);

private:
    // Bytes sent beyond what the cap allowed, as of `now`; negative: a little credit.
    double owed(int64_t now) const;

    PacerSettings settings_;
    int ceiling_;
    double owed_ = 0;         // as of owedAt_
    int64_t owedAt_ = 0;
    int64_t lastSent_ = -1;
    bool blurred_ = false;    // something went out below `quality` because of the cap and is not sharp yet
};

// "1M", "250K", "1000000": bytes a second (K and M are 1000s: link speeds); -1 when
// the text is no positive rate.
int64_t parseRate(const char* text);
