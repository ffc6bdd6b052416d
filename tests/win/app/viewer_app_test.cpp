// The whole program as a user meets it: started as its own process, driven through its
// dialog, against the counterpart server.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/win/support/app_fixture.h"

namespace {

bool fileExists(const std::string& unixPath)
{
    return GetFileAttributesA(windowsPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// client.ini as the profile functions read it back.
std::wstring storedHost(const std::string& folder, const wchar_t* key)
{
    wchar_t value[256] = {};
    std::string path = windowsPath(folder + "/client.ini");
    GetPrivateProfileStringW(L"host", key, L"", value, 256, std::wstring(path.begin(), path.end()).c_str());
    return value;
}

std::wstring wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// Enters a destination and presses OK; the box it brings up is closed again. Empty text
// when no box came.
std::wstring messageForDestination(ViewerProcess& viewer, HWND dialog, const std::wstring& text)
{
    SetDlgItemTextW(dialog, 1002, text.c_str());
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    HWND box = viewer.waitForMessageBox();
    if (!box)
        return L"";
    std::wstring shown = messageBoxText(box);
    EXPECT_EQ(dialog, GetWindow(box, GW_OWNER));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    waitUntil([&] { return !IsWindow(box); });
    return shown;
}

TEST(ViewerApp, TypedDestinationConnectsShowsFramesAndClosesWithZero)
{
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 320x240"));
    ViewerProcess viewer;
    std::string folder = freshFolder("connect");
    ASSERT_TRUE(viewer.start(folder));
    HWND dialog = viewer.waitForConnectDialog();
    ASSERT_NE(nullptr, dialog);
    // Real keys into the field, as a user types.
    RECT field;
    GetWindowRect(GetDlgItem(dialog, 1002), &field);
    xdotool("mousemove " + std::to_string(field.left + 20) + " " + std::to_string((field.top + field.bottom) / 2) +
            " click 1 type --delay 20 '" + server.address + "'");
    xdotool("key Return");
    ASSERT_TRUE(waitUntil([&] { return server.count("frame-send body") >= 5; }, 30000));

    HWND main = viewer.waitForWindow(L"Tavimo", L"Tavimo");
    ASSERT_NE(nullptr, main);
    RECT at;
    GetWindowRect(main, &at);
    EXPECT_EQ(0, at.left);
    EXPECT_EQ(0, at.top);
    // One frame request went out before the input channel was connected.
    int requestsBeforeInput = 0;
    for (const std::string& line : server.log()) {
        if (line.rfind("input-connected", 0) == 0)
            break;
        requestsBeforeInput += line.rfind("frame-recv NEXT_FRAME", 0) == 0;
    }
    EXPECT_EQ(1, requestsBeforeInput);
    EXPECT_EQ(1, server.count("input-connected"));
    EXPECT_EQ(wide(server.address), storedHost(folder, L"00"));

    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, viewer.waitForExit());
    EXPECT_TRUE(server.waitFor("session-end"));
}

TEST(ViewerApp, ClosingWhileFramesStreamAlwaysEndsWithZero)
{
    for (int round = 0; round < 4; ++round) {
        AppSession s;
        ASSERT_NO_FATAL_FAILURE(s.open("--pattern 640x480 --quality 95", 1 + round * 3)) << "round " << round;
        Sleep(DWORD(round * 37));  // land the close at different points of a frame
        PostMessageW(s.main, WM_CLOSE, 0, 0);
        EXPECT_EQ(0u, s.viewer.waitForExit()) << "round " << round;
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
    ViewerProcess first, second;
    ASSERT_TRUE(first.start(freshFolder("first")));
    HWND dialog = first.waitForConnectDialog();
    ASSERT_NE(nullptr, dialog);
    ASSERT_TRUE(second.start(freshFolder("second")));
    EXPECT_EQ(0u, second.waitForExit());
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_EQ(STILL_ACTIVE, first.waitForExit(0));
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(0u, first.waitForExit());
}

TEST(ViewerApp, TheDialogListsTheHistoryAndStaysThroughFailedConnects)
{
    std::string folder = freshFolder("dialog");
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
    const wchar_t* expected[] = {L"zeta.invalid", L"alpha.invalid", L"mid.invalid"};  // not sorted
    for (int i = 0; i < 3; ++i) {
        wchar_t text[64] = {};
        SendMessageW(list, CB_GETLBTEXT, WPARAM(i), LPARAM(text));
        EXPECT_STREQ(expected[i], text);
    }
    wchar_t shown[64] = {};
    GetDlgItemTextW(dialog, 1002, shown, 64);
    EXPECT_STREQ(L"zeta.invalid", shown);  // the most recent, ready for OK

    EXPECT_EQ(L"接続先を入力してください。", messageForDestination(viewer, dialog, L""));
    // Spaces are a destination like any other: looked up, not refused as empty.
    EXPECT_EQ(0u, messageForDestination(viewer, dialog, L"   ").rfind(L"接続エラー", 0));
    EXPECT_EQ(L"接続が拒否されました(+_+)", messageForDestination(viewer, dialog, wide(freshLoopbackAddress())));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, IDOK)));
    EXPECT_TRUE(IsWindowEnabled(list));
    EXPECT_EQ(L"zeta.invalid", storedHost(folder, L"00"));

    // The same dialog then connects to a server that is there.
    TestServer server;
    ASSERT_TRUE(server.start("--pattern 64x48"));
    connectTo(dialog, server);
    ASSERT_TRUE(waitUntil([&] { return server.count("frame-send body") >= 2; }));
    EXPECT_EQ(wide(server.address), storedHost(folder, L"00"));
    EXPECT_EQ(L"zeta.invalid", storedHost(folder, L"01"));
    PostMessageW(viewer.waitForWindow(L"Tavimo", L"Tavimo"), WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, viewer.waitForExit());
}

TEST(ViewerApp, UnreadableFrameEndsWithOneAndTheLibrarysMessage)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 64x48 --not-jpeg", -1));
    EXPECT_EQ(1u, s.viewer.waitForExit());
    EXPECT_NE(std::string::npos, s.viewer.standardError().find("Not a JPEG file: starts with 0x54 0x41"))
        << s.viewer.standardError();
}

}  // namespace
