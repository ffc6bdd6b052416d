// The whole program as a user meets it: started as its own process, driven through its
// dialog, against the counterpart server; frames streaming onto its window, and how a
// connection that goes wrong ends.
#include <gtest/gtest.h>

#include <vector>

#include "res/resource.h"
#include "tests/support/make_jpeg.h"
#include "tests/support/memory_target.h"
#include "tests/win/support/app_fixture.h"

namespace {

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

// A second instance leaves at once; the first goes on, and Cancel in its dialog ends it
// with 0 and no file written.
TEST(ViewerApp, SecondInstanceLeavesAndCancelEndsWithZeroTouchingNothing)
{
    ViewerProcess first, second;
    ASSERT_TRUE(first.start(freshFolder("first")));
    HWND dialog = first.waitForConnectDialog();
    ASSERT_NE(nullptr, dialog);
    ASSERT_TRUE(second.start(freshFolder("second")));
    EXPECT_EQ(0u, second.waitForExit());
    EXPECT_TRUE(IsWindow(dialog));
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);  // what Esc gives
    EXPECT_EQ(0u, first.waitForExit());
    EXPECT_FALSE(fileExists(first.folder + "/client.ini"));
}

// Connects to `text`; the box that comes is closed and its text returned once the dialog takes input again.
std::wstring messageForDestination(ViewerProcess& viewer, HWND dialog, const std::wstring& text)
{
    connectTo(dialog, text);
    HWND box = viewer.waitForMessageBox();
    std::wstring shown = messageBoxText(box);
    EXPECT_EQ(dialog, GetWindow(box, GW_OWNER));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    HWND ok = GetDlgItem(dialog, IDOK), field = GetDlgItem(dialog, IDC_HOST);
    EXPECT_TRUE(waitUntil([&] { return IsWindowEnabled(ok) && IsWindowEnabled(field); }));
    return shown;
}

// The dialog lists the history, stays through failed connects, and connects to a typed
// address: the window at the top left, the destination remembered first, 0 at the close.
TEST(ViewerApp, TheDialogListsTheHistoryStaysThroughFailuresAndConnects)
{
    AppSession s;
    std::string folder = freshFolder("dialog");
    writeFile(folder + "/client.ini",
              "[host]\r\n00=zeta.invalid\r\n01=alpha.invalid\r\n02=mid.invalid\r\n04=never.invalid\r\n");
    ASSERT_NO_FATAL_FAILURE(s.openDialog(folder));
    HWND dialog = s.dialog;
    HWND list = GetDlgItem(dialog, IDC_HOST);
    ASSERT_EQ(3, SendMessageW(list, CB_GETCOUNT, 0, 0));
    const wchar_t* expected[] = {L"zeta.invalid", L"alpha.invalid", L"mid.invalid"};  // not sorted
    for (int i = 0; i < 3; ++i) {
        wchar_t text[64] = {};
        SendMessageW(list, CB_GETLBTEXT, WPARAM(i), LPARAM(text));
        EXPECT_STREQ(expected[i], text);
    }
    wchar_t shown[64] = {};
    GetDlgItemTextW(dialog, IDC_HOST, shown, 64);
    EXPECT_STREQ(L"zeta.invalid", shown);  // the most recent, ready for OK

    EXPECT_EQ(L"接続先を入力してください。", messageForDestination(s.viewer, dialog, L""));
    // Spaces are a destination like any other: looked up, not refused as empty.
    EXPECT_EQ(0u, messageForDestination(s.viewer, dialog, L"   ").rfind(L"接続エラー", 0));
    EXPECT_EQ(L"接続が拒否されました(+_+)", messageForDestination(s.viewer, dialog, wide(freshLoopbackAddress())));
    EXPECT_EQ(L"zeta.invalid", storedHost(folder));

    // The same dialog then connects to a server that is there, typed with real keys.
    ASSERT_TRUE(s.server.start("--pattern 320x240"));
    SetDlgItemTextW(dialog, IDC_HOST, L"");
    RECT field;
    GetWindowRect(list, &field);
    xdotool("mousemove " + std::to_string(field.left + 20) + " " + std::to_string((field.top + field.bottom) / 2) +
            " click 1 type --delay 20 '" + s.server.address + "'");
    xdotool("key Return");
    ASSERT_TRUE(s.server.waitFor("frame-send body", 5));
    s.main = s.viewer.waitForWindow(L"Tavimo", L"Tavimo");
    ASSERT_NE(nullptr, s.main);
    RECT at;
    GetWindowRect(s.main, &at);
    EXPECT_EQ(0, at.left);
    EXPECT_EQ(0, at.top);
    // One frame request went out before the input channel was connected.
    int requestsBeforeInput = 0;
    for (const std::string& line : s.server.log()) {
        if (line.rfind("input-connected", 0) == 0)
            break;
        requestsBeforeInput += line.rfind("frame-recv NEXT_FRAME", 0) == 0;
    }
    EXPECT_EQ(1, requestsBeforeInput);
    // The server offers no extension: every request is today's, which it would refuse otherwise.
    EXPECT_EQ(0, s.server.count("frame-recv unexpected"));
    EXPECT_EQ(1, s.server.count("input-connected"));
    EXPECT_EQ(wide(s.server.address), storedHost(folder));
    EXPECT_EQ(L"zeta.invalid", storedHost(folder, L"01"));
    PostMessageW(s.main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, s.viewer.waitForExit());
    EXPECT_TRUE(s.server.waitFor("session-end"));
}

TEST(ViewerApp, UnreadableFrameEndsWithOneAndTheLibrarysMessage)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 64x48 --not-jpeg", -1));
    EXPECT_EQ(1u, s.viewer.waitForExit());
    std::string output = readFile(s.viewer.folder + "/stderr.txt");
    EXPECT_NE(std::string::npos, output.find("Not a JPEG file: starts with 0x54 0x41")) << output;
}

// The first frame is cut off halfway: what came is shown exactly, and the window is held
// to its size until the close is answered; then it is free, and white where the frame was.
TEST(ViewerStream, AFrameCutOffIsShownAsFarAsItCameAndTheEndLeavesWhite)
{
    const std::vector<uint8_t> jpeg = patternJpeg(300, 200);
    std::string file = scratchFolder("stream-frames") + "/pattern.jpg";
    writeFile(file, std::string(jpeg.begin(), jpeg.end()));
    MemoryTarget expected;
    DecodeOptions asRead;  // the 24-bit rows the screen is read back in
    asRead.format = PixelFormat::Bgr24;
    asRead.quiet = true;
    ASSERT_EQ(DecodeResult::Decoded, decodeJpegFrame(jpeg.data(), jpeg.size() / 2, expected, asRead));

    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--frames '" + file + "' --close-mid-body", -1));
    HWND box = s.viewer.waitForMessageBox();
    EXPECT_EQ(L"切断されました(+_+)", messageBoxText(box));
    ASSERT_TRUE(s.waitForMain() && s.waitForClient(300, 200));  // fitted to the frame
    SetWindowPos(box, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);  // off the client
    // Something passing over the window must not decide; a wrong picture stays wrong.
    EXPECT_TRUE(waitUntil([&] { return clientPixels(s.main, 300, 200, 24) == expected.pixels; }, 3000));
    SetWindowPos(s.main, nullptr, 0, 0, 700, 600, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_TRUE(s.waitForClient(300, 200, 0));

    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(waitUntil([&] {
        SetWindowPos(s.main, nullptr, 0, 0, 700, 600, SWP_NOMOVE | SWP_NOZORDER);
        return !s.waitForClient(300, 200, 0);
    }));
    const std::vector<uint8_t> white(size_t(300 * 3) * 200, 255);
    EXPECT_TRUE(waitUntil([&] {
        InvalidateRect(s.main, nullptr, FALSE);
        return clientPixels(s.main, 300, 200, 24) == white;
    }, 3000));
    EXPECT_EQ(STILL_ACTIVE, s.viewer.waitForExit(0));
}

TEST(ViewerStream, ARefusedInputChannelIsReportedOnTheWindowAndNoFrameIsRead)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 320x240 --no-input-listener", -1));
    HWND box = s.viewer.waitForMessageBox();
    EXPECT_EQ(L"接続が拒否されました(+_+)", messageBoxText(box));
    s.waitForMain();
    EXPECT_EQ(s.main, GetWindow(box, GW_OWNER));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(s.server.waitFor("frame-closed-by-client"));  // both sockets closed
    EXPECT_EQ(0, s.server.count("frame-recv SEND_BODY"));
    EXPECT_EQ(STILL_ACTIVE, s.viewer.waitForExit(300));
}

}  // namespace
