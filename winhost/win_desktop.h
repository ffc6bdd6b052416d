// The Windows desktop as the host session shares it: the whole virtual desktop or one
// monitor through GDI, looked at again on a timer that runs fast while things change and slows down while the
// screen is still (Windows tells no one what changed), and the viewer's input through
// SendInput.
#pragma once

#include <chrono>
#include <vector>

#include "host/desktop.h"
#include "winhost/input_inject_win.h"
#include "winhost/screen_capture_win.h"

class WinDesktop final : public Desktop {
public:
    // The whole virtual desktop unless a monitor is named; pointer positions count from
    // the area's top left and stay inside it.
    explicit WinDesktop(const SharedArea& area = {})
    {
        screen_.share(area);
        input_.share(area);
    }

    // Fails, rather than keeping the last picture, once the shared monitor is gone.
    bool capture(ScreenPicture& out, std::string& error) override;
    std::string captureMethod() const override { return "gdi"; }
    bool watchesChanges() const override { return true; }
    // Whether the next look is due: only a capture tells.
    bool changedSinceCapture() override;
    ChangeWatch changeWatch() const override;

    void movePointer(int x, int y) override;
    void button(int button, bool press) override;
    // The code itself ("0x41"): Windows takes virtual keys as they come.
    std::string keyPlace(uint32_t virtualKey) const override;
    bool key(const std::string& place, bool press) override;
    void flush() override;

private:
    // For a while after a change or the viewer's input, looks come this often (a program
    // answers its input within a few frames); then each still look doubles the wait up to
    // the slowest.
    static constexpr int kFastMs = 20;
    static constexpr int kSlowMs = 320;
    static constexpr int kBusyMs = 500;

    int untilDue() const;
    void busy()
    {
        intervalMs_ = kFastMs;
        busyUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMs);
    }

    ScreenCapture screen_;
    InputInjector input_;
    std::vector<PointerAction> pending_;
    ScreenPicture last_;  // the last capture that worked; its buffer stays until the next one does
    unsigned lastGeneration_ = 0;  // the capture buffers it lies in
    bool failed_ = false;  // the last capture failed
    std::chrono::steady_clock::time_point lastLook_{};
    std::chrono::steady_clock::time_point busyUntil_{};
    int intervalMs_ = kFastMs;
};
