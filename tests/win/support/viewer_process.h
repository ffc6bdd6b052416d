// Runs the real Tavimo.exe as a separate Windows process and finds its windows, and
// drives it with real X input through xdotool.
#pragma once

#include <windows.h>

#include <string>

struct ViewerProcess {
    PROCESS_INFORMATION process = {};
    std::string folder;  // Unix path of its current directory, where client.ini lives

    ~ViewerProcess();
    // Starts Tavimo.exe in `folder`, standard error into folder/stderr.txt.
    bool start(const std::string& folder);
    // A top-level window of this process with that class and caption, once it shows.
    HWND waitForWindow(const wchar_t* className, const wchar_t* caption, int timeoutMs = 20000) const;
    // The connect dialog (a dialog with the combo box), or a message box (a dialog without).
    HWND waitForConnectDialog(int timeoutMs = 20000) const;
    HWND waitForMessageBox(int timeoutMs = 20000) const;
    // The exit code, or STILL_ACTIVE when it has not ended within the time.
    DWORD waitForExit(int timeoutMs = 30000) const;
    std::string standardError() const;
};

// The text a message box shows.
std::wstring messageBoxText(HWND box);

// Runs xdotool with these arguments on the tests' display and waits for it.
void xdotool(const std::string& arguments);
