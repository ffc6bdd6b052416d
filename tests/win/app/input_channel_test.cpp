// The input channel as the server sees it: the mouse through real X input on the viewer's
// window, whole messages whatever runs meanwhile, a window that stays alive when the server
// stops reading, keys sent on change and none left held remotely, and one address for both
// channels, also for destinations outside ASCII.
#include <gtest/gtest.h>

#include "res/resource.h"
#include "tests/win/support/app_fixture.h"

namespace {

TEST(InputChannel, AServerThatStopsReadingEndsTheChannelWhileFramesGoOn)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 320x240 --input-unread"));
    xdotool("mousemove " + s.at(30, 30) + " click 1");
    // Real typing until the buffers are full and the queue has waited its time; the
    // window answers throughout.
    HWND box = nullptr;
    for (DWORD start = GetTickCount(); !box && GetTickCount() - start < 90000;) {
        xdotool("type --delay 1 abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz");
        DWORD_PTR result = 0;
        ASSERT_TRUE(SendMessageTimeoutW(s.main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result));
        box = s.viewer.waitForMessageBox(0);
    }
    EXPECT_EQ(L"入力の送信が止まりました(*_*)\r\nサーバーが入力を受け取っていません。", messageBoxText(box));
    int frames = s.server.count("frame-send body");
    EXPECT_TRUE(s.server.waitFor("frame-send body", frames + 3));
    EXPECT_EQ(0, s.server.count("input-recv"));

    // Closed with the box still open and messages waiting: a normal end. (Under Wine
    // closing a window with a tray icon costs about 4 s whatever the channel does.)
    PostMessageW(s.main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, s.viewer.waitForExit(10000));
}

// Keys held when the window loses the keyboard go up remotely then, and only then. The
// TELNET box then waits in a modal loop while the user clicks and types on the main
// window; what the server reads stays whole and ends with one MSG_TELNET. A telnet.exe in
// the current directory is not the system's client and is not started.
TEST(InputChannel, FocusLossReleasesHeldKeysOnceAndTelnetComesWholeAfterItsBox)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 320x240"));
    ASSERT_TRUE(CopyFileA(windowsPath(TAVIMO_PLANTED_TELNET).c_str(),
                          windowsPath(s.viewer.folder + "/telnet.exe").c_str(), FALSE));
    HWND other = ownWindow(1000, 800, 200, 150);
    xdotool("mousemove " + s.at(30, 30) + " click 1 keydown Shift_L keydown a");
    s.settle("KEY", 3);
    xdotool("mousemove 1100 875 click 1");  // the keyboard goes to the test's window
    s.settle("KEY", 6);
    xdotool("keyup a keyup Shift_L");
    DestroyWindow(other);
    PostMessageW(s.main, WM_COMMAND, IDM_TELNET, 0);
    HWND box = s.viewer.waitForMessageBox();
    EXPECT_EQ(L"TELNETクライアントが見当たりません(+_+)", messageBoxText(box));
    xdotool("mousemove " + s.at(40, 50) + " click 1 key b");
    s.settle("KEY", 8);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(s.server.waitFor("input-message TELNET"));
    pause(400);  // one too many would show
    std::vector<std::string> expected;
    for (const char* message :
         {"MOUSE arg=0x0202 pos=0x001E001E x=30 y=30 width=320 height=240",
          "KEY arg=0x0000 key=0x00000010 width=0 height=0", "KEY arg=0x0000 key=0x000000A0 width=0 height=0",
          "KEY arg=0x0000 key=0x00000041 width=0 height=0", "KEY arg=0x0001 key=0x00000010 width=0 height=0",
          "KEY arg=0x0001 key=0x00000041 width=0 height=0", "KEY arg=0x0001 key=0x000000A0 width=0 height=0",
          "MOUSE arg=0x0202 pos=0x00320028 x=40 y=50 width=320 height=240",
          "KEY arg=0x0000 key=0x00000042 width=0 height=0", "KEY arg=0x0001 key=0x00000042 width=0 height=0", "TELNET"})
        expected.push_back(std::string("input-message ") + message);
    EXPECT_EQ(expected, s.inputs(""));
    EXPECT_FALSE(fileExists(s.viewer.folder + "/planted-telnet-ran"));
}

// Both channels reach the one address the server listens on, for a name and for an
// address in full-width digits and ideographic full stops, as an input method types it;
// the destination is remembered as typed.
TEST(InputChannel, ANameOrAFullWidthAddressConnectsBothChannelsToOneAddress)
{
    for (bool onLocalhost : {true, false}) {
        AppSession s;
        // On localhost only while no other test holds its ports.
        ASSERT_TRUE(waitUntil([&] { return s.server.start(onLocalhost ? "--address 127.0.0.1" : ""); }, 60000));
        ASSERT_NO_FATAL_FAILURE(s.openDialog());
        std::wstring typed = onLocalhost ? L"localhost" : L"";
        for (char c : onLocalhost ? std::string() : s.server.address)
            typed += c == '.' ? L'\x3002' : wchar_t(L'\xFF10' + (c - '0'));
        connectTo(s.dialog, typed);
        s.main = s.viewer.waitForWindow(L"Tavimo", L"Tavimo");
        EXPECT_TRUE(s.server.waitFor("input-connected")) << onLocalhost;
        EXPECT_EQ(1, s.server.count("frame-connected"));
        EXPECT_EQ(typed, storedHost(s.viewer.folder));
    }
}

bool has(const std::string& line, const std::string& part) { return line.find(part) != std::string::npos; }

TEST(ViewerInput, ButtonsAndDragsAreSentAsTheyHappenAtFramePositions)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 800x600", 2));

    xdotool("mousemove " + s.at(50, 50) + " mousedown 1 mousemove " + s.at(60, 55) + " mousemove " + s.at(70, 60) +
            " mouseup 1");
    auto mouse = s.settle("MOUSE", 2);
    ASSERT_GE(mouse.size(), 2u);  // the system may merge moves, but at least one comes
    EXPECT_TRUE(has(mouse.back(), "arg=0x0202")) << mouse.back();
    for (size_t i = 0; i + 1 < mouse.size(); ++i)
        EXPECT_TRUE(has(mouse[i], "arg=0x0000")) << mouse[i];
    EXPECT_TRUE(has(mouse[mouse.size() - 2], "x=70 y=60")) << mouse[mouse.size() - 2];

    // A click (the press itself sends nothing), moving without a button, the other
    // buttons, double clicks and the wheel.
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"mousemove " + s.at(10, 20) + " click 1", {"0x0202"}},
        {"mousemove " + s.at(100, 100) + " mousemove " + s.at(120, 110) + " click 3 click 2",
         {"0x0204", "0x0205", "0x0207", "0x0208"}},
        {"click --repeat 2 --delay 60 1", {"0x0202", "0x0302", "0x0202"}},
        {"click --repeat 2 --delay 60 3", {"0x0204", "0x0205", "0x0205"}},  // press, release, release
        {"click 4 click 5", {}},  // the wheel scrolls here and is not sent
    };
    for (const auto& [actions, codes] : cases) {
        size_t before = mouse.size();
        xdotool(actions);
        mouse = s.settle("MOUSE", before + codes.size());
        std::vector<std::string> sent;  // the event codes
        for (size_t i = before; i < mouse.size(); ++i)
            sent.push_back(mouse[i].substr(mouse[i].find("arg=") + 4, 6));
        EXPECT_EQ(codes, sent) << actions;
    }

    // In a scrolled 640 by 480 view, the position is the frame's and the size the client's.
    // The scroll bars that come take from the client area: sized again until it fits.
    ASSERT_TRUE(waitUntil([&] {
        RECT window, client;
        GetWindowRect(s.main, &window);
        GetClientRect(s.main, &client);
        SetWindowPos(s.main, nullptr, 0, 0, window.right - window.left + 640 - client.right,
                     window.bottom - window.top + 480 - client.bottom, SWP_NOMOVE | SWP_NOZORDER);
        return client.right == 640 && client.bottom == 480;
    }, 5000));
    SendMessageW(s.main, WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 100), 0);
    SendMessageW(s.main, WM_VSCROLL, MAKEWPARAM(SB_THUMBTRACK, 50), 0);
    xdotool("mousemove " + s.at(10, 20) + " click 1");
    mouse = s.settle("MOUSE", mouse.size() + 1);
    EXPECT_TRUE(has(mouse.back(), "arg=0x0202 pos=0x0046006E x=110 y=70 width=640 height=480")) << mouse.back();
}

TEST(ViewerInput, BeforeTheFirstFrameOnlyTheDoubleClickIsSent)
{
    AppSession s;
    // The announced body never comes, so no frame is ever shown.
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 200x100 --announce -1", 0));
    xdotool("mousemove " + s.at(40, 40) + " click --repeat 2 --delay 60 1");
    Sleep(1000);  // well past the double-click time
    xdotool("click 1 click 3 key a");
    auto mouse = s.settle("MOUSE", 1);
    ASSERT_EQ(1u, mouse.size());
    EXPECT_TRUE(has(mouse[0], "arg=0x0302")) << mouse[0];
    EXPECT_TRUE(s.inputs("KEY").empty());
}

}  // namespace
