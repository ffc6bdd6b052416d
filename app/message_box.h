// Every message the user sees goes through showMessage. The program links the real
// message box; the Windows-side tests link a recorder in its place.
#pragma once

#include <windows.h>

constexpr wchar_t kTitle[] = L"Tavimo";

// A message box with the caption "Tavimo"; returns the button that closed it.
int showMessage(HWND owner, const wchar_t* text, UINT buttons = MB_OK);
