// The About box, with a label that opens the maker's web page.
#pragma once

#include <windows.h>

// The page the link label opens, passed to the shell without a scheme.
constexpr wchar_t kMakerAddress[] = L"www.tavimo.example";

void showAboutBox(HWND owner);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
