#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "app/globals.h"
#include "display/jpeg_decoder.h"
#include "display/viewport_win.h"
#include "tests/support/make_jpeg.h"

namespace {

std::vector<SIZE> resizes;  // every window size set, in order

// The main window procedure's share of the viewport, as the viewer dispatches it.
LRESULT CALLBACK viewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_WINDOWPOSCHANGED: {
        auto* pos = reinterpret_cast<const WINDOWPOS*>(lParam);
        if (!(pos->flags & SWP_NOSIZE))
            resizes.push_back({pos->cx, pos->cy});
        break;
    }
    case WM_SIZE:
        onViewSize(window);
        break;
    case WM_HSCROLL:
        onViewHScroll(wParam);
        break;
    case WM_VSCROLL:
        onViewVScroll(wParam);
        break;
    case WM_MOUSEWHEEL:
        onViewMouseWheel(wParam);
        break;
    case WM_GETMINMAXINFO:
        onViewGetMinMaxInfo(lParam);
        break;
    case WM_PAINT:
        onViewPaint(window);
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Every pixel different from its neighbours in both directions, so a view one pixel off
// shows.
std::vector<uint8_t> patternJpeg(int width, int height, int seed)
{
    std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
            p[0] = uint8_t(x * 5 + seed);
            p[1] = uint8_t(y * 3 + seed);
            p[2] = uint8_t((x + y) * 2);
        }
    return makeJpeg(rgb.data(), width, height);
}

SIZE windowSize()
{
    RECT r;
    GetWindowRect(mainWindow, &r);
    return {r.right - r.left, r.bottom - r.top};
}

SIZE clientSize()
{
    RECT r;
    GetClientRect(mainWindow, &r);
    return {r.right, r.bottom};
}

bool hasStyle(LONG style)
{
    return (GetWindowLongW(mainWindow, GWL_STYLE) & style) != 0;
}

int scrollPos(int bar)
{
    SCROLLINFO info = {};
    info.cbSize = sizeof info;
    info.fMask = SIF_POS;
    GetScrollInfo(mainWindow, bar, &info);
    return info.nPos;
}

void resize(int width, int height)
{
    SetWindowPos(mainWindow, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
}

void send(UINT message, WPARAM wParam)
{
    SendMessageW(mainWindow, message, wParam, 0);
}

void wheel(int delta, WORD keys)
{
    send(WM_MOUSEWHEEL, MAKEWPARAM(keys, WORD(int16_t(delta))));
}

void pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

// The client area as it is on screen, 32-bit BGRx rows, top row first.
std::vector<uint32_t> captureClient(SIZE client)
{
    HDC windowDC = GetDC(mainWindow);
    HDC memoryDC = CreateCompatibleDC(windowDC);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = client.cx;
    info.bmiHeader.biHeight = -client.cy;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(windowDC, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memoryDC, bitmap);
    BitBlt(memoryDC, 0, 0, client.cx, client.cy, windowDC, 0, 0, SRCCOPY);
    GdiFlush();
    std::vector<uint32_t> pixels(static_cast<uint32_t*>(bits), static_cast<uint32_t*>(bits) + client.cx * client.cy);
    SelectObject(memoryDC, old);
    DeleteObject(bitmap);
    DeleteDC(memoryDC);
    ReleaseDC(mainWindow, windowDC);
    return pixels;
}

uint32_t framePixel(int x, int y)  // frame coordinates, as 0x00RRGGBB
{
    const uint8_t* p =
        frameImage.pixels + size_t(frameImage.height - 1 - y) * size_t(bitmapStride(frameImage.width)) + size_t(x) * 3;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
}

constexpr uint32_t kWhite = 0xffffff;

// Counts the client pixels that differ from the frame at the offsets (or from white
// beyond the frame), reporting the first few.
int mismatches(SIZE client)
{
    std::vector<uint32_t> screen = captureClient(client);
    int count = 0;
    for (int y = 0; y < client.cy; ++y)
        for (int x = 0; x < client.cx; ++x) {
            int fx = x + viewState.scrollX, fy = y + viewState.scrollY;
            bool onFrame = fx < frameImage.width && fy < frameImage.height;
            uint32_t want = onFrame ? framePixel(fx, fy) : kWhite;
            uint32_t got = screen[size_t(y) * size_t(client.cx) + size_t(x)] & 0xffffff;
            if (got != want && ++count <= 5)
                ADD_FAILURE() << "client " << x << "," << y << ": " << std::hex << got << " want " << want;
        }
    return count;
}

struct ViewportTest : ::testing::Test {
    RECT work = {};

    void SetUp() override
    {
        WNDCLASSW wc = {};
        wc.style = CS_DBLCLKS;
        wc.lpfnWndProc = viewProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        wc.lpszClassName = L"ViewportTest";
        RegisterClassW(&wc);
        viewActive = false;
        viewState = ViewState{};
        releaseFrameImage(frameImage);
        frameImage.extentWidth = frameImage.extentHeight = 0;
        mainWindow = CreateWindowW(L"ViewportTest", L"ViewportTest", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400,
                                   300, nullptr, nullptr, wc.hInstance, nullptr);
        ASSERT_NE(nullptr, mainWindow);
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        pump();
        resizes.clear();
    }

    void TearDown() override
    {
        SystemParametersInfoW(SPI_SETWORKAREA, 0, &work, 0);
        viewActive = false;
        DestroyWindow(mainWindow);
        mainWindow = nullptr;
        releaseFrameImage(frameImage);
        frameImage.extentWidth = frameImage.extentHeight = 0;
    }

    // What the receiver thread does with the first frame.
    void showFirstFrame(int width, int height)
    {
        auto jpeg = patternJpeg(width, height, 0);
        ASSERT_TRUE(decodeFrame(frameImage, jpeg.data(), int32_t(jpeg.size())));
        frameImage.extentWidth = width;
        frameImage.extentHeight = height;
        fitWindowToFrame(width, height);
        pump();
    }

    // Scroll bars exactly where the client is smaller than the frame, and the bar
    // records in step with the offsets.
    void expectBarsMatchClient()
    {
        SIZE client = clientSize();
        EXPECT_EQ(client.cx < frameImage.extentWidth, hasStyle(WS_HSCROLL)) << client.cx;
        EXPECT_EQ(client.cy < frameImage.extentHeight, hasStyle(WS_VSCROLL)) << client.cy;
        if (hasStyle(WS_HSCROLL)) {
            EXPECT_EQ(viewState.scrollX, scrollPos(SB_HORZ));
        }
        if (hasStyle(WS_VSCROLL)) {
            EXPECT_EQ(viewState.scrollY, scrollPos(SB_VERT));
        }
        EXPECT_GE(viewState.scrollX, 0);
        EXPECT_GE(viewState.scrollY, 0);
        EXPECT_LE(viewState.scrollX, std::max(0, frameImage.extentWidth - int(client.cx)));
        EXPECT_LE(viewState.scrollY, std::max(0, frameImage.extentHeight - int(client.cy)));
    }
};

TEST_F(ViewportTest, BeforeTheFirstFrameNoBarsAndWhite)
{
    resize(500, 350);
    EXPECT_FALSE(hasStyle(WS_HSCROLL));
    EXPECT_FALSE(hasStyle(WS_VSCROLL));
    EXPECT_EQ(0, viewState.scrollX);
    wheel(-120, 0);
    send(WM_HSCROLL, SB_PAGERIGHT);
    EXPECT_EQ(0, viewState.scrollX);
    EXPECT_EQ(0, viewState.scrollY);
    InvalidateRect(mainWindow, nullptr, TRUE);
    UpdateWindow(mainWindow);
    EXPECT_EQ(0, mismatches(clientSize()));
}

TEST_F(ViewportTest, FitWithinAWorkAreaEndingAt1280By984)
{
    RECT area = {0, 0, 1280, 984};
    ASSERT_TRUE(SystemParametersInfoW(SPI_SETWORKAREA, 0, &area, 0));
    ASSERT_EQ(4, GetSystemMetrics(SM_CXFRAME));
    showFirstFrame(800, 600);
    ASSERT_EQ(2u, resizes.size());
    EXPECT_EQ(808, resizes[0].cx);
    EXPECT_EQ(760, resizes[0].cy);
    SIZE window = windowSize(), client = clientSize();
    EXPECT_EQ(808, window.cx);
    EXPECT_EQ(viewState.maxWindowWidth, window.cx);
    EXPECT_EQ(viewState.maxWindowHeight, window.cy);
    EXPECT_EQ(800, client.cx);
    EXPECT_EQ(600, client.cy);
    expectBarsMatchClient();

    // Taller than the work area: both resizes stop at its bottom edge.
    resizes.clear();
    showFirstFrame(800, 1200);
    ASSERT_FALSE(resizes.empty());
    EXPECT_EQ(984, resizes[0].cy);
    EXPECT_EQ(984, windowSize().cy);
    EXPECT_TRUE(hasStyle(WS_VSCROLL));
    expectBarsMatchClient();
}

// The receiver thread fits the window while the window's own thread handles the resizes.
TEST_F(ViewportTest, FitFromAnotherThread)
{
    auto jpeg = patternJpeg(500, 400, 0);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread receiver([&] {
        decodeFrame(frameImage, jpeg.data(), int32_t(jpeg.size()));
        frameImage.extentWidth = 500;
        frameImage.extentHeight = 400;
        fitWindowToFrame(500, 400);
        viewActive = true;
        SetEvent(done);
    });
    while (MsgWaitForMultipleObjects(1, &done, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
        pump();
    receiver.join();
    CloseHandle(done);
    EXPECT_EQ(2u, resizes.size());
    EXPECT_EQ(500, clientSize().cx);
    EXPECT_EQ(400, clientSize().cy);
    expectBarsMatchClient();
    EXPECT_EQ(0, mismatches(clientSize()));
}

TEST_F(ViewportTest, FrameWiderThanTheWorkAreaTakesItsWidthAndABar)
{
    showFirstFrame(int(work.right) + 300, 300);
    EXPECT_EQ(work.right, windowSize().cx);
    EXPECT_TRUE(hasStyle(WS_HSCROLL));
    expectBarsMatchClient();
}

TEST_F(ViewportTest, SizeCapHoldsOnlyWhileViewActive)
{
    showFirstFrame(640, 480);
    SIZE fitted = windowSize();
    viewActive = true;
    resize(fitted.cx + 200, fitted.cy + 150);
    EXPECT_EQ(fitted.cx, windowSize().cx);
    EXPECT_EQ(fitted.cy, windowSize().cy);
    resize(420, 330);  // smaller is always allowed
    EXPECT_EQ(420, windowSize().cx);
    EXPECT_EQ(330, windowSize().cy);
    expectBarsMatchClient();

    viewActive = false;  // the receiver has ended
    resize(fitted.cx + 200, fitted.cy + 150);
    EXPECT_EQ(fitted.cx + 200, windowSize().cx);
    EXPECT_EQ(fitted.cy + 150, windowSize().cy);
    expectBarsMatchClient();
}

TEST_F(ViewportTest, ScrollRequestsAndWheelMoveTheView)
{
    showFirstFrame(640, 480);
    resize(400, 300);
    SIZE client = clientSize();
    ASSERT_TRUE(hasStyle(WS_HSCROLL) && hasStyle(WS_VSCROLL));
    int maxX = 640 - client.cx, maxY = 480 - client.cy;
    ASSERT_GT(maxY, 90);

    send(WM_VSCROLL, SB_LINEDOWN);
    EXPECT_EQ(10, viewState.scrollY);
    send(WM_VSCROLL, SB_PAGEDOWN);
    EXPECT_EQ(90, viewState.scrollY);
    EXPECT_EQ(90, scrollPos(SB_VERT));
    send(WM_VSCROLL, SB_PAGEUP);
    send(WM_VSCROLL, SB_PAGEUP);
    EXPECT_EQ(0, viewState.scrollY);

    send(WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 120));
    EXPECT_EQ(120, viewState.scrollX);
    send(WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 30000));
    EXPECT_EQ(maxX, viewState.scrollX);
    send(WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 5));
    EXPECT_EQ(maxX, viewState.scrollX);
    EXPECT_EQ(maxX, scrollPos(SB_HORZ));
    send(WM_HSCROLL, SB_LINERIGHT);
    EXPECT_EQ(maxX, viewState.scrollX);
    EXPECT_EQ(0, mismatches(client));

    send(WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 0));
    wheel(-240, 0);
    EXPECT_EQ(32, viewState.scrollY);
    wheel(120, 0);
    EXPECT_EQ(16, viewState.scrollY);
    wheel(-120, MK_SHIFT);
    EXPECT_EQ(16, viewState.scrollX);
    EXPECT_EQ(16, viewState.scrollY);
    wheel(-120, MK_SHIFT | MK_CONTROL);
    EXPECT_EQ(16, viewState.scrollX);
    EXPECT_EQ(32, viewState.scrollY);
    expectBarsMatchClient();
    // Each scroll shifted what was on screen and painted the strip it uncovered.
    EXPECT_EQ(0, mismatches(client));
}

TEST_F(ViewportTest, ResizingKeepsOrClampsTheOffsets)
{
    showFirstFrame(640, 480);
    resize(400, 300);
    send(WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 200));
    send(WM_VSCROLL, MAKEWPARAM(SB_THUMBTRACK, 150));
    ASSERT_EQ(200, viewState.scrollX);
    ASSERT_EQ(150, viewState.scrollY);

    resize(350, 250);  // smaller: the offsets stay
    EXPECT_EQ(200, viewState.scrollX);
    EXPECT_EQ(150, viewState.scrollY);

    ShowWindow(mainWindow, SW_MINIMIZE);
    pump();
    EXPECT_EQ(200, viewState.scrollX);
    EXPECT_EQ(150, viewState.scrollY);
    ShowWindow(mainWindow, SW_RESTORE);
    pump();
    EXPECT_EQ(200, viewState.scrollX);
    EXPECT_EQ(150, viewState.scrollY);
    expectBarsMatchClient();

    resize(560, 440);  // larger than the offsets leave room for: clamped to the extent
    SIZE client = clientSize();
    EXPECT_EQ(640 - client.cx, viewState.scrollX);
    EXPECT_EQ(480 - client.cy, viewState.scrollY);
    expectBarsMatchClient();
    // What was on screen at the old offsets is not left standing.
    UpdateWindow(mainWindow);
    EXPECT_EQ(0, mismatches(client));

    resize(900, 800);  // larger than the frame: back to 0, no bars, and no scrolling
    for (int code : {SB_LINEUP, SB_LINEDOWN, SB_PAGEUP, SB_PAGEDOWN}) {
        send(WM_HSCROLL, WPARAM(code));
        send(WM_VSCROLL, WPARAM(code));
    }
    wheel(120, 0);
    wheel(-120, MK_SHIFT);
    EXPECT_EQ(0, viewState.scrollX);
    EXPECT_EQ(0, viewState.scrollY);
    expectBarsMatchClient();
    UpdateWindow(mainWindow);
    EXPECT_EQ(0, mismatches(clientSize()));
}

TEST_F(ViewportTest, ASmallerLaterFrameLeavesWhiteBesideIt)
{
    showFirstFrame(640, 480);
    resize(500, 400);
    send(WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 60));
    send(WM_VSCROLL, MAKEWPARAM(SB_THUMBTRACK, 40));
    auto smaller = patternJpeg(300, 200, 77);
    ASSERT_TRUE(decodeFrame(frameImage, smaller.data(), int32_t(smaller.size())));
    ASSERT_EQ(300, frameImage.width);
    EXPECT_EQ(0, mismatches(clientSize()));

    // Offsets past the smaller frame's edge show none of it.
    resize(300, 300);
    send(WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 310));
    ASSERT_EQ(310, viewState.scrollX);
    InvalidateRect(mainWindow, nullptr, FALSE);
    UpdateWindow(mainWindow);
    EXPECT_EQ(0, mismatches(clientSize()));
}

}  // namespace
