// The monitors of this desktop, and the part of it TavimoHost shares: the whole virtual
// desktop, which may start left of or above the primary monitor's 0, 0, or one monitor.
#pragma once

#include <string>
#include <vector>

#include "host/monitor_choice.h"

// Every monitor (EnumDisplayMonitors), named by its device ("\\.\DISPLAY2"), in the order
// --monitor counts them.
std::vector<MonitorInfo> desktopMonitors();
// The box round every monitor, in the coordinates SendInput and the screen's DC use.
PixelRect virtualDesktop();

struct SharedArea {
    std::string monitor;  // a monitor's device name; empty: the whole virtual desktop

    // Where it lies now, found again each time (monitors come, go and move); false, with
    // the reason, once no monitor has that name.
    bool now(PixelRect& rect, std::string& error) const;
    // For the log and the tray: "all" or the device name.
    std::string name() const { return monitor.empty() ? "all" : monitor; }
};
