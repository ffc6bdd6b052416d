#include "input/input_capture_win.h"

#include <cstring>

#include "app/globals.h"
#include "app/message_box.h"
#include "display/viewport_win.h"
#include "input/input_message.h"
#include "res/resource.h"

namespace {

// One record for the whole program; all senders run on the window's thread.
InputMessage inputMessage;

bool sendInput(const InputMessage& message, int length)
{
    if (sendOn(inputChannel, message.bytes, length) == SOCKET_ERROR) {
        WSAGetLastError();  // lost, like any failed send; no retry, no message
        return false;
    }
    return true;
}

void sendMouse(HWND window, uint32_t code, LPARAM lParam)
{
    RECT client;
    GetClientRect(window, &client);
    uint32_t position = packFramePosition(uint32_t(lParam), viewState.scrollX, viewState.scrollY);
    sendInput(buildMouseMessage(inputMessage, code, position, client.right, client.bottom), kInputMessageSize);
}

struct WindowKeyScan final : KeyScanIo {
    uint16_t keyState(int virtualKey) override { return uint16_t(GetKeyState(virtualKey)); }
    bool send(const InputMessage& message) override { return sendInput(message, kInputMessageSize); }
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
    scanKeys(keyStateCache, inputMessage, io);
}

void sendServerExit()
{
    sendInput(inputMessage, buildCommandMessage(inputMessage, MSG_SERVER_EXIT));
}

void launchTelnet()
{
    int length = buildCommandMessage(inputMessage, MSG_TELNET);
    wchar_t commandLine[] = L"telnet";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        showMessage(nullptr, L"TELNETクライアントが見当たりません(+_+)", MB_OKCANCEL);
    }
    sendInput(inputMessage, length);
}
