// The real Tavimo.exe as a process of its own, driven through its windows and with real X
// input, against a counterpart server of its own that logs what it received.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/win/support/test_server.h"

struct ViewerProcess {
    PROCESS_INFORMATION process = {};  // Tavimo.exe, or explorer for a virtual desktop
    std::string folder;                // Unix path of its current directory, where client.ini lives
    std::wstring desktop;              // a virtual desktop's name: one with a notification area
    HANDLE viewer = nullptr;           // Tavimo.exe, once a window of it showed

    ~ViewerProcess();
    // Starts Tavimo.exe in `folder` (output to stderr.txt there), on a new virtual desktop if named.
    bool start(const std::string& folder, const std::wstring& desktopName = L"");
    // A shown top-level window of the viewer with that class and caption; `combo` 1 wants
    // the connect dialog's combo box, 0 wants none, -1 either.
    HWND waitForWindow(const wchar_t* className, const wchar_t* caption, int timeoutMs = 20000, int combo = -1);
    HWND waitForConnectDialog() { return waitForWindow(L"#32770", L"Tavimo", 20000, 1); }
    HWND waitForMessageBox(int timeoutMs = 20000) { return waitForWindow(L"#32770", L"Tavimo", timeoutMs, 0); }
    // The exit code, or STILL_ACTIVE when it has not ended within the time.
    DWORD waitForExit(int timeoutMs = 30000);
};

struct AppSession {
    TestServer server;
    ViewerProcess viewer;
    HWND dialog = nullptr;
    HWND main = nullptr;

    // Starts both, connects, and waits until `shown` frames are painted (the next is asked
    // for only then); with 0, until the input channel is up; below 0, only until OK is pressed.
    void open(const std::string& serverArguments, int shown = 1, const std::wstring& desktop = L"");
    // Starts the viewer alone (in a fresh folder for an empty one) up to its dialog.
    void openDialog(const std::string& folder = "", const std::wstring& desktop = L"");
    ~AppSession();

    // The main window, moved out of the top-left corner, where Wine shows a tray window of
    // its own once there is a tray icon and no X tray takes it.
    bool waitForMain();
    bool waitForClient(int width, int height, int timeoutMs = 10000) const;
    // The screen position of a client point, as xdotool takes it.
    std::string at(int clientX, int clientY) const;
    // Input messages of a kind ("MOUSE", "KEY", "" for all) as the server logged them.
    std::vector<std::string> inputs(const std::string& kind) const;
    // Waits for `count` messages of that kind, then a little longer so one too many would show.
    std::vector<std::string> settle(const std::string& kind, size_t count) const;
};

// A window of the test's thread, on top, that takes clicks and the keyboard while the test waits.
inline HWND ownWindow(int x, int y, int width, int height)
{
    return CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"", WS_POPUP | WS_VISIBLE | SS_NOTIFY, x, y, width, height,
                           nullptr, nullptr, nullptr, nullptr);
}
// A folder of its own for every viewer of the run, with a long path.
std::string freshFolder(const std::string& name);
// A destination as client.ini holds it, through the profile functions.
std::wstring storedHost(const std::string& folder, const wchar_t* key = L"00");
// Puts the destination in the connect dialog and presses OK by message.
inline void connectTo(HWND dialog, const std::wstring& destination)
{
    SetDlgItemTextW(dialog, 1002, destination.c_str());
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
}
// By the style: IsWindowVisible says no for windows of another desktop.
inline bool shown(HWND window) { return IsWindow(window) && (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE); }
inline std::wstring messageBoxText(HWND box)
{
    wchar_t text[256] = {};
    return box ? std::wstring(text, GetDlgItemTextW(box, 0xFFFF, text, 256)) : L"(no box)";
}
// X keyboard focus to the root, so keys go to the window under the pointer: a virtual
// desktop that closes leaves the focus nowhere.
inline void giveKeyboardToPointer() { runShell("xdotool windowfocus $(xwininfo -root | awk '/Window id/ {print $4}')"); }
// Runs xdotool with these arguments on the tests' display and waits for it.
void xdotool(const std::string& arguments);
