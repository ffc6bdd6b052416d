// Tavimo working a real Linux desktop: the real tavimo-host on an Xvfb of its own with a
// window manager and two terminals, driven through Tavimo's window with real X input.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/win/support/remote_desktop.h"
#include "tests/win/support/test_server.h"
#include "tests/win/support/viewer_process.h"

namespace {

// Wine keeps what a window that closed held as still down, and the next test's viewer
// would see it; a window of the test's own under the pointer takes the releases instead.
void releaseInAWindowOfOurOwn(POINT at, const std::string& releases)
{
    WNDCLASSW sinkClass = {};
    sinkClass.lpfnWndProc = DefWindowProcW;
    sinkClass.hInstance = GetModuleHandleW(nullptr);
    sinkClass.lpszClassName = L"ReleaseSink";
    RegisterClassW(&sinkClass);
    HWND sink = CreateWindowExW(WS_EX_TOPMOST, L"ReleaseSink", L"ReleaseSink", WS_POPUP | WS_VISIBLE, at.x - 50,
                                at.y - 50, 100, 100, nullptr, nullptr, sinkClass.hInstance, nullptr);
    giveKeyboardToPointer();
    xdotool("mousemove " + std::to_string(at.x) + " " + std::to_string(at.y) + " " + releases);
    for (int waited = 0; waited < 500; waited += 10) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
        Sleep(10);
    }
    DestroyWindow(sink);
}

template <typename Condition>
bool eventually(Condition condition, int timeoutMs = 20000)
{
    for (int waited = 0; waited <= timeoutMs; waited += 50) {
        if (condition())
            return true;
        Sleep(50);
    }
    return false;
}

TEST(RemoteDesktop, ClicksTypingAndDragsWorkTheRemoteDesktopAndNothingStaysHeld)
{
    RemoteDesktop remote;
    ASSERT_TRUE(remote.start());
    ViewerProcess viewer;
    ASSERT_TRUE(viewer.start(scratchFolder("remote-desktop-" + std::to_string(GetCurrentProcessId()))));
    HWND dialog = viewer.waitForConnectDialog();
    ASSERT_NE(nullptr, dialog);
    TestServer destination;
    destination.address = remote.address;
    connectTo(dialog, destination);
    ASSERT_TRUE(remote.waitFor("input-connected"));
    ASSERT_TRUE(remote.waitFor("frame-send body", 3));
    HWND main = viewer.waitForWindow(L"Tavimo", L"Tavimo");
    ASSERT_NE(nullptr, main);
    moveClearOfWinesTray(main);
    Sleep(300);  // the fit and the first paints
    // The frame fits the window unscrolled, so frame and client coordinates are the same.
    auto at = [&](int x, int y) {
        POINT p = {x, y};
        ClientToScreen(main, &p);
        return std::to_string(p.x) + " " + std::to_string(p.y);
    };

    // A click in the second terminal gives it the focus; the remote pointer is where it was.
    RemoteGeometry b = remote.window("termB");
    ASSERT_GT(b.width, 0);
    xdotool("mousemove " + at(b.x + 30, b.y + 30) + " click 1");
    EXPECT_TRUE(eventually([&] {
        RemoteGeometry p = remote.pointer();
        return p.x == b.x + 30 && p.y == b.y + 30;
    }));
    // Shift for capitals and punctuation comes from the viewer's own key state.
    xdotool("type --delay 40 'Hello, World! (x_y) #1;'");
    // The line goes to the terminal's file at Return: only once the host has the last key.
    EXPECT_TRUE(remote.waitFor("input-key 0xBA up"));
    xdotool("key Return");
    EXPECT_TRUE(eventually([&] { return remote.file("b.txt") == "Hello, World! (x_y) #1;\n"; }))
        << "b.txt: " << remote.file("b.txt");
    EXPECT_EQ(remote.file("a.txt"), "");

    // A drag on the first terminal's title bar moves it. Tavimo sends no left press, so the
    // host presses where the first move arrives: one pixel off the start.
    RemoteGeometry a = remote.window("termA");
    ASSERT_GT(a.width, 0);
    int grabX = a.x + 60, grabY = a.y - 8;
    xdotool("mousemove " + at(grabX, grabY) + " mousedown 1 mousemove " + at(grabX + 1, grabY + 1) +
            " sleep 0.3 mousemove " + at(grabX + 50, grabY + 40) + " sleep 0.3 mousemove " +
            at(grabX + 100, grabY + 80) + " sleep 0.3 mouseup 1");
    EXPECT_TRUE(eventually([&] {
        RemoteGeometry moved = remote.window("termA");
        return std::abs(moved.x - (a.x + 99)) <= 2 && std::abs(moved.y - (a.y + 79)) <= 2;
    })) << "termA at " << remote.window("termA").x << "," << remote.window("termA").y << ", was " << a.x << ","
        << a.y;
    EXPECT_FALSE(remote.anythingHeld());

    // The viewer dies while Shift and the left button are held, too suddenly to send the
    // releases it sends on losing the focus: the host lets go of both by itself.
    xdotool("mousemove " + at(700, 80) + " keydown shift mousedown 1 mousemove " + at(705, 85));
    EXPECT_TRUE(eventually([&] { return remote.anythingHeld(); }));
    POINT held = {705, 85};
    ClientToScreen(main, &held);
    TerminateProcess(viewer.process.hProcess, 9);
    EXPECT_EQ(9u, viewer.waitForExit(10000));
    releaseInAWindowOfOurOwn(held, "mouseup 1 keyup shift");
    EXPECT_TRUE(remote.waitFor("input-released keys=1 buttons=1"));
    EXPECT_FALSE(remote.anythingHeld());
}

}  // namespace
