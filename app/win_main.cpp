#include <windows.h>

#include "app/globals.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "net/receiver_thread_win.h"
#include "res/resource.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    // Held until the process ends; a second start finds it and leaves quietly.
    CreateMutexW(nullptr, TRUE, kTitle);
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;

    registerMainWindowClass(instance);
    mainWindow = CreateWindowExW(0, kTitle, kTitle, WS_OVERLAPPEDWINDOW, 0, 0, CW_USEDEFAULT, CW_USEDEFAULT,
                                 nullptr, nullptr, instance, nullptr);
    linkCursor = LoadCursorW(instance, MAKEINTRESOURCEW(IDC_LINKCURSOR));
    ShowWindow(mainWindow, showCommand);
    UpdateWindow(mainWindow);

    MSG msg = {};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);

    // The global objects go once this returns: the receiver must be done with them.
    if (!stopReceiverThread(receiverThreadHandle, 5000))
        TerminateProcess(GetCurrentProcess(), UINT(msg.wParam));
    if (receiverThreadHandle)
        CloseHandle(receiverThreadHandle);
    return int(msg.wParam);
}
