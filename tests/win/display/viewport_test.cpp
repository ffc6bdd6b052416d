// The frame image and the view under Wine: frames decoded on a receiver thread and shown
// on the window thread through the view's own dispatch, fit, scrolling and painting.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "app/globals.h"
#include "tests/support/make_jpeg.h"
#include "tests/win/support/test_server.h"

namespace {

using Bytes = std::vector<uint8_t>;

int outsideExtent = 0;  // view messages after which an offset lay outside the extent

using Pair = std::pair<int, int>;
Pair clientSize() { RECT r; GetClientRect(mainWindow, &r); return {r.right, r.bottom}; }
Pair farCorner() { RECT r; GetWindowRect(mainWindow, &r); return {r.right, r.bottom}; }  // the window stays at 0, 0
Pair offsets() { return {viewState.scrollX, viewState.scrollY}; }

bool offsetsWithinExtent()
{
    auto [width, height] = clientSize();
    return viewState.scrollX >= 0 && viewState.scrollY >= 0 &&
           viewState.scrollX <= std::max(0, frameImage.extentWidth - width) &&
           viewState.scrollY <= std::max(0, frameImage.extentHeight - height) &&
           viewState.hScroll.nPos == viewState.scrollX && viewState.vScroll.nPos == viewState.scrollY;
}

LRESULT CALLBACK viewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Mid-fit the extent is already the new frame's while the window is not yet its size.
    if (dispatchViewMessage(window, message, wParam, lParam) && message != WM_SIZE && message != WM_GETMINMAXINFO &&
        frameImage.extentWidth > 0 && !offsetsWithinExtent())
        ++outsideExtent;
    return DefWindowProcW(window, message, wParam, lParam);
}

void pump() { for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);) DispatchMessageW(&msg); }

// Runs `work` on a thread of its own, as the receiver thread, while this thread pumps.
void asReceiver(const std::function<void()>& work)
{
    std::atomic<bool> done{false};
    std::thread receiver([&] { work(); done = true; });
    waitUntil([&] { return done.load(); }, 60000);
    receiver.join();
    pump();
}

// The receiver thread's frame step.
DecodeResult deliver(const Bytes& jpeg)
{
    DecodeResult result = DecodeResult::Failed;
    asReceiver([&] {
        result = decodeFrame(frameImage, jpeg.data(), int32_t(jpeg.size()));
        if (result == DecodeResult::Decoded)
            SendMessageW(mainWindow, WM_VIEWFRAME, kShowDecodedFrame, 0);
    });
    return result;
}

bool hasStyle(LONG style) { return (GetWindowLongW(mainWindow, GWL_STYLE) & style) != 0; }
void resize(int width, int height) { SetWindowPos(mainWindow, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER); }
void send(UINT message, WPARAM wParam) { SendMessageW(mainWindow, message, wParam, 0); }

// Client pixels that differ from the shown frame at the offsets, or from white beyond it.
int mismatches()
{
    auto [width, height] = clientSize();
    const std::vector<uint8_t> shot = clientPixels(mainWindow, width, -height, 32);
    const FrameBitmap& frame = frameImage.shown;
    int count = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int fx = x + viewState.scrollX, fy = y + viewState.scrollY;
            const uint8_t* want = nullptr;
            if (frame.bitmap && fx < frame.width && fy < frame.height)
                want = frame.pixels + (size_t(frame.height - 1 - fy) * size_t(frame.width) + size_t(fx)) * 4;
            const uint8_t* got = shot.data() + (size_t(y) * size_t(width) + size_t(x)) * 4;
            count += want ? !std::equal(got, got + 3, want) : got[0] != 255 || got[1] != 255 || got[2] != 255;
        }
    return count;
}

struct ViewportTest : ::testing::Test {
    RECT work = {};

    void SetUp() override
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = viewProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"ViewportTest";
        RegisterClassW(&wc);
        viewActive = false;
        viewState = ViewState{};
        frameImage.extentWidth = frameImage.extentHeight = 0;
        mainWindow = CreateWindowW(L"ViewportTest", L"ViewportTest", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400,
                                   300, nullptr, nullptr, wc.hInstance, nullptr);
        ASSERT_NE(nullptr, mainWindow);
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        pump();
        outsideExtent = 0;
    }

    void TearDown() override
    {
        SystemParametersInfoW(SPI_SETWORKAREA, 0, &work, 0);
        EXPECT_EQ(0, outsideExtent);
        send(WM_VIEWFRAME, kFramesEnded);
        DestroyWindow(mainWindow);
    }

    // Bars where the client is smaller than the frame, offsets within it, and the screen
    // showing the frame at those offsets.
    void expectViewMatchesClient()
    {
        auto [width, height] = clientSize();
        EXPECT_EQ(width < frameImage.extentWidth, hasStyle(WS_HSCROLL)) << width;
        EXPECT_EQ(height < frameImage.extentHeight, hasStyle(WS_VSCROLL)) << height;
        EXPECT_TRUE(offsetsWithinExtent());
        EXPECT_EQ(offsets(), Pair(GetScrollPos(mainWindow, SB_HORZ), GetScrollPos(mainWindow, SB_VERT)));
        UpdateWindow(mainWindow);
        EXPECT_EQ(0, mismatches());
    }
};

TEST_F(ViewportTest, FramesAreDecodedAsideAndSwappedInOnTheWindowThread)
{
    const Bytes first = patternJpeg(333, 211), second = patternJpeg(333, 211, {}, 90);
    ASSERT_EQ(DecodeResult::Decoded, deliver(first));
    EXPECT_EQ(0, mismatches());

    // The next frame goes into the other bitmap while this one stays on screen.
    HBITMAP shownFirst = frameImage.shown.bitmap;
    ASSERT_EQ(DecodeResult::Decoded, decodeFrame(frameImage, second.data(), int32_t(second.size())));
    EXPECT_EQ(0, mismatches());
    send(WM_VIEWFRAME, kShowDecodedFrame);
    EXPECT_EQ(shownFirst, frameImage.next.bitmap);
    EXPECT_EQ(0, mismatches());
    ASSERT_EQ(DecodeResult::Decoded, deliver(first));
    EXPECT_EQ(shownFirst, frameImage.shown.bitmap);  // the same size takes no new bitmap
    // Narrower than the window can be: white beside it, nothing of the last frame.
    ASSERT_EQ(DecodeResult::Decoded, deliver(patternJpeg(40, 30)));
    EXPECT_GT(clientSize().first, 40);
    EXPECT_EQ(0, mismatches());

    // The end of the stream: the bitmaps go and the window turns white.
    asReceiver([] { SendMessageW(mainWindow, WM_VIEWFRAME, kFramesEnded, 0); });
    EXPECT_EQ(0, GetObjectW(shownFirst, 0, nullptr));
    InvalidateRect(mainWindow, nullptr, FALSE);
    UpdateWindow(mainWindow);
    EXPECT_EQ(0, mismatches());
}

TEST_F(ViewportTest, FitWithinTheWorkArea)
{
    RECT area = {0, 0, 1280, 984};
    ASSERT_TRUE(SystemParametersInfoW(SPI_SETWORKAREA, 0, &area, 0));
    ASSERT_EQ(4, GetSystemMetrics(SM_CXFRAME));
    ASSERT_EQ(DecodeResult::Decoded, deliver(patternJpeg(800, 600)));
    EXPECT_EQ(Pair(800, 600), clientSize());
    expectViewMatchesClient();

    // Larger than the screen: exactly the work area's edges. Then another such frame
    // while at the far corner: the window keeps its size, and the bars and offsets follow
    // the new frame all the same.
    ASSERT_EQ(DecodeResult::Decoded, deliver(patternJpeg(1500, 1100)));
    EXPECT_EQ(Pair(1280, 984), farCorner());
    send(WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 30000));
    send(WM_VSCROLL, MAKEWPARAM(SB_THUMBTRACK, 30000));
    ASSERT_EQ(DecodeResult::Decoded, deliver(patternJpeg(1400, 1050, {}, 50)));
    EXPECT_EQ(1280, farCorner().first);
    resize(600, 400);  // clear of anything in the screen's corners
    expectViewMatchesClient();
}

// Scrolled by bar and wheel requests, then resized: each scroll shifts what was on screen
// and paints the strip it uncovered; a resize keeps the offsets or clamps them.
TEST_F(ViewportTest, ScrollingAndResizingKeepTheViewOnTheFrame)
{
    ASSERT_EQ(DecodeResult::Decoded, deliver(patternJpeg(640, 480)));
    resize(1000, 800);  // held to the fit while frames come
    EXPECT_EQ(Pair(640, 480), clientSize());
    resize(400, 300);
    const int maxX = 640 - clientSize().first;
    const struct {
        UINT message;
        WPARAM wParam;
        int x, y;  // the offsets after it; -1: the largest
    } steps[] = {
        {WM_VSCROLL, SB_PAGEDOWN, 0, 80},
        {WM_VSCROLL, SB_LINEUP, 0, 70},
        {WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 30000), -1, 70},
        {WM_MOUSEWHEEL, MAKEWPARAM(MK_SHIFT, WORD(-120)), -1, 70},
        {WM_MOUSEWHEEL, MAKEWPARAM(MK_SHIFT | MK_CONTROL, WORD(-240)), -1, 102},
        {WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 200), 200, 102},
        {WM_VSCROLL, MAKEWPARAM(SB_THUMBTRACK, 150), 200, 150},
    };
    for (const auto& s : steps) {
        send(s.message, s.wParam);
        EXPECT_EQ(Pair(s.x < 0 ? maxX : s.x, s.y), offsets()) << s.message << " " << s.wParam;
    }
    expectViewMatchesClient();

    resize(350, 250);  // smaller: the offsets stay
    EXPECT_EQ(Pair(200, 150), offsets());
    resize(560, 440);  // larger than the offsets leave room for: clamped to the extent
    EXPECT_EQ(Pair(640 - clientSize().first, 480 - clientSize().second), offsets());
    expectViewMatchesClient();  // nothing of the old offsets left standing

    viewActive = false;  // the receiver has ended: no size cap
    resize(900, 800);  // larger than the frame: back to 0, no bars, and no scrolling
    EXPECT_GT(clientSize().first, 640);
    send(WM_HSCROLL, SB_PAGEDOWN);
    send(WM_MOUSEWHEEL, MAKEWPARAM(0, WORD(-120)));
    EXPECT_EQ(Pair(0, 0), offsets());
    expectViewMatchesClient();
}

}  // namespace
