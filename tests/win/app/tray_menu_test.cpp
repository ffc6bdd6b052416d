// The tray icon and its menu on a virtual desktop with a notification area, clicked with
// real X input.
#include <gtest/gtest.h>

#include "res/resource.h"
#include "tests/win/support/app_fixture.h"

namespace {

struct TrayMenu : ::testing::Test {
    AppSession s;
    POINT icon = {};
    std::string iconAt;

    void SetUp() override
    {
        static int next = 0;
        std::string name = "tray-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++next);
        ASSERT_NO_FATAL_FAILURE(s.open("--pattern 320x240", 1, wide(name)));
        HWND tray = s.viewer.waitForWindow(L"Shell_TrayWnd", L"");
        ASSERT_NE(nullptr, tray);
        RECT bar;
        GetWindowRect(tray, &bar);
        // The only icon in the notification area sits at the bar's right end.
        icon = {bar.right - 11, (bar.top + bar.bottom) / 2};
        iconAt = std::to_string(icon.x) + " " + std::to_string(icon.y);
        Sleep(500);
    }

    HWND menu(int timeoutMs = 3000) { return s.viewer.waitForWindow(L"#32768", L"", timeoutMs); }

    // Opens the menu with a left press (released away from the menu, which covers the icon)
    // and picks a command with `downs` and Return. Keys sent right after the menu shows are
    // now and then lost on a busy machine: it is then closed and opened afresh.
    void choose(const std::string& downs)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (menu(0)) {
                xdotool("mousemove 1000 300 click 1");  // on the bare desktop
                waitUntil([&] { return !menu(0); }, 5000);
            }
            Sleep(500);  // a click right after the last menu closed does not reach the icon
            xdotool("mousemove " + iconAt + " mousedown 1 mousemove 600 500 mouseup 1");
            HWND opened = menu();
            ASSERT_NE(nullptr, opened);
            Sleep(300);  // the menu's loop takes the keyboard once the menu shows
            giveKeyboardToPointer();
            xdotool("key --delay 100 " + downs + " Return");
            if (waitUntil([&] { return !shown(opened); }, 3000))
                return;
        }
        FAIL() << "the menu took no keys";
    }
};

// The menu opens at the pointer on a right release (or a left press, as `choose` opens
// it); the server commands go out (what the TELNET box does around its record is the input
// channel's test), the about box opens once, and Exit ends with 0.
TEST_F(TrayMenu, OpensOnRightReleaseAndItsCommandsWork)
{
    xdotool("mousemove " + iconAt + " mousedown 3");
    EXPECT_EQ(nullptr, menu(800));  // a right press opens nothing
    xdotool("mouseup 3");
    HWND opened = menu();
    ASSERT_NE(nullptr, opened);
    RECT at;
    GetWindowRect(opened, &at);
    EXPECT_TRUE(PtInRect(&at, icon));  // kept on the screen in its corner
    xdotool("key Escape");
    waitUntil([&] { return !shown(opened); }, 3000);

    ASSERT_NO_FATAL_FAILURE(choose("Down Down"));  // サーバーの強制終了
    EXPECT_TRUE(s.server.waitFor("input-message SERVER_EXIT"));
    ASSERT_NO_FATAL_FAILURE(choose("Down"));  // TELNET接続: no TELNET client here
    ASSERT_NE(nullptr, s.viewer.waitForMessageBox());
    xdotool("key Return");
    EXPECT_TRUE(s.server.waitFor("input-message TELNET"));

    ASSERT_NO_FATAL_FAILURE(choose("Down Down Down"));  // バージョン情報
    HWND about = s.viewer.waitForWindow(L"#32770", L"");
    ASSERT_NE(nullptr, about);
    EXPECT_NE(nullptr, GetDlgItem(about, IDC_LINK));
    PostMessageW(s.main, WM_COMMAND, IDM_ABOUT, 0);  // chosen again while it shows
    xdotool("key Escape");
    Sleep(500);
    EXPECT_TRUE(shown(about));  // Esc does not close it
    xdotool("key Return");      // OK has the focus
    EXPECT_TRUE(waitUntil([&] { return !IsWindow(about); }, 3000));
    EXPECT_EQ(nullptr, s.viewer.waitForWindow(L"#32770", L"", 700));  // nor is there a second one

    ASSERT_NO_FATAL_FAILURE(choose("Down Down Down Down"));  // 終了
    EXPECT_EQ(0u, s.viewer.waitForExit());
    s.main = nullptr;
}

}  // namespace
