#include "app/tray_icon.h"

#include <shellapi.h>

#include "app/about_box.h"
#include "input/input_capture_win.h"
#include "res/resource.h"

bool updateTrayIcon(HICON icon, HWND window, DWORD operation, UINT callbackMessage, const wchar_t* tip)
{
    NOTIFYICONDATAW data = {};
    data.cbSize = NOTIFYICONDATAW_V1_SIZE;  // the first layout: a 64-unit tip
    data.hWnd = window;
    data.uID = 0;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = callbackMessage;
    data.hIcon = icon;
    if (tip)
        lstrcpynW(data.szTip, tip, 64);
    BOOL done = Shell_NotifyIconW(operation, &data);
    if (icon)
        DestroyIcon(icon);  // the shell keeps its own copy
    return done != FALSE;
}

void onTrayNotify(HWND window, LPARAM lParam)
{
    if (lParam != WM_LBUTTONDOWN && lParam != WM_RBUTTONUP)
        return;
    POINT at;
    GetCursorPos(&at);
    // In the foreground, so the menu closes when the user clicks elsewhere.
    SetForegroundWindow(window);
    HINSTANCE instance = HINSTANCE(GetWindowLongPtrW(window, GWLP_HINSTANCE));
    HMENU menu = LoadMenuW(instance, MAKEINTRESOURCEW(IDR_TRAYMENU));
    TrackPopupMenu(GetSubMenu(menu, 0), TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
    DestroyMenu(menu);
    PostMessageW(window, WM_NULL, 0, 0);
}

void onMenuCommand(HWND window, WPARAM wParam)
{
    switch (LOWORD(wParam)) {
    case IDM_EXIT:
        PostMessageW(window, WM_CLOSE, 0, 0);
        break;
    case IDM_ABOUT:
        showAboutBox(window);
        break;
    case IDM_TELNET:
        launchTelnet();
        break;
    case IDM_SERVER_EXIT:
        sendServerExit();
        break;
    }
}
