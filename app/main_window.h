// The main window: its class, its procedure, and the start-up and end of the program
// that run in its creation and destruction.
#pragma once

#include <windows.h>

// The hand shown over the About box's link.
extern HCURSOR linkCursor;
// The receiver thread, from its start until the program has stopped it.
extern HANDLE receiverThreadHandle;

bool registerMainWindowClass(HINSTANCE instance);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
