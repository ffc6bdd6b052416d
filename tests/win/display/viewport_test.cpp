// The frame image and the view under Wine: frames decoded on a receiver thread and shown
// on the window thread through the view's own dispatch, fit, scrolling and painting.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "app/globals.h"
#include "display/jpeg_decoder.h"
#include "display/viewport_win.h"
#include "tests/support/make_jpeg.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<SIZE> resizes;  // every window size set, in order
int outsideExtent = 0;      // view messages after which an offset lay outside the extent

SIZE clientSize()
{
    RECT r;
    GetClientRect(mainWindow, &r);
    return {r.right, r.bottom};
}

SIZE windowSize()
{
    RECT r;
    GetWindowRect(mainWindow, &r);
    return {r.right - r.left, r.bottom - r.top};
}

bool offsetsWithinExtent()
{
    SIZE client = clientSize();
    return viewState.scrollX >= 0 && viewState.scrollY >= 0 &&
           viewState.scrollX <= std::max(0, frameImage.extentWidth - int(client.cx)) &&
           viewState.scrollY <= std::max(0, frameImage.extentHeight - int(client.cy)) &&
           viewState.hScroll.nPos == viewState.scrollX && viewState.vScroll.nPos == viewState.scrollY;
}

LRESULT CALLBACK viewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    const auto* pos = reinterpret_cast<const WINDOWPOS*>(lParam);
    if (message == WM_WINDOWPOSCHANGED && !(pos->flags & SWP_NOSIZE))
        resizes.push_back({pos->cx, pos->cy});
    // Mid-fit the extent is already the new frame's while the window is not yet its size.
    if (dispatchViewMessage(window, message, wParam, lParam) && message != WM_SIZE && message != WM_GETMINMAXINFO &&
        frameImage.extentWidth > 0 && !offsetsWithinExtent())
        ++outsideExtent;
    return DefWindowProcW(window, message, wParam, lParam);
}

// Every pixel different from its neighbours both ways, so a view one pixel off shows.
Bytes patternJpeg(int width, int height, int seed)
{
    Bytes rgb(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
            p[0] = uint8_t(x * 5 + seed);
            p[1] = uint8_t(y * 3 + seed);
            p[2] = uint8_t((x + y) * 2);
        }
    return makeJpeg(rgb.data(), width, height);
}

void pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

DWORD WINAPI runWork(LPVOID work)
{
    (*static_cast<std::function<void()>*>(work))();
    return 0;
}

// Runs `work` on a thread of its own, as the receiver thread, while this thread pumps;
// `meanwhile` runs between the messages.
void asReceiver(std::function<void()> work, std::function<void()> meanwhile = [] {})
{
    HANDLE thread = CreateThread(nullptr, 0, runWork, &work, 0, nullptr);
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        meanwhile();
        pump();
    }
    CloseHandle(thread);
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
void wheel(int delta, WORD keys) { send(WM_MOUSEWHEEL, MAKEWPARAM(keys, WORD(int16_t(delta)))); }

// Client pixels that differ from the shown frame at the offsets, or from white beyond it.
int mismatches()
{
    SIZE client = clientSize();
    HDC windowDC = GetDC(mainWindow);
    HDC memoryDC = CreateCompatibleDC(windowDC);
    BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), client.cx, -client.cy, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
    void* bits = nullptr;
    HBITMAP shot = CreateDIBSection(windowDC, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memoryDC, shot);
    BitBlt(memoryDC, 0, 0, client.cx, client.cy, windowDC, 0, 0, SRCCOPY);
    GdiFlush();
    const FrameBitmap& frame = frameImage.shown;
    int count = 0;
    for (int y = 0; y < client.cy; ++y)
        for (int x = 0; x < client.cx; ++x) {
            int fx = x + viewState.scrollX, fy = y + viewState.scrollY;
            const uint8_t* want = nullptr;
            if (frame.bitmap && fx < frame.width && fy < frame.height)
                want = frame.pixels + (size_t(frame.height - 1 - fy) * size_t(frame.width) + size_t(fx)) * 4;
            const uint8_t* got = static_cast<const uint8_t*>(bits) + (size_t(y) * size_t(client.cx) + size_t(x)) * 4;
            bool same = want ? std::equal(got, got + 3, want) : got[0] == 255 && got[1] == 255 && got[2] == 255;
            if (!same && ++count <= 3)
                ADD_FAILURE() << "client " << x << "," << y << " at offsets " << viewState.scrollX << ","
                              << viewState.scrollY;
        }
    SelectObject(memoryDC, old);
    DeleteObject(shot);
    DeleteDC(memoryDC);
    ReleaseDC(mainWindow, windowDC);
    return count;
}

struct ViewportTest : ::testing::Test {
    RECT work = {};

    void SetUp() override
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = viewProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
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
        resizes.clear();
        outsideExtent = 0;
    }

    void TearDown() override
    {
        SystemParametersInfoW(SPI_SETWORKAREA, 0, &work, 0);
        EXPECT_EQ(0, outsideExtent);
        send(WM_VIEWFRAME, kFramesEnded);
        viewActive = false;
        DestroyWindow(mainWindow);
        mainWindow = nullptr;
    }

    void expectBarsMatchClient()
    {
        SIZE client = clientSize();
        EXPECT_EQ(client.cx < frameImage.extentWidth, hasStyle(WS_HSCROLL)) << client.cx;
        EXPECT_EQ(client.cy < frameImage.extentHeight, hasStyle(WS_VSCROLL)) << client.cy;
        EXPECT_TRUE(offsetsWithinExtent());
        EXPECT_EQ(viewState.scrollX, GetScrollPos(mainWindow, SB_HORZ));
        EXPECT_EQ(viewState.scrollY, GetScrollPos(mainWindow, SB_VERT));
    }
};

TEST_F(ViewportTest, FramesAreDecodedAsideAndSwappedInOnTheWindowThread)
{
    wheel(-120, 0);  // before the first frame: nothing moves, nothing but white
    EXPECT_FALSE(hasStyle(WS_HSCROLL) || hasStyle(WS_VSCROLL));
    EXPECT_EQ(0, mismatches());

    const Bytes first = patternJpeg(333, 211, 0), second = patternJpeg(333, 211, 90);
    ASSERT_EQ(DecodeResult::Decoded, deliver(first));
    DIBSECTION dib = {};
    ASSERT_EQ(int(sizeof dib), GetObjectW(frameImage.shown.bitmap, sizeof dib, &dib));
    EXPECT_EQ(333, dib.dsBm.bmWidth);
    EXPECT_EQ(211, dib.dsBm.bmHeight);
    EXPECT_EQ(32, dib.dsBm.bmBitsPixel);
    EXPECT_EQ(frameImage.shown.pixels, dib.dsBm.bmBits);
    EXPECT_EQ(frameImage.shown.bitmap, GetCurrentObject(frameImage.memoryDC, OBJ_BITMAP));
    EXPECT_TRUE(viewActive);
    EXPECT_EQ(0, mismatches());

    // The next frame goes into the other bitmap while this one stays on screen.
    HBITMAP shownFirst = frameImage.shown.bitmap;
    ASSERT_EQ(DecodeResult::Decoded, decodeFrame(frameImage, second.data(), int32_t(second.size())));
    EXPECT_EQ(shownFirst, frameImage.shown.bitmap);
    EXPECT_EQ(0, mismatches());
    send(WM_VIEWFRAME, kShowDecodedFrame);
    EXPECT_EQ(shownFirst, frameImage.next.bitmap);
    EXPECT_EQ(0, mismatches());
    ASSERT_EQ(DecodeResult::Decoded, deliver(first));
    EXPECT_EQ(shownFirst, frameImage.shown.bitmap);  // the same size takes no new bitmap

    // A frame too large for a bitmap is not drawn and takes nothing from the screen.
    Bytes huge = first;
    const uint8_t sofMarker[] = {0xFF, 0xC0};
    auto sof = std::search(huge.begin(), huge.end(), std::begin(sofMarker), std::end(sofMarker));
    sof[5] = sof[7] = 0x20;  // over 8000 pixels each way
    EXPECT_EQ(DecodeResult::Skipped, deliver(huge));
    EXPECT_EQ(shownFirst, frameImage.shown.bitmap);
    EXPECT_EQ(333, frameImage.shown.width);
    EXPECT_EQ(0, mismatches());

    // The end of the stream: the bitmaps go, once, and the window turns white.
    asReceiver([] { SendMessageW(mainWindow, WM_VIEWFRAME, kFramesEnded, 0); });
    EXPECT_EQ(nullptr, frameImage.shown.bitmap);
    EXPECT_EQ(0, GetObjectW(shownFirst, 0, nullptr));
    releaseFrameImage(frameImage);
    InvalidateRect(mainWindow, nullptr, FALSE);
    UpdateWindow(mainWindow);
    EXPECT_EQ(0, mismatches());
}

TEST_F(ViewportTest, FitWithinTheWorkArea)
{
    RECT area = {0, 0, 1280, 984};
    ASSERT_TRUE(SystemParametersInfoW(SPI_SETWORKAREA, 0, &area, 0));
    ASSERT_EQ(4, GetSystemMetrics(SM_CXFRAME));
    ASSERT_EQ(DecodeResult::Decoded, deliver(patternJpeg(800, 600, 0)));
    ASSERT_EQ(2u, resizes.size());
    EXPECT_EQ(808, resizes[0].cx);
    EXPECT_EQ(760, resizes[0].cy);
    EXPECT_EQ(808, windowSize().cx);
    EXPECT_EQ(viewState.maxWindowWidth, windowSize().cx);
    EXPECT_EQ(viewState.maxWindowHeight, windowSize().cy);
    EXPECT_EQ(800, clientSize().cx);
    EXPECT_EQ(600, clientSize().cy);
    expectBarsMatchClient();

    // Taller than the work area: both resizes stop at its bottom edge.
    resizes.clear();
    ASSERT_EQ(DecodeResult::Decoded, deliver(patternJpeg(800, 1200, 0)));
    EXPECT_EQ(984, resizes.at(0).cy);
    EXPECT_EQ(984, windowSize().cy);
    EXPECT_TRUE(hasStyle(WS_VSCROLL));
    expectBarsMatchClient();

    // Wider: exactly the work area's right edge, and a bar.
    ASSERT_EQ(DecodeResult::Decoded, deliver(patternJpeg(1580, 300, 0)));
    EXPECT_EQ(1280, windowSize().cx);
    EXPECT_TRUE(hasStyle(WS_HSCROLL));
    expectBarsMatchClient();

    // Narrower than the window can be: white beside it.
    ASSERT_EQ(DecodeResult::Decoded, deliver(patternJpeg(40, 30, 0)));
    EXPECT_GT(clientSize().cx, 40);
    EXPECT_EQ(0, mismatches());
}

TEST_F(ViewportTest, ScrollRequestsAndWheelMoveTheView)
{
    ASSERT_EQ(DecodeResult::Decoded, deliver(patternJpeg(640, 480, 0)));
    resize(400, 300);
    const int maxX = 640 - clientSize().cx;
    ASSERT_GT(480 - clientSize().cy, 90);
    struct Step {
        UINT message;
        WPARAM wParam;
        int x, y;  // the offsets after it; -1: the largest
    } steps[] = {
        {WM_VSCROLL, SB_LINEDOWN, 0, 10},
        {WM_VSCROLL, SB_PAGEDOWN, 0, 90},
        {WM_VSCROLL, SB_PAGEUP, 0, 10},
        {WM_VSCROLL, SB_PAGEUP, 0, 0},
        {WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 120), 120, 0},
        {WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 30000), -1, 0},
        {WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 5), -1, 0},
        {WM_HSCROLL, SB_LINERIGHT, -1, 0},
        {WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 0), 0, 0},
        {WM_MOUSEWHEEL, MAKEWPARAM(0, WORD(-240)), 0, 32},
        {WM_MOUSEWHEEL, MAKEWPARAM(0, 120), 0, 16},
        {WM_MOUSEWHEEL, MAKEWPARAM(MK_SHIFT, WORD(-120)), 16, 16},
        {WM_MOUSEWHEEL, MAKEWPARAM(MK_SHIFT | MK_CONTROL, WORD(-120)), 16, 32},
    };
    for (const Step& s : steps) {
        send(s.message, s.wParam);
        EXPECT_EQ(s.x < 0 ? maxX : s.x, viewState.scrollX) << s.message << " " << s.wParam;
        EXPECT_EQ(s.y, viewState.scrollY) << s.message << " " << s.wParam;
    }
    expectBarsMatchClient();
    // Each scroll shifted what was on screen and painted the strip it uncovered.
    EXPECT_EQ(0, mismatches());
}

TEST_F(ViewportTest, ResizingKeepsOrClampsTheOffsetsAndIsCappedWhileViewActive)
{
    ASSERT_EQ(DecodeResult::Decoded, deliver(patternJpeg(640, 480, 0)));
    const SIZE fitted = windowSize();
    resize(fitted.cx + 200, fitted.cy + 150);
    EXPECT_EQ(fitted.cx, windowSize().cx);
    EXPECT_EQ(fitted.cy, windowSize().cy);
    resize(400, 300);
    send(WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 200));
    send(WM_VSCROLL, MAKEWPARAM(SB_THUMBTRACK, 150));
    resize(350, 250);  // smaller: the offsets stay, also through a minimise
    ShowWindow(mainWindow, SW_MINIMIZE);
    pump();
    ShowWindow(mainWindow, SW_RESTORE);
    pump();
    EXPECT_EQ(200, viewState.scrollX);
    EXPECT_EQ(150, viewState.scrollY);
    expectBarsMatchClient();

    resize(560, 440);  // larger than the offsets leave room for: clamped to the extent
    EXPECT_EQ(640 - clientSize().cx, viewState.scrollX);
    EXPECT_EQ(480 - clientSize().cy, viewState.scrollY);
    UpdateWindow(mainWindow);
    EXPECT_EQ(0, mismatches());  // nothing of the old offsets left standing

    viewActive = false;  // the receiver has ended: no size cap
    resize(900, 800);  // larger than the frame: back to 0, no bars, and no scrolling
    EXPECT_EQ(900, windowSize().cx);
    send(WM_HSCROLL, SB_PAGEDOWN);
    send(WM_VSCROLL, SB_LINEUP);
    wheel(-120, MK_SHIFT);
    EXPECT_EQ(0, viewState.scrollX);
    EXPECT_EQ(0, viewState.scrollY);
    expectBarsMatchClient();
    UpdateWindow(mainWindow);
    EXPECT_EQ(0, mismatches());
}

// Frames of two sizes, both larger than the screen, arrive while the user scrolls: the
// offsets stay within the extent after every message, and the last picture is exact.
TEST_F(ViewportTest, SizeChangesWhileTheUserScrolls)
{
    const Bytes frames[] = {patternJpeg(work.right + 200, work.bottom + 150, 0),
                            patternJpeg(work.right + 360, work.bottom + 260, 50)};
    const WPARAM requests[][2] = {{WM_HSCROLL, SB_PAGEDOWN}, {WM_VSCROLL, SB_LINEDOWN},
                                  {WM_MOUSEWHEEL, MAKEWPARAM(0, WORD(-360))}, {WM_VSCROLL, MAKEWPARAM(SB_THUMBTRACK, 9000)},
                                  {WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 700)}};
    int posted = 0;
    asReceiver(
        [&] {
            for (int i = 0; i < 12; ++i)
                if (decodeFrame(frameImage, frames[i % 2].data(), int32_t(frames[i % 2].size())) ==
                    DecodeResult::Decoded)
                    SendMessageW(mainWindow, WM_VIEWFRAME, kShowDecodedFrame, 0);
        },
        [&] {
            for (int i = 0; i < 3; ++i, ++posted)
                PostMessageW(mainWindow, UINT(requests[posted % 5][0]), requests[posted % 5][1], 0);
        });
    EXPECT_GT(posted, 12);
    EXPECT_EQ(work.right + 360, frameImage.extentWidth);
    resize(600, 400);  // clear of anything in the screen's corners
    send(WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 333));
    send(WM_VSCROLL, MAKEWPARAM(SB_THUMBTRACK, 211));
    expectBarsMatchClient();
    EXPECT_EQ(0, mismatches());
}

// An unreadable frame ends the process with libjpeg's message and status 1, also while
// the window thread keeps painting.
void decodeGarbageWhilePainting()
{
    const Bytes good = patternJpeg(300, 200, 0);
    asReceiver(
        [&] {
            for (int i = 0; i < 10; ++i) {
                decodeFrame(frameImage, good.data(), int32_t(good.size()));
                SendMessageW(mainWindow, WM_VIEWFRAME, kShowDecodedFrame, 0);
            }
            const char garbage[] = "not a picture at all";
            decodeFrame(frameImage, reinterpret_cast<const uint8_t*>(garbage), sizeof garbage);
        },
        [] { InvalidateRect(mainWindow, nullptr, FALSE); });
}

TEST_F(ViewportTest, UnreadableFrameEndsTheProcessWithStatusOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(decodeGarbageWhilePainting(), ::testing::ExitedWithCode(1), "Not a JPEG file: starts with 0x6e 0x6f");
}

}  // namespace
