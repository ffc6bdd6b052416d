// JPEG quality for frames that must stay within what a viewer accepts. A frame that comes
// out too large is encoded again a step lower; the lower quality sticks while the screen
// stays busy and climbs back a step at a time once frames are small again.
#pragma once

#include <cstddef>

class QualityGovernor {
public:
    explicit QualityGovernor(int configured) : configured_(configured), working_(configured) {}

    // The quality to encode the next frame at.
    int start() const { return working_; }
    // The step below `quality`: 10 at a time down to 10, then 5, 2, 1; 0 when none is left.
    static int lower(int quality);
    // The frame fitted at `quality` with `bytes` of `limit`. Returns true when the working
    // quality changed (worth a log line).
    bool settled(int quality, size_t bytes, size_t limit);

private:
    int configured_;
    int working_;
};
