// Frames streaming onto the screen: what the window shows, how it follows the frames,
// and how a connection that goes wrong ends.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "display/jpeg_decoder.h"
#include "tests/support/make_jpeg.h"
#include "tests/support/memory_target.h"
#include "tests/win/support/app_fixture.h"

namespace {

std::vector<uint8_t> stripesJpeg(int width, int height)
{
    std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
            p[0] = uint8_t(x * 255 / width);
            p[1] = uint8_t(y * 255 / height);
            p[2] = uint8_t((x / 16 + y / 16) % 2 ? 220 : 30);
        }
    JpegSettings settings;
    settings.quality = 85;
    return makeJpeg(rgb.data(), width, height, settings);
}

// The client area read back from the screen, bottom-up BGR like the frame bitmap.
std::vector<uint8_t> clientPixels(HWND window, int width, int height)
{
    HDC screen = GetDC(window);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP shot = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, shot);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    GdiFlush();
    auto* first = static_cast<const uint8_t*>(bits);
    std::vector<uint8_t> pixels(first, first + size_t((width * 3 + 3) / 4 * 4) * size_t(height));
    SelectObject(memory, old);
    DeleteObject(shot);
    DeleteDC(memory);
    ReleaseDC(window, screen);
    return pixels;
}

size_t nonWhitePixels(HWND window)
{
    RECT client;
    GetClientRect(window, &client);
    HDC screen = GetDC(window);
    size_t count = 0;
    for (int y = 0; y < client.bottom; y += 7)
        for (int x = 0; x < client.right; x += 7)
            count += GetPixel(screen, x, y) != RGB(255, 255, 255);
    ReleaseDC(window, screen);
    return count;
}

SIZE windowSize(HWND window)
{
    RECT r;
    GetWindowRect(window, &r);
    return {r.right - r.left, r.bottom - r.top};
}

TEST(ViewerStream, TheWindowShowsTheFramePixelForPixel)
{
    auto jpeg = stripesJpeg(300, 200);
    std::string file = scratchFolder("stream-frames") + "/stripes.jpg";
    FILE* out = fopen(windowsPath(file).c_str(), "wb");
    ASSERT_NE(nullptr, out);
    fwrite(jpeg.data(), 1, jpeg.size(), out);
    fclose(out);
    MemoryTarget expected;
    ASSERT_EQ(DecodeResult::Decoded, decodeJpegFrame(jpeg.data(), jpeg.size(), expected));

    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--frames '" + file + "'", 3));
    ASSERT_TRUE(s.waitForClient(300, 200));  // fitted to the frame
    moveClearOfWinesTray(s.main);
    // A few read-backs: something passing over the window must not decide; a wrong
    // picture stays wrong on every one.
    size_t fewest = SIZE_MAX;
    for (int attempt = 0; attempt < 10 && fewest != 0; ++attempt) {
        Sleep(300);
        std::vector<uint8_t> seen = clientPixels(s.main, 300, 200);
        size_t differing = 0;
        for (size_t i = 0; i < expected.pixels.size(); ++i)
            differing += seen[i] != expected.pixels[i];
        fewest = std::min(fewest, differing);
    }
    EXPECT_EQ(0u, fewest);
}

TEST(ViewerStream, TheSizeCapHoldsWhileFramesComeAndTheEndLeavesWhite)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 320x240 --close-after 25", 2));
    ASSERT_TRUE(s.waitForClient(320, 240));
    SIZE fitted = windowSize(s.main);
    SetWindowPos(s.main, nullptr, 0, 0, 700, 600, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_EQ(fitted.cx, windowSize(s.main).cx);
    EXPECT_EQ(fitted.cy, windowSize(s.main).cy);

    HWND box = s.viewer.waitForMessageBox();
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"切断されました(+_+)", messageBoxText(box));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    // The receiver clears the flags and cleans up once its message is answered; the
    // window stays, uncapped, and paints white where the bitmap was.
    EXPECT_TRUE(waitUntil([&] {
        SetWindowPos(s.main, nullptr, 0, 0, 700, 600, SWP_NOMOVE | SWP_NOZORDER);
        return windowSize(s.main).cx == 700 && windowSize(s.main).cy == 600;
    }));
    moveClearOfWinesTray(s.main);
    InvalidateRect(s.main, nullptr, TRUE);
    UpdateWindow(s.main);
    Sleep(300);
    EXPECT_EQ(0u, nonWhitePixels(s.main));
    EXPECT_EQ(STILL_ACTIVE, s.viewer.waitForExit(0));
}

TEST(ViewerStream, AFrameOfAnotherSizeRefitsTheWindowWithinTheScreen)
{
    AppSession s;
    // The first fit is the pixel test's; here the window follows a change to a frame
    // larger than the screen.
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 320x240 --size-change-at 4:2200x1500", 6));
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_LE(windowSize(s.main).cx, work.right);
    EXPECT_LE(windowSize(s.main).cy, work.bottom);
    LONG style = GetWindowLongW(s.main, GWL_STYLE);
    EXPECT_TRUE(style & WS_HSCROLL);
    EXPECT_TRUE(style & WS_VSCROLL);
    EXPECT_EQ(STILL_ACTIVE, s.viewer.waitForExit(0));
}

TEST(ViewerStream, ARefusedInputChannelIsReportedOnTheWindowAndNoFrameIsRead)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 320x240 --no-input-listener", -1));
    HWND box = s.viewer.waitForMessageBox();
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"接続が拒否されました(+_+)", messageBoxText(box));
    s.main = s.viewer.waitForWindow(L"Tavimo", L"Tavimo");
    EXPECT_EQ(s.main, GetWindow(box, GW_OWNER));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(s.server.waitFor("frame-closed-by-client"));  // both sockets closed
    EXPECT_EQ(0, s.server.count("frame-recv SEND_BODY"));
    EXPECT_EQ(STILL_ACTIVE, s.viewer.waitForExit(300));
}

TEST(ViewerStream, APartialBodyIsShownBeforeTheCloseIsReported)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 320x240 --quality 95 --close-mid-body", -1));
    HWND box = s.viewer.waitForMessageBox();
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"切断されました(+_+)", messageBoxText(box));
    s.main = s.viewer.waitForWindow(L"Tavimo", L"Tavimo");
    EXPECT_TRUE(s.waitForClient(320, 240));  // half a frame was decoded and fitted
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

}  // namespace
