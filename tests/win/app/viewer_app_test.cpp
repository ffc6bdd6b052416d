// The whole program as a user meets it: started as its own process, driven through its
// dialog with real X input, against the counterpart server.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/win/support/test_server.h"
#include "tests/win/support/viewer_process.h"

namespace {

std::string freshFolder(const std::string& name)
{
    static int next = 0;
    return scratchFolder(name + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++next));
}

std::string readFile(const std::string& unixPath)
{
    std::ifstream in(windowsPath(unixPath), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool fileExists(const std::string& unixPath)
{
    return GetFileAttributesA(windowsPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// client.ini as the profile functions read it back.
std::wstring storedHost(const std::string& folder, const wchar_t* key)
{
    wchar_t value[256] = {};
    std::string path = windowsPath(folder + "/client.ini");
    std::wstring widePath(path.begin(), path.end());
    GetPrivateProfileStringW(L"host", key, L"", value, 256, widePath.c_str());
    return value;
}

// Clicks into the destination field, as a user would before typing, then types and
// presses Enter.
void typeDestination(HWND dialog, const std::string& text)
{
    RECT field;
    GetWindowRect(GetDlgItem(dialog, 1002), &field);
    int x = field.left + 20, y = (field.top + field.bottom) / 2;
    xdotool("mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1");
    if (!text.empty())
        xdotool("type --delay 20 '" + text + "'");
    xdotool("key Return");
}

bool waitForFrames(const TestServer& server, int frames)
{
    for (int waited = 0; waited < 30000; waited += 50) {
        if (server.count("frame-send body") >= frames)
            return true;
        Sleep(50);
    }
    return false;
}

TEST(ViewerApp, ConnectsShowsFramesAndClosesWithZero)
{
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 320x240"));
    ViewerProcess viewer;
    std::string folder = freshFolder("connect");
    ASSERT_TRUE(viewer.start(folder));
    HWND dialog = viewer.waitForConnectDialog();
    ASSERT_NE(nullptr, dialog);
    typeDestination(dialog, server.address);
    ASSERT_TRUE(waitForFrames(server, 5));

    HWND main = viewer.waitForWindow(L"Tavimo", L"Tavimo");
    ASSERT_NE(nullptr, main);
    RECT at;
    GetWindowRect(main, &at);
    EXPECT_EQ(0, at.left);
    EXPECT_EQ(0, at.top);
    // One frame request went out before the input channel was connected.
    auto log = server.log();
    int requestsBeforeInput = 0;
    for (const std::string& line : log) {
        if (line.rfind("input-connected", 0) == 0)
            break;
        requestsBeforeInput += line.rfind("frame-recv NEXT_FRAME", 0) == 0;
    }
    EXPECT_EQ(1, requestsBeforeInput);
    EXPECT_EQ(1, server.count("input-connected"));
    std::wstring address(server.address.begin(), server.address.end());
    EXPECT_EQ(address, storedHost(folder, L"00"));

    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, viewer.waitForExit());
    EXPECT_TRUE(server.waitFor("session-end"));
}

TEST(ViewerApp, ClosingWhileFramesStreamAlwaysEndsWithZero)
{
    for (int round = 0; round < 4; ++round) {
        TestServer server;
        ASSERT_TRUE(server.start("--pattern 640x480 --quality 95"));
        ViewerProcess viewer;
        ASSERT_TRUE(viewer.start(freshFolder("close")));
        HWND dialog = viewer.waitForConnectDialog();
        ASSERT_NE(nullptr, dialog);
        typeDestination(dialog, server.address);
        ASSERT_TRUE(waitForFrames(server, 1 + round * 3)) << "round " << round;
        HWND main = viewer.waitForWindow(L"Tavimo", L"Tavimo");
        ASSERT_NE(nullptr, main);
        Sleep(DWORD(round * 37));  // land the close at different points of a frame
        PostMessageW(main, WM_CLOSE, 0, 0);
        EXPECT_EQ(0u, viewer.waitForExit()) << "round " << round;
    }
}

TEST(ViewerApp, CancelEndsWithZeroAndTouchesNothing)
{
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 64x48"));
    ViewerProcess viewer;
    std::string folder = freshFolder("cancel");
    ASSERT_TRUE(viewer.start(folder));
    ASSERT_NE(nullptr, viewer.waitForConnectDialog());
    xdotool("key Escape");
    EXPECT_EQ(0u, viewer.waitForExit());
    EXPECT_FALSE(fileExists(folder + "/client.ini"));
    EXPECT_EQ(0, server.count("frame-connected"));
}

TEST(ViewerApp, SecondInstanceLeavesAtOnceAndTheFirstGoesOn)
{
    ViewerProcess first;
    ASSERT_TRUE(first.start(freshFolder("first")));
    HWND dialog = first.waitForConnectDialog();
    ASSERT_NE(nullptr, dialog);
    ViewerProcess second;
    ASSERT_TRUE(second.start(freshFolder("second")));
    EXPECT_EQ(0u, second.waitForExit());
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_EQ(STILL_ACTIVE, first.waitForExit(0));
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(0u, first.waitForExit());
}

TEST(ViewerApp, RefusedAndEmptyDestinationsKeepTheDialogOpen)
{
    ViewerProcess viewer;
    std::string folder = freshFolder("refused");
    ASSERT_TRUE(viewer.start(folder));
    HWND dialog = viewer.waitForConnectDialog();
    ASSERT_NE(nullptr, dialog);

    typeDestination(dialog, "");
    HWND box = viewer.waitForMessageBox();
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"接続先を入力してください。", messageBoxText(box));
    xdotool("key Return");

    typeDestination(dialog, freshLoopbackAddress());  // nobody listens there
    box = viewer.waitForMessageBox();
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"接続が拒否されました(+_+)", messageBoxText(box));
    EXPECT_EQ(dialog, GetWindow(box, GW_OWNER));
    xdotool("key Return");
    for (int waited = 0; waited < 5000 && IsWindow(box); waited += 50)
        Sleep(50);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, IDOK)));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, 1002)));
    EXPECT_FALSE(fileExists(folder + "/client.ini"));

    // The same dialog then connects to a server that is there.
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 64x48"));
    std::wstring address(server.address.begin(), server.address.end());
    SetDlgItemTextW(dialog, 1002, address.c_str());
    xdotool("key Return");
    ASSERT_TRUE(waitForFrames(server, 2));
    EXPECT_EQ(address, storedHost(folder, L"00"));
    PostMessageW(viewer.waitForWindow(L"Tavimo", L"Tavimo"), WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, viewer.waitForExit());
}

TEST(ViewerApp, TheListShowsTheHistoryMostRecentFirst)
{
    std::string folder = freshFolder("history");
    {
        std::ofstream ini(windowsPath(folder + "/client.ini"), std::ios::binary);
        ini << "[host]\r\n00=zeta.invalid\r\n01=alpha.invalid\r\n02=mid.invalid\r\n04=never.invalid\r\n";
    }
    ViewerProcess viewer;
    ASSERT_TRUE(viewer.start(folder));
    HWND dialog = viewer.waitForConnectDialog();
    ASSERT_NE(nullptr, dialog);
    HWND list = GetDlgItem(dialog, 1002);
    ASSERT_EQ(3, SendMessageW(list, CB_GETCOUNT, 0, 0));
    const wchar_t* expected[] = {L"zeta.invalid", L"alpha.invalid", L"mid.invalid"};
    for (int i = 0; i < 3; ++i) {
        wchar_t text[64] = {};
        SendMessageW(list, CB_GETLBTEXT, WPARAM(i), LPARAM(text));
        EXPECT_STREQ(expected[i], text);
    }
    wchar_t shown[64] = {};
    GetDlgItemTextW(dialog, 1002, shown, 64);
    EXPECT_STREQ(L"zeta.invalid", shown);  // the most recent, ready for OK

    // Spaces are a destination like any other: looked up, not refused as empty.
    SetDlgItemTextW(dialog, 1002, L"   ");
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    HWND box = viewer.waitForMessageBox();
    ASSERT_NE(nullptr, box);
    EXPECT_NE(L"接続先を入力してください。", messageBoxText(box));
    EXPECT_EQ(0u, messageBoxText(box).rfind(L"接続エラー", 0)) << messageBoxText(box).size();
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(0u, viewer.waitForExit());
}

TEST(ViewerApp, ServerCloseIsReportedAndTheWindowStays)
{
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 160x120 --close-after 3"));
    ViewerProcess viewer;
    ASSERT_TRUE(viewer.start(freshFolder("closed")));
    HWND dialog = viewer.waitForConnectDialog();
    ASSERT_NE(nullptr, dialog);
    typeDestination(dialog, server.address);
    HWND box = viewer.waitForMessageBox();
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"切断されました(+_+)", messageBoxText(box));
    xdotool("key Return");
    HWND main = viewer.waitForWindow(L"Tavimo", L"Tavimo");
    ASSERT_NE(nullptr, main);
    EXPECT_EQ(STILL_ACTIVE, viewer.waitForExit(500));
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, viewer.waitForExit());
}

TEST(ViewerApp, UnreadableFrameEndsWithOneAndTheLibrarysMessage)
{
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 64x48 --not-jpeg"));
    ViewerProcess viewer;
    ASSERT_TRUE(viewer.start(freshFolder("garbage")));
    HWND dialog = viewer.waitForConnectDialog();
    ASSERT_NE(nullptr, dialog);
    typeDestination(dialog, server.address);
    EXPECT_EQ(1u, viewer.waitForExit());
    EXPECT_NE(std::string::npos, viewer.standardError().find("Not a JPEG file: starts with 0x54 0x41"))
        << viewer.standardError();
}

}  // namespace
