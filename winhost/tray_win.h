// The host's icon in the notification area and its menu: what the host shares (in the
// tip), where it listens, which viewer is connected, and 終了.
#pragma once

#include <windows.h>

#include <string>

constexpr UINT WM_HOSTTRAY = WM_APP + 1;  // the icon's callback message
constexpr UINT IDM_HOST_EXIT = 40101;     // 終了, sent to the window as WM_COMMAND

struct HostStatus {
    std::wstring listening;  // "127.0.0.1:54321"
    std::wstring viewer;     // where the connected viewer is; empty when none is
    std::wstring scaled;     // "11520x2160 → 9461x1773" when the screen is too large for a viewer
    std::wstring shared;     // "デスクトップ全体 3840x1080" or "\\.\DISPLAY2 1920x1080"
};

// The icon's tip: the title, what is shared, where it listens, the viewer, any scaling;
// cut to the 127 characters a tip holds.
std::wstring hostTrayTip(const HostStatus& status);

// NIM_ADD of the host's icon for `window`, with the status as its tip.
bool addHostTrayIcon(HWND window, HICON icon, const HostStatus& status);
// The tip again, after the status changed.
bool updateHostTrayIcon(HWND window, const HostStatus& status);
void removeHostTrayIcon(HWND window);
// Explorer, restarted, sends this to every top-level window: add the icon again then.
UINT taskbarCreatedMessage();

// The popup menu for the status: the two status lines greyed, then 終了. The caller
// destroys it.
HMENU makeHostTrayMenu(const HostStatus& status);
// WM_HOSTTRAY: a left press or a right release opens the menu at the pointer.
void onHostTrayNotify(HWND window, LPARAM lParam, const HostStatus& status);
