// One Tavimo.exe connected to a counterpart server of its own: the start, the connect
// through the dialog, the wait for frames on screen, and the input the server received.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/win/support/test_server.h"
#include "tests/win/support/viewer_process.h"

// A folder of its own for every viewer of the run.
std::string freshFolder(const std::string& name);

struct AppSession {
    TestServer server;
    ViewerProcess viewer;
    HWND dialog = nullptr;
    HWND main = nullptr;

    // Starts both (the viewer on a virtual desktop of that name when one is given),
    // connects, and waits until `shown` frames are on screen: the viewer asks for the next
    // frame only once the last one is decoded, fitted and painted. With 0, until the input
    // channel is connected and the window shows; below 0, only until OK is pressed.
    // Use with ASSERT_NO_FATAL_FAILURE.
    void open(const std::string& serverArguments, int shown = 1, const std::wstring& desktop = L"");
    // Closes the main window if it is still there and waits for the process.
    ~AppSession();

    bool waitForFramesSent(int frames, int timeoutMs = 30000) const;
    bool waitForFramesShown(int frames, int timeoutMs = 30000) const;
    bool waitForClient(int width, int height, int timeoutMs = 10000) const;

    // The screen position of a client point, as xdotool takes it.
    std::string at(int clientX, int clientY) const;
    // Input messages of a kind ("MOUSE", "KEY") as the server logged them, in order.
    std::vector<std::string> inputs(const std::string& kind) const;
    // Waits until `count` messages of that kind have come, then a little longer, so one
    // too many would show.
    std::vector<std::string> settle(const std::string& kind, size_t count) const;
};
