// The connect dialog, where the user picks the destination and the frame channel is
// connected to it.
#pragma once

#include <windows.h>

// Ends with 1 once the frame channel is connected, with 2 on Cancel (both sockets closed).
INT_PTR CALLBACK ConnectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
