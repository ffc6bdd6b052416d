// Frames streaming onto the screen: what the window shows, how it follows the frames,
// and how a connection that goes wrong ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "display/jpeg_decoder.h"
#include "tests/support/make_jpeg.h"
#include "tests/support/memory_target.h"
#include "tests/win/support/test_server.h"
#include "tests/win/support/viewer_process.h"

namespace {

struct StreamingViewer {
    TestServer server;
    ViewerProcess viewer;
    HWND main = nullptr;

    void open(const std::string& serverArguments)
    {
        ASSERT_TRUE(server.start(serverArguments));
        static int next = 0;
        ASSERT_TRUE(viewer.start(scratchFolder("stream-" + std::to_string(GetCurrentProcessId()) + "-" +
                                                std::to_string(++next))));
        HWND dialog = viewer.waitForConnectDialog();
        ASSERT_NE(nullptr, dialog);
        connectTo(dialog, server);
        main = viewer.waitForWindow(L"Tavimo", L"Tavimo");
        ASSERT_NE(nullptr, main);
    }

    ~StreamingViewer()
    {
        if (main && IsWindow(main))
            PostMessageW(main, WM_CLOSE, 0, 0);
        viewer.waitForExit(10000);
    }

    bool waitForFrames(int frames) const
    {
        for (int waited = 0; waited < 30000; waited += 50) {
            if (server.count("frame-send body") >= frames)
                return true;
            Sleep(50);
        }
        return false;
    }

    SIZE client() const
    {
        RECT r;
        GetClientRect(main, &r);
        return {r.right, r.bottom};
    }

    // Waits until the client area has that size.
    bool waitForClient(int width, int height) const
    {
        for (int waited = 0; waited < 10000; waited += 50) {
            SIZE s = client();
            if (s.cx == width && s.cy == height)
                return true;
            Sleep(50);
        }
        return false;
    }
};

// Other windows lying over the client area, to tell a covered window from a wrong picture.
struct CoverSearch {
    HWND main;
    RECT client;
    std::string found;
};

BOOL CALLBACK noteCover(HWND w, LPARAM p)
{
    auto* s = reinterpret_cast<CoverSearch*>(p);
    RECT r, overlap;
    if (w == s->main || !IsWindowVisible(w) || !GetWindowRect(w, &r) || !IntersectRect(&overlap, &r, &s->client))
        return TRUE;
    char name[128] = "", caption[128] = "";
    GetClassNameA(w, name, sizeof name);
    GetWindowTextA(w, caption, sizeof caption);
    s->found += std::string(" [") + name + " \"" + caption + "\" " + std::to_string(r.left) + "," +
                std::to_string(r.top) + "-" + std::to_string(r.right) + "," + std::to_string(r.bottom) + "]";
    return TRUE;
}

std::string windowsOver(HWND main)
{
    CoverSearch search = {main, {}, {}};
    GetClientRect(main, &search.client);
    MapWindowPoints(main, nullptr, reinterpret_cast<POINT*>(&search.client), 2);
    EnumWindows(noteCover, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

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

TEST(ViewerStream, TheWindowShowsTheFramePixelForPixel)
{
    auto jpeg = stripesJpeg(300, 200);
    std::string file = scratchFolder("stream-frames") + "/stripes.jpg";
    FILE* out = fopen(windowsPath(file).c_str(), "wb");
    ASSERT_NE(nullptr, out);
    fwrite(jpeg.data(), 1, jpeg.size(), out);
    fclose(out);
    MemoryTarget expected;
    DecodeOptions asRead;  // the 24-bit rows the screen is read back in
    asRead.format = PixelFormat::Bgr24;
    ASSERT_EQ(DecodeResult::Decoded, decodeJpegFrame(jpeg.data(), jpeg.size(), expected, asRead));

    StreamingViewer v;
    v.open("--frames '" + file + "'");
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(v.waitForFrames(5));
    ASSERT_TRUE(v.waitForClient(300, 200));  // fitted to the frame
    moveClearOfWinesTray(v.main);
    Sleep(300);

    // Read the client area back from the screen, bottom-up BGR like the bitmap. A few
    // tries: something passing over the window must not decide; a picture that is wrong
    // stays wrong on every try.
    size_t fewest = SIZE_MAX;
    RECT box = {};
    for (int attempt = 0; attempt < 10 && fewest != 0; ++attempt) {
        if (attempt)
            Sleep(300);
        HDC screen = GetDC(v.main);
        HDC memory = CreateCompatibleDC(screen);
        BITMAPINFO info = {};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), 300, 200, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        HBITMAP shot = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ old = SelectObject(memory, shot);
        BitBlt(memory, 0, 0, 300, 200, screen, 0, 0, SRCCOPY);
        GdiFlush();
        size_t differing = 0;
        RECT where = {300, 200, -1, -1};
        const uint8_t* seen = static_cast<const uint8_t*>(bits);
        for (size_t i = 0; i < expected.pixels.size(); ++i) {
            if (seen[i] == expected.pixels[i])
                continue;
            ++differing;
            LONG x = LONG(i % 900 / 3), y = LONG(199 - i / 900);
            where = {std::min(where.left, x), std::min(where.top, y), std::max(where.right, x),
                     std::max(where.bottom, y)};
        }
        if (differing < fewest) {
            fewest = differing;
            box = where;
        }
        SelectObject(memory, old);
        DeleteObject(shot);
        DeleteDC(memory);
        ReleaseDC(v.main, screen);
    }
    EXPECT_EQ(0u, fewest) << "differences within " << box.left << "," << box.top << " - " << box.right << ","
                          << box.bottom << "; windows over the client area:" << windowsOver(v.main);
}

// The white the window shows where no frame is painted.
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

TEST(ViewerStream, TheSizeCapHoldsWhileFramesComeAndTheEndLeavesWhite)
{
    StreamingViewer v;
    v.open("--pattern 320x240 --close-after 25");
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(v.waitForFrames(3));
    ASSERT_TRUE(v.waitForClient(320, 240));
    RECT fitted;
    GetWindowRect(v.main, &fitted);
    SetWindowPos(v.main, nullptr, 0, 0, 700, 600, SWP_NOMOVE | SWP_NOZORDER);
    RECT capped;
    GetWindowRect(v.main, &capped);
    EXPECT_EQ(fitted.right - fitted.left, capped.right - capped.left);
    EXPECT_EQ(fitted.bottom - fitted.top, capped.bottom - capped.top);

    HWND box = v.viewer.waitForMessageBox();
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"切断されました(+_+)", messageBoxText(box));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    for (int waited = 0; waited < 5000 && IsWindow(box); waited += 50)
        Sleep(50);
    ASSERT_FALSE(IsWindow(box));
    // The receiver clears the flags and cleans up once its message is answered.
    RECT free = {};
    for (int waited = 0; waited < 5000; waited += 100) {
        SetWindowPos(v.main, nullptr, 0, 0, 700, 600, SWP_NOMOVE | SWP_NOZORDER);
        GetWindowRect(v.main, &free);
        if (free.right - free.left == 700)
            break;
        Sleep(100);
    }
    EXPECT_EQ(700, free.right - free.left);
    EXPECT_EQ(600, free.bottom - free.top);
    // The bitmap is gone: what is painted now is the white background.
    moveClearOfWinesTray(v.main);
    InvalidateRect(v.main, nullptr, TRUE);
    UpdateWindow(v.main);
    Sleep(300);
    EXPECT_EQ(0u, nonWhitePixels(v.main));
}

TEST(ViewerStream, AFrameOfAnotherSizeRefitsTheWindow)
{
    StreamingViewer v;
    v.open("--pattern 320x240 --size-change-at 4:480x360");
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(v.waitForFrames(2));
    EXPECT_TRUE(v.waitForClient(320, 240));
    ASSERT_TRUE(v.waitForFrames(8));
    EXPECT_TRUE(v.waitForClient(480, 360));
    EXPECT_EQ(STILL_ACTIVE, v.viewer.waitForExit(0));
}

TEST(ViewerStream, AFrameLargerThanTheScreenGetsScrollBars)
{
    StreamingViewer v;
    v.open("--pattern 2200x1500");
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(v.waitForFrames(3));
    Sleep(500);
    RECT window;
    GetWindowRect(v.main, &window);
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_LE(window.right - window.left, work.right);
    EXPECT_LE(window.bottom - window.top, work.bottom);
    LONG style = GetWindowLongW(v.main, GWL_STYLE);
    EXPECT_TRUE(style & WS_HSCROLL);
    EXPECT_TRUE(style & WS_VSCROLL);
    EXPECT_EQ(STILL_ACTIVE, v.viewer.waitForExit(0));
}

TEST(ViewerStream, ARefusedInputChannelIsReportedOnTheWindowAndNoFrameIsRead)
{
    StreamingViewer v;
    v.open("--pattern 320x240 --no-input-listener");
    if (HasFatalFailure())
        return;
    HWND box = v.viewer.waitForMessageBox();
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"接続が拒否されました(+_+)", messageBoxText(box));
    EXPECT_EQ(v.main, GetWindow(box, GW_OWNER));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(v.server.waitFor("frame-closed-by-client"));  // both sockets closed
    EXPECT_EQ(0, v.server.count("frame-recv SEND_BODY"));
    EXPECT_EQ(STILL_ACTIVE, v.viewer.waitForExit(300));
}

TEST(ViewerStream, APartialBodyIsShownBeforeTheCloseIsReported)
{
    StreamingViewer v;
    v.open("--pattern 320x240 --quality 95 --close-mid-body");
    if (HasFatalFailure())
        return;
    HWND box = v.viewer.waitForMessageBox();
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"切断されました(+_+)", messageBoxText(box));
    // Half a frame was decoded: the window was fitted to it.
    EXPECT_TRUE(v.waitForClient(320, 240));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

}  // namespace
