#include "tests/win/support/app_fixture.h"

#include <gtest/gtest.h>

std::string freshFolder(const std::string& name)
{
    static int next = 0;
    return scratchFolder(name + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++next));
}

void AppSession::open(const std::string& serverArguments, int shown, const std::wstring& desktop)
{
    ASSERT_TRUE(server.start(serverArguments));
    std::string folder = freshFolder("app");
    ASSERT_TRUE(desktop.empty() ? viewer.start(folder) : viewer.startOnDesktop(folder, desktop));
    dialog = viewer.waitForConnectDialog();
    ASSERT_NE(nullptr, dialog);
    connectTo(dialog, server);
    if (shown < 0)
        return;
    main = viewer.waitForWindow(L"Tavimo", L"Tavimo");
    ASSERT_NE(nullptr, main);
    if (shown > 0)
        ASSERT_TRUE(waitForFramesShown(shown)) << "frames sent: " << server.count("frame-send body");
    else
        ASSERT_TRUE(server.waitFor("input-connected"));
}

AppSession::~AppSession()
{
    if (main && IsWindow(main))
        PostMessageW(main, WM_CLOSE, 0, 0);
    viewer.waitForExit(10000);
}

bool AppSession::waitForFramesSent(int frames, int timeoutMs) const
{
    return waitUntil([&] { return server.count("frame-send body") >= frames; }, timeoutMs);
}

bool AppSession::waitForFramesShown(int frames, int timeoutMs) const
{
    // The first request goes out before any frame.
    return waitUntil([&] { return server.count("frame-recv NEXT_FRAME") > frames; }, timeoutMs);
}

bool AppSession::waitForClient(int width, int height, int timeoutMs) const
{
    return waitUntil(
        [&] {
            RECT r;
            GetClientRect(main, &r);
            return r.right == width && r.bottom == height;
        },
        timeoutMs);
}

std::string AppSession::at(int clientX, int clientY) const
{
    POINT p = {clientX, clientY};
    ClientToScreen(main, &p);
    return std::to_string(p.x) + " " + std::to_string(p.y);
}

std::vector<std::string> AppSession::inputs(const std::string& kind) const
{
    std::vector<std::string> found;
    for (const std::string& line : server.log())
        if (line.rfind("input-message " + kind, 0) == 0)
            found.push_back(line);
    return found;
}

std::vector<std::string> AppSession::settle(const std::string& kind, size_t count) const
{
    waitUntil([&] { return inputs(kind).size() >= count; }, 10000);
    Sleep(400);
    return inputs(kind);
}
