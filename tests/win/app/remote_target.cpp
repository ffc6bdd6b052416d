// The remote machine's program in TavimoHost's tests: a window of two known colours at a
// known place, appending the characters that reach it to typed.txt and its clicks and
// drags, in screen positions, to mouse.txt (in the current directory).
#include <windows.h>

#include <cstdio>

static std::FILE* g_typed;
static std::FILE* g_mouse;

static LRESULT CALLBACK targetProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    POINT at = {short(LOWORD(lParam)), short(HIWORD(lParam))};
    ClientToScreen(window, &at);
    const char* what = message == WM_LBUTTONDOWN ? "down" : message == WM_LBUTTONUP ? "up" : "move";
    switch (message) {
    case WM_CHAR:
        std::fputc(int(wParam), g_typed);
        std::fflush(g_typed);
        return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_MOUSEMOVE:
        if (message == WM_MOUSEMOVE && !(wParam & MK_LBUTTON))
            return 0;
        if (message == WM_LBUTTONDOWN)
            SetCapture(window);
        if (message == WM_LBUTTONUP)
            ReleaseCapture();
        std::fprintf(g_mouse, "%s %ld %ld\n", what, at.x, at.y);
        std::fflush(g_mouse);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT left = {0, 0, 200, 300}, right = {200, 0, 400, 300};
        HBRUSH red = CreateSolidBrush(RGB(220, 30, 30)), blue = CreateSolidBrush(RGB(30, 60, 220));
        FillRect(dc, &left, red);
        FillRect(dc, &right, blue);
        DeleteObject(red);
        DeleteObject(blue);
        EndPaint(window, &paint);
        return 0;
    }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int main()
{
    g_typed = std::fopen("typed.txt", "ab");
    g_mouse = std::fopen("mouse.txt", "ab");
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = targetProc;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.lpszClassName = L"RemoteTarget";
    RegisterClassW(&windowClass);
    // Left half red, right half blue, at 200,150 on the screen, 400 by 300.
    CreateWindowExW(0, L"RemoteTarget", L"remote target", WS_POPUP | WS_VISIBLE, 200, 150, 400, 300, nullptr,
                    nullptr, nullptr, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
