// Runs the real Tavimo.exe as a separate Windows process and finds its windows, and
// drives it with real X input through xdotool.
#pragma once

#include <windows.h>

#include <string>

struct ViewerProcess {
    PROCESS_INFORMATION process = {};
    std::string folder;  // Unix path of its current directory, where client.ini lives
    // Set for a viewer on a virtual desktop of its own, which has a taskbar and a
    // notification area; the process is then known once its first window shows.
    std::wstring desktop;
    HANDLE viewer = nullptr;

    ~ViewerProcess();
    // Starts Tavimo.exe in `folder`, standard error into folder/stderr.txt.
    bool start(const std::string& folder);
    // Starts it inside a new 1280x1024 virtual desktop of that name.
    bool startOnDesktop(const std::string& folder, const std::wstring& desktopName);
    // A top-level window of this process with that class and caption, once it shows.
    HWND waitForWindow(const wchar_t* className, const wchar_t* caption, int timeoutMs = 20000);
    // The connect dialog (a dialog with the combo box), or a message box (a dialog without).
    HWND waitForConnectDialog(int timeoutMs = 20000);
    HWND waitForMessageBox(int timeoutMs = 20000);
    // The exit code, or STILL_ACTIVE when it has not ended within the time.
    DWORD waitForExit(int timeoutMs = 30000);
    // Notes the viewer's process from one of its windows.
    HWND attach(HWND window);
    std::string standardError() const;
};

struct TestServer;
// Puts the server's address in the connect dialog and presses OK by message, for tests
// about what comes after the dialog.
void connectTo(HWND dialog, const TestServer& server);

// Wine shows a tray window of its own in the screen's top-left corner once a program has
// a tray icon and no X tray takes it; windows whose pixels or clicks a test checks are
// moved clear of it.
void moveClearOfWinesTray(HWND window);

// The text a message box shows.
std::wstring messageBoxText(HWND box);

// Gives the X keyboard focus to the root window, so keys go to the window under the
// pointer: a virtual desktop that closes leaves the focus nowhere.
void giveKeyboardToPointer();

// Runs xdotool with these arguments on the tests' display and waits for it.
void xdotool(const std::string& arguments);
