#include "app/main_window.h"

#include "app/globals.h"
#include "app/message_box.h"
#include "app/tray_icon.h"
#include "connect/connect_dialog_win.h"
#include "connect/host_history_store_win.h"
#include "display/viewport_win.h"
#include "input/input_capture_win.h"
#include "net/frame_channel_win.h"
#include "net/receiver_thread_win.h"
#include "res/resource.h"

namespace {

HINSTANCE instanceOf(HWND window)
{
    return HINSTANCE(GetWindowLongPtrW(window, GWLP_HINSTANCE));
}

// Everything from the history to the first frame request runs while the window is
// being created, before it is first shown.
void onCreate(HWND window)
{
    // The receiver thread starts before CreateWindowExW returns and needs the window.
    mainWindow = window;
    HINSTANCE instance = instanceOf(window);
    // A private copy, which the tray icon update may destroy.
    HICON trayIcon = HICON(LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    viewActive = false;
    BuildIniPath();
    LoadHostHistory();
    if (!openSocket(frameChannel) && !openSocket(inputChannel)) {
        DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_CONNECT), window, ConnectDialogProc, 0);
        if (connectionOpen) {
            sendControl(MSG_NEXT_FRAME);
            receiverThreadHandle = CreateThread(nullptr, 0, ReceiverThread, nullptr, 0, nullptr);
            updateTrayIcon(trayIcon, window, NIM_ADD, WM_TRAYNOTIFY, kTitle);
            return;
        }
    }
    DestroyIcon(trayIcon);
    DestroyWindow(window);
}

void onDestroy(HWND window)
{
    updateTrayIcon(nullptr, window, NIM_DELETE, 0, nullptr);
    PostQuitMessage(0);
}

}  // namespace

bool registerMainWindowClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;  // or WM_LBUTTONDBLCLK never comes
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    windowClass.hIconSm = windowClass.hIcon;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = HBRUSH(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = kTitle;
    return RegisterClassExW(&windowClass) != 0;
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        onCreate(window);
        break;
    case WM_DESTROY:
        onDestroy(window);
        break;
    case WM_TIMER:
        KillTimer(window, wParam);
        break;
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
        // Never default handling: Alt+F4 and the like belong to the remote side.
        onKeyMessage();
        return 0;
    case WM_KILLFOCUS:
        onFocusLost();
        break;
    case WM_LBUTTONDOWN:
        onLeftButtonDown(window);
        break;
    case WM_LBUTTONDBLCLK:
        onLeftDoubleClick(window, lParam);
        break;
    case WM_MOUSEMOVE:
    case WM_LBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
        onMouseForward(window, message, wParam, lParam);
        break;
    case WM_COMMAND:
        onMenuCommand(window, wParam);
        break;
    case WM_TRAYNOTIFY:
        onTrayNotify(window, lParam);
        break;
    default:
        dispatchViewMessage(window, message, wParam, lParam);
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
