// The tray icon and its menu on a virtual desktop with a notification area, clicked with
// real X input.
#include <gtest/gtest.h>

#include "res/resource.h"
#include "tests/win/support/app_fixture.h"

namespace {

// The menu opens at the pointer on a right release (or a left press, as `choose` opens
// it); the server commands go out (what the TELNET box does around its record is the input
// channel's test), the about box opens once, and Exit ends with 0.
TEST(TrayMenu, OpensOnRightReleaseAndItsCommandsWork)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 320x240", 1, L"tray-" + std::to_wstring(GetCurrentProcessId())));
    HWND tray = s.viewer.waitForWindow(L"Shell_TrayWnd", L"");
    ASSERT_NE(nullptr, tray);
    RECT bar;
    GetWindowRect(tray, &bar);
    // The only icon in the notification area sits at the bar's right end.
    POINT icon = {bar.right - 11, (bar.top + bar.bottom) / 2};
    std::string iconAt = std::to_string(icon.x) + " " + std::to_string(icon.y);
    Sleep(500);
    auto menu = [&](int timeoutMs = 3000) { return s.viewer.waitForWindow(L"#32768", L"", timeoutMs); };
    // Opens the menu with a left press (released away from the menu, which covers the icon)
    // and picks the command `downs` items down with Return, posted to the menu's loop: X keys
    // reach a menu on a virtual desktop only once Wine has made its thread the foreground one.
    auto choose = [&](int downs) {
        if (menu(0)) {
            xdotool("mousemove 1000 300 click 1");  // on the bare desktop
            waitUntil([&] { return !menu(0); }, 5000);
        }
        Sleep(500);  // a click right after the last menu closed does not reach the icon
        xdotool("mousemove " + iconAt + " mousedown 1 mousemove 600 500 mouseup 1");
        HWND opened = menu();
        ASSERT_NE(nullptr, opened);
        for (int i = 0; i <= downs; ++i)
            PostMessageW(opened, WM_KEYDOWN, i < downs ? VK_DOWN : VK_RETURN, 0);
        ASSERT_TRUE(waitUntil([&] { return !shown(opened); }, 5000)) << "the menu took no keys";
    };

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

    ASSERT_NO_FATAL_FAILURE(choose(2));  // サーバーの強制終了
    EXPECT_TRUE(s.server.waitFor("input-message SERVER_EXIT"));
    // TELNET接続: no TELNET client here.
    ASSERT_NO_FATAL_FAILURE(choose(1));
    HWND box = s.viewer.waitForMessageBox();
    ASSERT_NE(nullptr, box);
    // By message: a key may reach the box before it has the keyboard.
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(s.server.waitFor("input-message TELNET"));

    ASSERT_NO_FATAL_FAILURE(choose(3));  // バージョン情報
    HWND about = s.viewer.waitForWindow(L"#32770", L"");
    ASSERT_NE(nullptr, about);
    EXPECT_NE(nullptr, GetDlgItem(about, IDC_LINK));
    PostMessageW(s.main, WM_COMMAND, IDM_ABOUT, 0);  // chosen again while it shows
    SendMessageW(about, WM_COMMAND, IDCANCEL, 0);     // Esc's command does not close it
    EXPECT_TRUE(shown(about));
    PostMessageW(about, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(waitUntil([&] { return !IsWindow(about); }, 3000));
    EXPECT_EQ(nullptr, s.viewer.waitForWindow(L"#32770", L"", 700));  // nor is there a second one

    ASSERT_NO_FATAL_FAILURE(choose(4));  // 終了
    EXPECT_EQ(0u, s.viewer.waitForExit());
    s.main = nullptr;
}

}  // namespace
