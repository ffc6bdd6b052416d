#include "winhost/monitors_win.h"

#include <windows.h>

namespace {

std::string narrowName(const wchar_t* text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size_t(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

BOOL CALLBACK addMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM list)
{
    MONITORINFOEXW info = {};
    info.cbSize = sizeof info;
    if (GetMonitorInfoW(monitor, &info)) {
        const RECT& r = info.rcMonitor;
        reinterpret_cast<std::vector<MonitorInfo>*>(list)->push_back(
            {narrowName(info.szDevice), {r.left, r.top, r.right - r.left, r.bottom - r.top},
             (info.dwFlags & MONITORINFOF_PRIMARY) != 0});
    }
    return TRUE;
}

}  // namespace

std::vector<MonitorInfo> desktopMonitors()
{
    std::vector<MonitorInfo> monitors;
    EnumDisplayMonitors(nullptr, nullptr, addMonitor, reinterpret_cast<LPARAM>(&monitors));
    orderMonitors(monitors);
    return monitors;
}

PixelRect virtualDesktop()
{
    return {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
            GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

bool SharedArea::now(PixelRect& rect, std::string& error) const
{
    if (monitor.empty()) {
        rect = virtualDesktop();
        if (rect.width > 0 && rect.height > 0)
            return true;
        error = "no monitor";
        return false;
    }
    std::vector<MonitorInfo> monitors = desktopMonitors();
    for (const MonitorInfo& m : monitors)
        if (m.name == monitor) {
            rect = m.rect;
            return true;
        }
    error = "monitor " + monitor + " is gone; the monitors now: " + listMonitors(monitors);
    return false;
}
