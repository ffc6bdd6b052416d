#include "winhost/win_desktop.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "winhost/tile_changes.h"

bool WinDesktop::capture(ScreenPicture& out, std::string& error)
{
    ScreenFrame frame;
    lastLook_ = std::chrono::steady_clock::now();
    if (!screen_.capture(frame, error)) {
        // The shared monitor is gone: the session ends, rather than showing what is not there.
        if (screen_.areaGone())
            return false;
        // Another desktop has the screen (the lock screen, a UAC prompt): the viewer keeps
        // the last picture until the user's desktop is back.
        failed_ = true;
        // A failure after the screen changed size has freed the buffers it lay in.
        if (!last_.pixels || lastGeneration_ != screen_.generation())
            return false;
        out = last_;
        out.changed = false;
        out.areas.clear();
        intervalMs_ = kSlowMs;
        return true;
    }
    // The pointer is drawn into both captures, so its moves are changed tiles too. With
    // nothing to compare with, or after a failure (the picture before may be from before
    // the lock screen), everything counts as changed: no areas.
    out.areas.clear();
    bool changed = !frame.previous || failed_ ||
                   findChangedTiles(frame.previous, frame.pixels, frame.width, frame.height, frame.pitch, out.areas);
    failed_ = false;
    if (changed)
        busy();
    intervalMs_ = lastLook_ < busyUntil_ ? kFastMs : std::min(kSlowMs, intervalMs_ * 2);
    out.pixels = const_cast<uint8_t*>(frame.pixels);  // TurboJPEG only reads them
    out.width = frame.width;
    out.height = frame.height;
    out.pitch = frame.pitch;
    out.pixelFormat = TJPF_BGRX;
    out.changed = changed;
    last_ = out;
    lastGeneration_ = screen_.generation();
    return true;
}

int WinDesktop::untilDue() const
{
    auto due = lastLook_ + std::chrono::milliseconds(intervalMs_);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    return int(std::max<long long>(0, left.count()));
}

bool WinDesktop::changedSinceCapture()
{
    return untilDue() == 0;
}

ChangeWatch WinDesktop::changeWatch() const
{
    return {kNoSocket, untilDue()};
}

void WinDesktop::movePointer(int x, int y)
{
    pending_.push_back({PointerAction::Move, x, y, 0});
}

void WinDesktop::button(int button, bool press)
{
    pending_.push_back({press ? PointerAction::Press : PointerAction::Release, 0, 0, button});
}

std::string WinDesktop::keyPlace(uint32_t virtualKey) const
{
    if (virtualKey == 0 || virtualKey > 0xFE)
        return "";
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", unsigned(virtualKey));
    return text;
}

bool WinDesktop::key(const std::string& place, bool press)
{
    busy();
    return input_.key(uint32_t(std::strtoul(place.c_str(), nullptr, 16)), press) == Injected::Done;
}

void WinDesktop::flush()
{
    if (pending_.empty())
        return;
    busy();
    input_.pointer(pending_);
    pending_.clear();
}
