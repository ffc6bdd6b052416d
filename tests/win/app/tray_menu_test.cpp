// The tray icon and its menu on a virtual desktop with a notification area, clicked with
// real X input.
#include <gtest/gtest.h>

#include "tests/win/support/app_fixture.h"

namespace {

// Shown, by its style: IsWindowVisible says no for windows of another desktop.
bool shown(HWND window)
{
    return IsWindow(window) && (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE);
}

struct TrayViewer : AppSession {
    POINT icon = {};

    void openOnDesktop()
    {
        static int next = 0;
        std::string name = "tray-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++next);
        ASSERT_NO_FATAL_FAILURE(open("--pattern 320x240", 1, std::wstring(name.begin(), name.end())));
        HWND tray = viewer.waitForWindow(L"Shell_TrayWnd", L"");
        ASSERT_NE(nullptr, tray);
        RECT bar;
        GetWindowRect(tray, &bar);
        // The only icon in the notification area sits at the bar's right end.
        icon = {bar.right - 11, (bar.top + bar.bottom) / 2};
        Sleep(500);
    }

    std::string iconAt() const { return std::to_string(icon.x) + " " + std::to_string(icon.y); }

    HWND menu(int timeoutMs = 3000) { return viewer.waitForWindow(L"#32768", L"", timeoutMs); }

    // Opens the menu with a left press and picks the n-th command (separator skipped).
    // The release happens away from the menu, which covers the icon in the corner.
    // Keys sent right after the menu shows are now and then lost on a busy machine, and the
    // menu stays open; it is then closed and opened afresh, so no key counts twice.
    void choose(int downs)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (menu(0)) {
                xdotool("mousemove 1000 300 click 1");  // on the bare desktop
                waitUntil([&] { return !menu(0); }, 5000);
            }
            Sleep(500);  // a click right after the last menu closed does not reach the icon
            xdotool("mousemove " + iconAt() + " mousedown 1 mousemove 600 500 mouseup 1");
            HWND opened = menu();
            ASSERT_NE(nullptr, opened);
            Sleep(300);  // the menu's loop takes the keyboard once the menu shows
            giveKeyboardToPointer();
            std::string keys;
            for (int i = 0; i < downs; ++i)
                keys += " Down";
            xdotool("key --delay 100" + keys + " Return");
            if (waitUntil([&] { return !shown(opened); }, 3000))
                return;
        }
        FAIL() << "the menu took no keys";
    }
};

TEST(TrayMenu, OpensAtThePointerOnLeftPressOrRightReleaseOnly)
{
    TrayViewer t;
    ASSERT_NO_FATAL_FAILURE(t.openOnDesktop());
    xdotool("mousemove " + t.iconAt() + " mousedown 3");
    EXPECT_EQ(nullptr, t.menu(800));  // a right press opens nothing
    xdotool("mouseup 3");
    HWND menu = t.menu();
    ASSERT_NE(nullptr, menu);
    RECT at;
    GetWindowRect(menu, &at);
    // Opened at the pointer, and kept on the screen in its corner.
    EXPECT_TRUE(PtInRect(&at, t.icon)) << at.left << "," << at.top << " " << at.right << "," << at.bottom;
    xdotool("key Escape");
    waitUntil([&] { return !shown(menu); }, 3000);

    xdotool("mousemove " + t.iconAt() + " mousedown 1");
    EXPECT_NE(nullptr, t.menu());
    xdotool("mousemove 600 500 mouseup 1 key Escape");
}

TEST(TrayMenu, CommandsReachTheServerAndExitEndsWithZero)
{
    TrayViewer t;
    ASSERT_NO_FATAL_FAILURE(t.openOnDesktop());
    ASSERT_NO_FATAL_FAILURE(t.choose(2));  // サーバーの強制終了
    EXPECT_TRUE(t.server.waitFor("input-message SERVER_EXIT"));

    ASSERT_NO_FATAL_FAILURE(t.choose(1));  // TELNET接続: no TELNET client here
    HWND box = t.viewer.waitForMessageBox();
    ASSERT_NE(nullptr, box) << "input: " << t.server.rawInput();
    EXPECT_EQ(L"TELNETクライアントが見当たりません(+_+)", messageBoxText(box));
    EXPECT_EQ(0, t.server.count("input-message TELNET"));  // sent once the box is closed
    xdotool("key Return");
    EXPECT_TRUE(t.server.waitFor("input-message TELNET"));
    EXPECT_NE(std::string::npos, t.server.rawInput().find("0105000001070000")) << t.server.rawInput();

    ASSERT_NO_FATAL_FAILURE(t.choose(3));  // バージョン情報
    HWND about = t.viewer.waitForWindow(L"#32770", L"");
    ASSERT_NE(nullptr, about);
    EXPECT_NE(nullptr, GetDlgItem(about, 1005));
    xdotool("key Escape");
    Sleep(500);
    EXPECT_TRUE(shown(about));  // Esc does not close it
    xdotool("key Return");      // OK has the focus
    EXPECT_TRUE(waitUntil([&] { return !IsWindow(about); }, 3000));

    ASSERT_NO_FATAL_FAILURE(t.choose(4));  // 終了
    EXPECT_EQ(0u, t.viewer.waitForExit());
    t.main = nullptr;
}

}  // namespace
