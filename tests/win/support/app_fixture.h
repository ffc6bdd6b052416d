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
    // Starts Tavimo.exe in `folder`, output into folder/stderr.txt; given a desktop name,
    // inside a new virtual desktop.
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

    // Starts both, connects, and waits until
    // `shown` frames are painted (the next is asked for only then); with 0, until the input
    // channel is connected; below 0, only until OK is pressed. ASSERT_NO_FATAL_FAILURE it.
    void open(const std::string& serverArguments, int shown = 1, const std::wstring& desktop = L"");
    // Closes the main window if it is still there and waits for the process.
    ~AppSession();

    bool waitForClient(int width, int height, int timeoutMs = 10000) const;
    // The screen position of a client point, as xdotool takes it.
    std::string at(int clientX, int clientY) const;
    // Input messages of a kind ("MOUSE", "KEY", "" for all) as the server logged them.
    std::vector<std::string> inputs(const std::string& kind) const;
    // Waits until `count` messages of that kind have come, then a little longer, so one
    // too many would show.
    std::vector<std::string> settle(const std::string& kind, size_t count) const;
};

// A window of the test's thread, on top, that takes clicks and the keyboard while the
// test waits.
HWND ownWindow(int x, int y, int width, int height);
// A folder of its own for every viewer of the run, with a long path.
std::string freshFolder(const std::string& name);
// A destination as client.ini holds it, through the profile functions.
std::wstring storedHost(const std::string& folder, const wchar_t* key = L"00");
// Puts the address in the connect dialog and presses OK by message.
void connectTo(HWND dialog, const std::string& address);
// Out of the top-left corner, where Wine shows a tray window of its own once there is a
// tray icon and no X tray takes it.
void moveClearOfWinesTray(HWND window);
std::wstring messageBoxText(HWND box);
// Gives the X keyboard focus to the root window, so keys go to the window under the
// pointer: a virtual desktop that closes leaves the focus nowhere.
void giveKeyboardToPointer();
// Runs xdotool with these arguments on the tests' display and waits for it.
void xdotool(const std::string& arguments);
