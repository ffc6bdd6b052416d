// The Windows host's GDI capture (pointer drawn in) and change check next to TurboJPEG's
// encode of the captured picture, under Wine on a 1920x1080 screen showing a desktop-like
// picture: the screen still (the check reads both captures whole), and a 300x40 strip
// repainted before every capture as when text is typed. The tile check is timed next to
// the row check it replaced, on the same captures. Rounds interleaved, medians. Run by
// scripts/bench.sh on an Xvfb of that size.
#include <windows.h>
#include <turbojpeg.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/desktop_picture.h"
#include "host/jpeg_encoder.h"
#include "winhost/screen_capture_win.h"
#include "winhost/tile_changes.h"

namespace {

std::vector<uint8_t> picture;
int pictureWidth = 0, pictureHeight = 0;

LRESULT CALLBACK desktopProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_PAINT)
        return DefWindowProcW(window, message, wParam, lParam);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), pictureWidth, -pictureHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    SetDIBitsToDevice(dc, 0, 0, pictureWidth, pictureHeight, 0, 0, 0, pictureHeight, picture.data(), &info,
                      DIB_RGB_COLORS);
    EndPaint(window, &paint);
    return 0;
}

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "capture_bench: %s\n", what.c_str());
    std::exit(1);
}

}  // namespace

int main()
{
    pictureWidth = GetSystemMetrics(SM_CXSCREEN);
    pictureHeight = GetSystemMetrics(SM_CYSCREEN);
    picture = desktopPicture(pictureWidth, pictureHeight);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = desktopProc;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // the arrow
    windowClass.lpszClassName = L"CaptureBench";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(WS_EX_TOPMOST, windowClass.lpszClassName, L"capture bench", WS_POPUP | WS_VISIBLE,
                                  0, 0, pictureWidth, pictureHeight, nullptr, nullptr, nullptr, nullptr);
    UpdateWindow(window);
    SetCursorPos(pictureWidth / 2, pictureHeight / 2);
    for (int i = 0; i < 50; ++i) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);)
            DispatchMessageW(&msg);
    }

    ScreenCapture screen;
    ScreenFrame frame;
    JpegEncoder encoder;
    std::string error;
    const int rounds = 40;
    std::vector<double> capture, check, encode, typedCapture, typedCheck, rowCheck, typedRowCheck;
    std::vector<PixelRect> areas;
    volatile int sink = 0;
    int changedStill = 0, changedTyped = 0;
    HDC windowDc = GetDC(window);
    auto captureNow = [&](std::vector<double>& times) {
        BenchClock::time_point start = BenchClock::now();
        if (!screen.capture(frame, error))
            fail(error);
        times.push_back(msSince(start));
    };
    // The row check first in odd rounds, so neither always finds the captures in the cache.
    auto checkNow = [&](int round, std::vector<double>& times, std::vector<double>& rowTimes) {
        bool changed = false;
        for (int turn = 0; turn < 2 && frame.previous; ++turn) {
            BenchClock::time_point start = BenchClock::now();
            if ((turn + round) % 2) {
                ChangedRows rows = findChangedRows(frame.previous, frame.pixels, size_t(frame.width) * 4, frame.height,
                                                   frame.pitch);
                rowTimes.push_back(msSince(start));
                sink = sink + rows.top + rows.bottom;  // all of it, or the bottom's search goes
            } else {
                changed = findChangedTiles(frame.previous, frame.pixels, frame.width, frame.height, frame.pitch, areas);
                times.push_back(msSince(start));
            }
        }
        return changed;
    };
    captureNow(capture);
    capture.clear();
    for (int round = 0; round < rounds; ++round) {
        captureNow(capture);
        changedStill += checkNow(round, check, rowCheck);
        BenchClock::time_point start = BenchClock::now();
        if (!encoder.encode(frame.pixels, frame.width, frame.pitch, frame.height, TJPF_BGRX, TJSAMP_420, 80, error))
            fail(error);
        encode.push_back(msSince(start));

        RECT strip = {400, 500, 700, 540};
        HBRUSH brush = CreateSolidBrush(round % 2 ? RGB(32, 32, 32) : RGB(240, 240, 240));
        FillRect(windowDc, &strip, brush);
        DeleteObject(brush);
        // Wine keeps a window's drawing in memory and hands it to the X server while the
        // thread waits for messages, not more often than every 50 ms.
        for (int i = 0; i < 5; ++i) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);)
                DispatchMessageW(&msg);
        }
        captureNow(typedCapture);
        changedTyped += checkNow(round, typedCheck, typedRowCheck);
    }
    ReleaseDC(window, windowDc);

    using WineVersion = const char*(CDECL*)();
    auto wineVersion = reinterpret_cast<WineVersion>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    double e = median(encode), c = median(capture), k = median(check);
    std::printf("TavimoHost capture, %dx%d screen, %zu-bit build under %s%s; medians of %d interleaved rounds\n",
                frame.width, frame.height, sizeof(void*) * 8, wineVersion ? "Wine " : "Windows",
                wineVersion ? wineVersion() : "", rounds);
    std::printf("TurboJPEG encode q80 4:2:0               %7.2f ms\n", e);
    std::printf("capture (BitBlt + pointer)               %7.2f ms\n", c);
    std::printf("check, nothing changed                   %7.2f ms  (changed in %d of %d; %.2f of the row check)\n", k,
                changedStill, rounds, k / median(rowCheck));
    std::printf("capture + check, still screen            %7.2f ms  (%.2f of the encode)\n", c + k, (c + k) / e);
    std::printf("capture + check, a strip typed           %7.2f ms  (changed in %d of %d; check %.2f of the row "
                "check)\n",
                median(typedCapture) + median(typedCheck), changedTyped, rounds,
                median(typedCheck) / median(typedRowCheck));
    return 0;
}
