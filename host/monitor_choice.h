// --monitor N|NAME|all for both hosts: the option read, the monitors put in the order
// their numbers follow, the one asked for found among them, and screen rectangles carried
// into the chosen monitor's coordinates. Portable: each host lists its monitors (RandR,
// EnumDisplayMonitors) and hands them over.
#pragma once

#include <string>
#include <vector>

#include "wire/frame_extension.h"

struct MonitorChoice {
    enum Kind { All, Number, Name };
    Kind kind = All;
    int number = 0;    // Number: 1 for the first monitor
    std::string name;  // Name: as given
};

struct MonitorInfo {
    std::string name;  // X: the RandR monitor's name ("DP-1"); Windows: the device ("\\.\DISPLAY2")
    PixelRect rect;    // where it lies on the X screen or the virtual desktop (may start below 0)
    bool primary = false;
};

// "all", a number from 1 (decimal digits only), or any other text as a name; false for an
// empty text, 0 and numbers past 999.
bool parseMonitorChoice(const std::string& text, MonitorChoice& out);

// The order the numbers count in: by the left edge, then the top edge, then the name; so a
// number stays with its place when the primary monitor changes or the system lists them
// otherwise.
void orderMonitors(std::vector<MonitorInfo>& monitors);

// The monitor asked for, among monitors in the order above: `index` into them, or -1 for
// all. A number counts from 1; a name matches exactly, else ignoring ASCII case, and a
// leading "\\.\" on either side is ignored (DISPLAY2 names \\.\DISPLAY2). False, with the
// reason and every monitor there is in `error`, when there is no such monitor.
bool chooseMonitor(const MonitorChoice& choice, const std::vector<MonitorInfo>& monitors, int& index,
                   std::string& error);

// "DP-1 1920x1080+1920+0", negative places as "-1920" ("1920x1080-1920+0").
std::string describeMonitor(const MonitorInfo& monitor);
// "1: DP-1 1920x1080+0+0 (primary), 2: HDMI-1 1280x1024+1920+0", or "none".
std::string listMonitors(const std::vector<MonitorInfo>& monitors);

// `rect` (screen coordinates) as the part of `monitor` it covers, in the monitor's own
// coordinates (its top left 0, 0); empty (width and height 0) when it covers none of it.
PixelRect rectInMonitor(const PixelRect& rect, const PixelRect& monitor);
