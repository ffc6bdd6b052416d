#include "winhost/tray_win.h"

#include <shellapi.h>

namespace {

std::wstring listeningLine(const HostStatus& status)
{
    return L"待ち受け中：" + status.listening;
}

std::wstring viewerLine(const HostStatus& status)
{
    return status.viewer.empty() ? L"接続なし" : L"接続中：" + status.viewer;
}

bool notify(DWORD operation, HWND window, HICON icon, const HostStatus* status)
{
    NOTIFYICONDATAW data = {};
    data.cbSize = NOTIFYICONDATAW_V2_SIZE;  // a 128-unit tip, on every Windows since 2000
    data.hWnd = window;
    data.uID = 1;
    data.uCallbackMessage = WM_HOSTTRAY;
    data.hIcon = icon;
    data.uFlags = (icon ? NIF_ICON | NIF_MESSAGE : 0) | (status ? NIF_TIP : 0);
    if (status)
        lstrcpynW(data.szTip, hostTrayTip(*status).c_str(), ARRAYSIZE(data.szTip));
    return Shell_NotifyIconW(operation, &data) != FALSE;
}

}  // namespace

std::wstring hostTrayTip(const HostStatus& status)
{
    std::wstring tip = L"Tavimo ホスト\n";
    if (!status.shared.empty())
        tip += L"共有：" + status.shared + L"\n";
    tip += listeningLine(status) + L"\n" + viewerLine(status);
    if (!status.scaled.empty())
        tip += L"\n大きすぎる画面を縮小：" + status.scaled;
    return tip.substr(0, 127);
}

bool addHostTrayIcon(HWND window, HICON icon, const HostStatus& status)
{
    return notify(NIM_ADD, window, icon, &status);
}

bool updateHostTrayIcon(HWND window, const HostStatus& status)
{
    return notify(NIM_MODIFY, window, nullptr, &status);
}

void removeHostTrayIcon(HWND window)
{
    notify(NIM_DELETE, window, nullptr, nullptr);
}

UINT taskbarCreatedMessage()
{
    return RegisterWindowMessageW(L"TaskbarCreated");
}

HMENU makeHostTrayMenu(const HostStatus& status)
{
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING | MF_GRAYED, 0, listeningLine(status).c_str());
    AppendMenuW(menu, MF_STRING | MF_GRAYED, 0, viewerLine(status).c_str());
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_HOST_EXIT, L"終了");
    return menu;
}

void onHostTrayNotify(HWND window, LPARAM lParam, const HostStatus& status)
{
    if (lParam != WM_LBUTTONDOWN && lParam != WM_RBUTTONUP)
        return;
    POINT at;
    GetCursorPos(&at);
    // In the foreground, so the menu closes when the user clicks elsewhere.
    SetForegroundWindow(window);
    HMENU menu = makeHostTrayMenu(status);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
    DestroyMenu(menu);
    PostMessageW(window, WM_NULL, 0, 0);
}
