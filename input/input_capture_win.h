// The main window's mouse and keyboard, and the two server commands, sent as input
// messages on the input channel.
#pragma once

#include <windows.h>

#include <cstdint>

// After a connect: no key has been reported down to the new server.
void resetKeyStateCache();

// WM_MOUSEMOVE and the five forwarded button messages.
void onMouseForward(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The left press sends nothing; it starts the double-click timer.
void onLeftButtonDown(HWND window);
// Sent whether or not frames are being shown.
void onLeftDoubleClick(HWND window, LPARAM lParam);
// The four keyboard messages: every virtual key whose state changed.
void onKeyMessage();
// WM_KILLFOCUS: the key-ups go to another window, so held keys are released remotely now.
void onFocusLost();

void sendServerExit();
// Starts the local TELNET client, then tells the server, also when the start failed.
void launchTelnet();
