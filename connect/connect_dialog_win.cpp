#include "connect/connect_dialog_win.h"

#include <cstring>

#include "app/globals.h"
#include "app/message_box.h"
#include "connect/host_history_store_win.h"
#include "input/input_capture_win.h"
#include "res/resource.h"

namespace {

void enableControls(HWND dialog, BOOL enable)
{
    EnableWindow(GetDlgItem(dialog, IDOK), enable);
    EnableWindow(GetDlgItem(dialog, IDC_HOST), enable);
}

void readyForInput(HWND dialog)
{
    enableControls(dialog, TRUE);
    SetFocus(GetDlgItem(dialog, IDC_HOST));
}

void onInitDialog(HWND dialog)
{
    enableControls(dialog, TRUE);
    HWND host = GetDlgItem(dialog, IDC_HOST);
    // Inserted at given places, so the list keeps the history's order despite CBS_SORT.
    for (size_t i = 0; i < hostHistory.size(); ++i)
        SendMessageW(host, CB_INSERTSTRING, WPARAM(i), LPARAM(reinterpret_cast<const wchar_t*>(hostHistory[i].text)));
    SendMessageW(host, CB_SETCURSEL, 0, 0);
    SetFocus(host);
}

// Reads the edit field into destinationText; false, after telling the user, when it is
// empty or longer than destinationText holds (a cut name would reach another host).
bool readDestination(HWND dialog)
{
    wchar_t typed[kDestinationUnits + 1] = {};
    int length = GetDlgItemTextW(dialog, IDC_HOST, typed, kDestinationUnits + 1);
    if (length == 0) {
        showMessage(dialog, L"接続先を入力してください。");
        return false;
    }
    if (length >= kDestinationUnits) {
        showMessage(dialog, L"接続先が長すぎます(*_*)\r\n127文字以内で入力してください。");
        return false;
    }
    wcscpy(destinationText, typed);
    return true;
}

void onConnect(HWND dialog)
{
    enableControls(dialog, FALSE);
    if (!readDestination(dialog)) {
        readyForInput(dialog);
        return;
    }
    if (resolveAndConnect(frameChannel, dialog, destinationText, kFramePort)) {
        // The typed text stays, so a slip can be corrected rather than retyped.
        readyForInput(dialog);
        return;
    }
    resetKeyStateCache();
    connectionOpen = true;
    BuildIniPath();
    RememberDestination(destinationText);
    EndDialog(dialog, 1);
}

void onCancel(HWND dialog)
{
    closeSocket(frameChannel);
    closeSocket(inputChannel);
    EndDialog(dialog, 2);
}

}  // namespace

INT_PTR CALLBACK ConnectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        onInitDialog(dialog);
        break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK)
            onConnect(dialog);
        else if (LOWORD(wParam) == IDCANCEL)
            onCancel(dialog);
        break;
    }
    return FALSE;
}
