// The main window: its class, its procedure, and the start-up and end of the program
// that run in its creation and destruction.
#pragma once

#include <windows.h>

bool registerMainWindowClass(HINSTANCE instance);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
