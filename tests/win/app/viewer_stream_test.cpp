// Frames streaming onto the screen: what the window shows, and how a connection that
// goes wrong ends.
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/make_jpeg.h"
#include "tests/support/memory_target.h"
#include "tests/win/support/app_fixture.h"

namespace {

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
