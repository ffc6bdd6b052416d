#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <vector>


#include "app/globals.h"
#include "display/jpeg_decoder.h"
#include "tests/support/make_jpeg.h"

namespace {

// A frame of four solid quadrants, so every pixel's colour is known after decoding.
std::vector<uint8_t> quadrantJpeg(int width, int height)
{
    std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
            bool right = x >= width / 2, bottom = y >= height / 2;
            p[0] = right ? 0 : 255;     // top-left red, bottom-left magenta
            p[1] = bottom ? 0 : 200;
            p[2] = (right || bottom) ? 255 : 0;
        }
    return makeJpeg(rgb.data(), width, height);
}

int paints = 0;

LRESULT CALLBACK countingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_PAINT)
        ++paints;
    return DefWindowProcW(window, message, wParam, lParam);
}

struct FrameImageTest : ::testing::Test {
    void SetUp() override
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = countingProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"FrameImageTest";
        RegisterClassW(&wc);
        mainWindow = CreateWindowW(L"FrameImageTest", L"FrameImageTest", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                   300, 200, nullptr, nullptr, wc.hInstance, nullptr);
        ASSERT_NE(nullptr, mainWindow);
        releaseFrameImage(frameImage);
    }
    void TearDown() override
    {
        releaseFrameImage(frameImage);
        DestroyWindow(mainWindow);
        mainWindow = nullptr;
    }
};

const uint8_t* pixelAt(int x, int y)  // frame coordinates, top row 0
{
    int32_t stride = bitmapStride(frameImage.width);
    return frameImage.pixels + size_t(frameImage.height - 1 - y) * size_t(stride) + size_t(x) * 3;
}

void expectColour(int x, int y, int blue, int green, int red)
{
    const uint8_t* p = pixelAt(x, y);
    EXPECT_NEAR(blue, p[0], 3) << x << "," << y;
    EXPECT_NEAR(green, p[1], 3) << x << "," << y;
    EXPECT_NEAR(red, p[2], 3) << x << "," << y;
}

TEST_F(FrameImageTest, FirstFrameMakesTheBitmapAndIsPaintedBeforeReturning)
{
    auto jpeg = quadrantJpeg(64, 48);
    paints = 0;
    ASSERT_TRUE(decodeFrame(frameImage, jpeg.data(), int32_t(jpeg.size())));
    EXPECT_TRUE(frameImage.created);
    EXPECT_GE(paints, 1);
    EXPECT_EQ(64, frameImage.width);
    EXPECT_EQ(48, frameImage.height);
    DIBSECTION dib = {};
    ASSERT_EQ(int(sizeof dib), GetObjectW(frameImage.bitmap, sizeof dib, &dib));
    EXPECT_EQ(64, dib.dsBm.bmWidth);
    EXPECT_EQ(48, dib.dsBm.bmHeight);
    EXPECT_EQ(24, dib.dsBm.bmBitsPixel);
    EXPECT_EQ(frameImage.pixels, dib.dsBm.bmBits);
    EXPECT_EQ(frameImage.bitmap, GetCurrentObject(frameImage.memoryDC, OBJ_BITMAP));
    expectColour(0, 0, 0, 200, 255);     // top-left red-orange, stored last in memory
    expectColour(63, 0, 255, 200, 0);
    expectColour(0, 47, 255, 0, 255);
    // The memory DC reads the same pixel at the frame's top-left.
    COLORREF topLeft = GetPixel(frameImage.memoryDC, 0, 0);
    EXPECT_NEAR(255, GetRValue(topLeft), 3);
    EXPECT_NEAR(200, GetGValue(topLeft), 3);
}

TEST_F(FrameImageTest, SameSizeReusesTheBitmapAndANewSizeRemakesIt)
{
    auto small = quadrantJpeg(64, 48);
    ASSERT_TRUE(decodeFrame(frameImage, small.data(), int32_t(small.size())));
    HBITMAP first = frameImage.bitmap;
    ASSERT_TRUE(decodeFrame(frameImage, small.data(), int32_t(small.size())));
    EXPECT_EQ(first, frameImage.bitmap);

    auto larger = quadrantJpeg(333, 211);  // odd width: rows are padded
    ASSERT_TRUE(decodeFrame(frameImage, larger.data(), int32_t(larger.size())));
    DIBSECTION dib = {};
    ASSERT_EQ(int(sizeof dib), GetObjectW(frameImage.bitmap, sizeof dib, &dib));
    EXPECT_EQ(333, dib.dsBm.bmWidth);
    EXPECT_EQ(211, dib.dsBm.bmHeight);
    EXPECT_EQ(bitmapStride(333), dib.dsBm.bmWidthBytes);
    EXPECT_EQ(DWORD(bitmapStride(333) * 211), frameImage.bitmapInfo.bmiHeader.biSizeImage);
    expectColour(332, 210, 255, 0, 0);
    for (int y = 0; y < 211; ++y)
        EXPECT_EQ(0, frameImage.pixels[size_t(y) * size_t(bitmapStride(333)) + 999]);

    ASSERT_TRUE(decodeFrame(frameImage, small.data(), int32_t(small.size())));
    expectColour(0, 0, 0, 200, 255);
}

TEST_F(FrameImageTest, FrameTooLargeForABitmapIsNotDrawn)
{
    auto small = quadrantJpeg(64, 48);
    ASSERT_TRUE(decodeFrame(frameImage, small.data(), int32_t(small.size())));
    HBITMAP before = frameImage.bitmap;
    auto wide = quadrantJpeg(kMaxFrameSide + 8, 8);
    EXPECT_FALSE(decodeFrame(frameImage, wide.data(), int32_t(wide.size())));
    EXPECT_EQ(before, frameImage.bitmap);
    EXPECT_EQ(64, frameImage.width);
}

TEST_F(FrameImageTest, ReleaseTwiceDeletesOnce)
{
    auto jpeg = quadrantJpeg(32, 32);
    ASSERT_TRUE(decodeFrame(frameImage, jpeg.data(), int32_t(jpeg.size())));
    HBITMAP bitmap = frameImage.bitmap;
    releaseFrameImage(frameImage);
    EXPECT_FALSE(frameImage.created);
    EXPECT_EQ(0, GetObjectW(bitmap, 0, nullptr));  // gone
    releaseFrameImage(frameImage);
    EXPECT_FALSE(frameImage.created);
    EXPECT_EQ(32, frameImage.width);
}

// The viewer's way out for an unreadable frame: libjpeg's message and status 1, also
// while the window thread keeps painting from the bitmap the exit tears down.
LRESULT CALLBACK paintingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_PAINT)
        return DefWindowProcW(window, message, wParam, lParam);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    EnterCriticalSection(&frameImage.bitmapLock);
    if (frameImage.created)
        BitBlt(dc, 0, 0, 300, 200, frameImage.memoryDC, 0, 0, SRCCOPY);
    LeaveCriticalSection(&frameImage.bitmapLock);
    EndPaint(window, &ps);
    InvalidateRect(window, nullptr, FALSE);  // paint again and again
    return 0;
}

void decodeGarbageWhilePainting()
{
    SetWindowLongPtrW(mainWindow, GWLP_WNDPROC, LONG_PTR(paintingProc));
    std::thread([] {
        auto good = quadrantJpeg(300, 200);
        for (int i = 0; i < 20; ++i)
            decodeFrame(frameImage, good.data(), int32_t(good.size()));
        const char garbage[] = "not a picture at all";
        decodeFrame(frameImage, reinterpret_cast<const uint8_t*>(garbage), sizeof garbage);
    }).detach();
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
}

TEST_F(FrameImageTest, UnreadableFrameEndsTheProcessWithStatusOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(decodeGarbageWhilePainting(), ::testing::ExitedWithCode(1), "Not a JPEG file: starts with 0x6e 0x6f");
}

}  // namespace
