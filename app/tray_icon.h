// The notification-area icon, its popup menu and the menu's commands.
#pragma once

#include <windows.h>
#include <shellapi.h>

constexpr UINT WM_TRAYNOTIFY = WM_USER + 2;

// NIM_ADD or NIM_DELETE of the program's one icon; takes ownership of `icon` (may be
// null). True when the shell took the request.
bool updateTrayIcon(HICON icon, HWND window, DWORD operation, UINT callbackMessage, const wchar_t* tip);

// WM_TRAYNOTIFY: a left press or a right release opens the menu at the pointer.
void onTrayNotify(HWND window, LPARAM lParam);
// WM_COMMAND from the menu.
void onMenuCommand(HWND window, WPARAM wParam);
