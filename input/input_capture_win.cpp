#include "input/input_capture_win.h"

#include <cstring>

#include "app/globals.h"
#include "app/message_box.h"
#include "display/viewport_win.h"
#include "input/input_message.h"
#include "res/resource.h"

namespace {

void sendInput(const InputMessage& message, int length)
{
    // Queued whole: a modal loop running before the send cannot change it any more.
    queueInput(message.bytes, length);
}

void sendMouse(HWND window, uint32_t code, LPARAM lParam)
{
    RECT client;
    GetClientRect(window, &client);
    uint32_t position = packFramePosition(uint32_t(lParam), viewState.scrollX, viewState.scrollY);
    InputMessage message;
    sendInput(buildMouseMessage(message, code, position, client.right, client.bottom), kInputMessageSize);
}

struct WindowKeyScan final : KeyScanIo {
    uint16_t keyState(int virtualKey) override { return uint16_t(GetKeyState(virtualKey)); }
    bool send(const InputMessage& message) override
    {
        sendInput(message, kInputMessageSize);
        return true;
    }
};

}  // namespace

void onMouseForward(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    int32_t code = mouseEventForMessage(message, wParam);
    if (code == kNotForwarded || !viewActive)
        return;
    sendMouse(window, uint32_t(code), lParam);
}

void onLeftButtonDown(HWND window)
{
    // A release that no double click follows has already been sent; the timer only
    // marks the double-click interval and sends nothing when it runs out.
    if (viewActive)
        SetTimer(window, ID_DBLCLK_TIMER, GetDoubleClickTime(), nullptr);
}

void onLeftDoubleClick(HWND window, LPARAM lParam)
{
    KillTimer(window, ID_DBLCLK_TIMER);
    sendMouse(window, MSG_MOUSE_DBLCLK, lParam);
}

void resetKeyStateCache()
{
    memset(keyStateCache, 0, sizeof keyStateCache);
}

void onKeyMessage()
{
    if (!viewActive)
        return;
    WindowKeyScan io;
    scanKeys(keyStateCache, io);
}

void onFocusLost()
{
    WindowKeyScan io;
    releaseHeldKeys(keyStateCache, io);
}

void sendServerExit()
{
    InputMessage message;
    sendInput(message, buildCommandMessage(message, MSG_SERVER_EXIT));
}

void launchTelnet()
{
    // The system's own client by its full path: a bare "telnet" would be looked for in
    // the current directory, where anyone may have left a program of that name.
    wchar_t application[MAX_PATH + 16] = {};
    UINT length = GetSystemDirectoryW(application, MAX_PATH);
    bool started = false;
    if (length > 0 && length < MAX_PATH) {
        lstrcatW(application, L"\\telnet.exe");
        wchar_t commandLine[] = L"telnet";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        started = CreateProcessW(application, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &process) != FALSE;
        if (started) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
    }
    if (!started)
        showMessage(nullptr, L"TELNETクライアントが見当たりません(+_+)", MB_OKCANCEL);
    InputMessage message;
    sendInput(message, buildCommandMessage(message, MSG_TELNET));
}
