#include "app/about_box.h"

#include <shellapi.h>

#include "app/globals.h"
#include "res/resource.h"

namespace {

// Only one About box is open at a time: the menu still works while it is open.
HWND aboutBox;
HFONT linkFont;
WNDPROC previousLinkProc;

void paintLink(HWND label)
{
    wchar_t text[100];
    GetWindowTextW(label, text, 100);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(label, &ps);
    HGDIOBJ oldFont = SelectObject(dc, linkFont);
    SetTextColor(dc, RGB(0, 0, 255));
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    SetBkMode(dc, OPAQUE);
    TextOutW(dc, 0, 0, text, lstrlenW(text));
    SelectObject(dc, oldFont);
    EndPaint(label, &ps);
}

LRESULT CALLBACK LinkLabelProc(HWND label, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        paintLink(label);
        break;
    case WM_SETCURSOR:
        // Answered here, so the label's class cursor does not replace the hand.
        SetCursor(linkCursor);
        return TRUE;
    }
    return CallWindowProcW(previousLinkProc, label, message, wParam, lParam);
}

void onInitAbout(HWND dialog)
{
    aboutBox = dialog;
    SetFocus(GetDlgItem(dialog, IDOK));
    HWND link = GetDlgItem(dialog, IDC_LINK);
    LOGFONTW description = {};
    GetObjectW(HFONT(SendMessageW(link, WM_GETFONT, 0, 0)), sizeof description, &description);
    description.lfUnderline = TRUE;
    linkFont = CreateFontIndirectW(&description);
    SendMessageW(link, WM_SETFONT, WPARAM(linkFont), 0);
    previousLinkProc = WNDPROC(SetWindowLongPtrW(link, GWLP_WNDPROC, LONG_PTR(LinkLabelProc)));
}

void onAboutDestroyed()
{
    DeleteObject(linkFont);
    linkFont = nullptr;
    aboutBox = nullptr;
}

}  // namespace

void showAboutBox(HWND owner)
{
    if (aboutBox) {
        SetForegroundWindow(aboutBox);
        return;
    }
    HINSTANCE instance = HINSTANCE(GetWindowLongPtrW(owner, GWLP_HINSTANCE));
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_ABOUT), owner, AboutDialogProc, 0);
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        onInitAbout(dialog);
        return FALSE;  // the focus stays on OK
    case WM_DESTROY:
        onAboutDestroyed();
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            EndDialog(dialog, 1);
            return FALSE;
        }
        if (LOWORD(wParam) == IDC_LINK) {
            if (HIWORD(wParam) == STN_CLICKED)
                ShellExecuteW(dialog, nullptr, kMakerAddress, nullptr, nullptr, SW_SHOWNORMAL);
            return FALSE;
        }
        // Esc's IDCANCEL lands here and does not close the box.
        return DefWindowProcW(dialog, message, wParam, lParam);
    }
    return FALSE;
}
