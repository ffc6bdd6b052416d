// Mouse and keyboard reach the server as input messages, through real X input on the
// viewer's window.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/win/support/test_server.h"
#include "tests/win/support/viewer_process.h"

namespace {

struct ConnectedViewer {
    TestServer server;
    ViewerProcess viewer;
    HWND main = nullptr;

    // Connects and waits for `frames` frames, so the view is active when frames > 0.
    void open(const std::string& serverArguments, int frames)
    {
        ASSERT_TRUE(server.start(serverArguments));
        static int next = 0;
        ASSERT_TRUE(viewer.start(scratchFolder("input-" + std::to_string(GetCurrentProcessId()) + "-" +
                                               std::to_string(++next))));
        HWND dialog = viewer.waitForConnectDialog();
        ASSERT_NE(nullptr, dialog);
        connectTo(dialog, server);
        ASSERT_TRUE(server.waitFor("input-connected"));
        for (int waited = 0; waited < 20000 && server.count("frame-send body") < frames; waited += 50)
            Sleep(50);
        ASSERT_GE(server.count("frame-send body"), frames);
        main = viewer.waitForWindow(L"Tavimo", L"Tavimo");
        ASSERT_NE(nullptr, main);
        moveClearOfWinesTray(main);
        Sleep(300);  // the fit and the first paints
    }

    ~ConnectedViewer()
    {
        if (main)
            PostMessageW(main, WM_CLOSE, 0, 0);
        viewer.waitForExit(10000);
    }

    std::string at(int clientX, int clientY) const
    {
        POINT p = {clientX, clientY};
        ClientToScreen(main, &p);
        return std::to_string(p.x) + " " + std::to_string(p.y);
    }

    std::vector<std::string> messages(const std::string& kind) const
    {
        std::vector<std::string> found;
        for (const std::string& line : server.log())
            if (line.rfind("input-message " + kind, 0) == 0)
                found.push_back(line);
        return found;
    }

    // Waits until `count` messages of that kind have come, and a little longer, so one
    // too many would show.
    std::vector<std::string> settle(const std::string& kind, size_t count) const
    {
        for (int waited = 0; waited < 10000 && messages(kind).size() < count; waited += 50)
            Sleep(50);
        Sleep(400);
        return messages(kind);
    }

};

bool has(const std::string& line, const std::string& part)
{
    return line.find(part) != std::string::npos;
}

TEST(ViewerInput, ClicksDragsAndButtonsAreSentAsTheyHappen)
{
    ConnectedViewer c;
    c.open("--pattern 400x300", 3);
    if (HasFatalFailure())
        return;

    xdotool("mousemove " + c.at(10, 20) + " click 1");
    auto mouse = c.settle("MOUSE", 1);
    ASSERT_EQ(1u, mouse.size());  // the press itself sends nothing
    EXPECT_TRUE(has(mouse[0], "arg=0x0202")) << mouse[0];
    EXPECT_TRUE(has(mouse[0], "x=10 y=20")) << mouse[0];

    xdotool("mousemove " + c.at(50, 50) + " mousedown 1 mousemove " + c.at(60, 55) + " mousemove " + c.at(70, 60) +
            " mouseup 1");
    mouse = c.settle("MOUSE", 3);
    ASSERT_GE(mouse.size(), 3u);  // the system may merge moves, but at least one comes
    EXPECT_TRUE(has(mouse.back(), "arg=0x0202")) << mouse.back();
    for (size_t i = 1; i + 1 < mouse.size(); ++i)
        EXPECT_TRUE(has(mouse[i], "arg=0x0000")) << mouse[i];
    EXPECT_TRUE(has(mouse[mouse.size() - 2], "x=70 y=60")) << mouse[mouse.size() - 2];

    size_t before = mouse.size();
    xdotool("mousemove " + c.at(100, 100) + " mousemove " + c.at(120, 110) + " click 3 click 2");
    mouse = c.settle("MOUSE", before + 4);
    ASSERT_EQ(before + 4, mouse.size());  // moving without a button sends nothing
    EXPECT_TRUE(has(mouse[before], "arg=0x0204"));
    EXPECT_TRUE(has(mouse[before + 1], "arg=0x0205"));
    EXPECT_TRUE(has(mouse[before + 2], "arg=0x0207"));
    EXPECT_TRUE(has(mouse[before + 3], "arg=0x0208"));

    before = mouse.size();
    xdotool("click --repeat 2 --delay 60 1");
    mouse = c.settle("MOUSE", before + 3);
    ASSERT_EQ(before + 3, mouse.size());
    EXPECT_TRUE(has(mouse[before], "arg=0x0202"));
    EXPECT_TRUE(has(mouse[before + 1], "arg=0x0302"));
    EXPECT_TRUE(has(mouse[before + 2], "arg=0x0202"));

    before = mouse.size();
    xdotool("click --repeat 2 --delay 60 3");
    mouse = c.settle("MOUSE", before + 3);
    ASSERT_EQ(before + 3, mouse.size());  // press, release, release
    EXPECT_TRUE(has(mouse[before], "arg=0x0204"));
    EXPECT_TRUE(has(mouse[before + 1], "arg=0x0205"));
    EXPECT_TRUE(has(mouse[before + 2], "arg=0x0205"));

    before = mouse.size();
    xdotool("click 4 click 5");  // the wheel scrolls here and is not sent
    EXPECT_EQ(before, c.settle("MOUSE", before).size());
}

TEST(ViewerInput, KeysAreSentOnChangeAndAltF4StaysLocal)
{
    ConnectedViewer c;
    c.open("--pattern 400x300", 3);
    if (HasFatalFailure())
        return;
    xdotool("mousemove " + c.at(30, 30) + " click 1");  // the keyboard goes where the user clicked
    xdotool("keydown a");
    auto keys = c.settle("KEY", 1);
    xdotool("keyup a");
    keys = c.settle("KEY", 2);
    ASSERT_EQ(2u, keys.size());
    EXPECT_TRUE(has(keys[0], "arg=0x0000 key=0x00000041")) << keys[0];
    EXPECT_TRUE(has(keys[1], "arg=0x0001 key=0x00000041")) << keys[1];

    xdotool("keydown Shift_L");
    keys = c.settle("KEY", 4);
    xdotool("keyup Shift_L");
    keys = c.settle("KEY", 6);
    ASSERT_EQ(6u, keys.size());
    EXPECT_TRUE(has(keys[2], "arg=0x0000 key=0x00000010")) << keys[2];
    EXPECT_TRUE(has(keys[3], "arg=0x0000 key=0x000000A0")) << keys[3];

    xdotool("key alt+F4");
    Sleep(500);
    EXPECT_TRUE(IsWindow(c.main));
    EXPECT_EQ(STILL_ACTIVE, c.viewer.waitForExit(0));
}

TEST(ViewerInput, PositionsAreInFrameCoordinatesOfAScrolledView)
{
    ConnectedViewer c;
    c.open("--pattern 800x600", 3);
    if (HasFatalFailure())
        return;
    // A 640 by 480 client area, whatever the frame and bars take.
    for (int i = 0; i < 3; ++i) {
        RECT window, client;
        GetWindowRect(c.main, &window);
        GetClientRect(c.main, &client);
        SetWindowPos(c.main, nullptr, 0, 0, window.right - window.left + 640 - client.right,
                     window.bottom - window.top + 480 - client.bottom, SWP_NOMOVE | SWP_NOZORDER);
        Sleep(200);
    }
    RECT client;
    GetClientRect(c.main, &client);
    ASSERT_EQ(640, client.right);
    ASSERT_EQ(480, client.bottom);
    SendMessageW(c.main, WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 100), 0);
    SendMessageW(c.main, WM_VSCROLL, MAKEWPARAM(SB_THUMBTRACK, 50), 0);
    xdotool("mousemove " + c.at(10, 20) + " click 1");
    c.settle("MOUSE", 1);
    EXPECT_NE(std::string::npos, c.server.rawInput().find("01030000020200006E00460080020000E0010000")) << c.server.rawInput();
}

TEST(ViewerInput, BeforeTheFirstFrameOnlyTheDoubleClickIsSent)
{
    ConnectedViewer c;
    // The announced body never comes, so no frame is ever shown.
    c.open("--pattern 200x100 --announce -1", 0);
    if (HasFatalFailure())
        return;
    xdotool("mousemove " + c.at(40, 40) + " click --repeat 2 --delay 60 1");
    Sleep(1000);  // well past the double-click time
    xdotool("click 1 click 3");
    xdotool("key a");
    auto mouse = c.settle("MOUSE", 1);
    ASSERT_EQ(1u, mouse.size());
    EXPECT_TRUE(has(mouse[0], "arg=0x0302")) << mouse[0];
    EXPECT_TRUE(c.messages("KEY").empty());
}

}  // namespace
