// Frames per second of the real receiver thread under Wine, for 1920x1080 frames from the
// counterpart server, with the frame image in 24-bit and in 32-bit pixels (rounds
// interleaved), next to what the 10 ms receive pauses, the decode and one full repaint
// of the same frames take by themselves. Run by scripts/bench.sh.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/globals.h"
#include "display/jpeg_decoder.h"
#include "display/viewport_win.h"
#include "net/frame_channel_win.h"
#include "net/receiver_thread_win.h"
#include "tests/support/make_jpeg.h"
#include "tests/support/memory_target.h"
#include "tests/win/support/test_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// When each frame was on screen: the steady rate leaves out the connect, the first fit
// and the end of the stream.
std::vector<Clock::time_point> shownAt;

LRESULT CALLBACK benchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    dispatchViewMessage(window, message, wParam, lParam);
    if (message == WM_VIEWFRAME && wParam == kShowDecodedFrame)
        shownAt.push_back(Clock::now());
    return DefWindowProcW(window, message, wParam, lParam);
}

// A 1920x1080 frame of gradients, flat panels and some noise, at quality 80, 4:2:0.
std::vector<uint8_t> makeFrame(int seed)
{
    const int width = 1920, height = 1080;
    std::vector<uint8_t> rgb(size_t(width) * height * 3);
    uint32_t noise = 12345u + uint32_t(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
            noise = noise * 1664525u + 1013904223u;
            bool panel = (x / 240 + y / 180 + seed) % 3 == 0;
            p[0] = panel ? 236 : uint8_t((x + seed * 40) * 255 / width);
            p[1] = panel ? 236 : uint8_t(y * 255 / height);
            p[2] = panel ? 240 : uint8_t(((x ^ y) & 0x3F) + (noise >> 26));
        }
    JpegSettings settings;
    settings.quality = 80;
    settings.hSample = settings.vSample = 2;
    return makeJpeg(rgb.data(), width, height, settings);
}

void pumpUntil(HANDLE thread)
{
    MSG msg;
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
}

struct StreamRun {
    double msPerFrame = 0;
    double pausesPerFrame = 0;
};

// One connection's worth of frames through the receiver thread, as the viewer runs it.
bool stream(const std::string& folder, int frames, PixelFormat format, StreamRun& run)
{
    TestServer server;
    if (!server.start("--frames '" + folder + "' --close-after " + std::to_string(frames)))
        return false;
    frameImage.format = format;
    if (frameChannel.netEvent == WSA_INVALID_EVENT)  // the last run closed it
        frameChannel.netEvent = WSACreateEvent();
    frameChannel.pauses = 0;
    std::wstring address(server.address.begin(), server.address.end());
    if (openSocket(frameChannel) || openSocket(inputChannel) ||
        resolveAndConnect(frameChannel, nullptr, address.c_str(), kFramePort))
        return false;
    wcscpy(destinationText, address.c_str());
    connectionOpen = true;
    shownAt.clear();
    sendControl(MSG_NEXT_FRAME);
    HANDLE thread = CreateThread(nullptr, 0, ReceiverThread, nullptr, 0, nullptr);
    pumpUntil(thread);
    CloseHandle(thread);
    const int skipped = 10;
    if (int(shownAt.size()) != frames)
        return false;
    run.msPerFrame = std::chrono::duration<double, std::milli>(shownAt.back() - shownAt[skipped]).count() /
                     (frames - 1 - skipped);
    run.pausesPerFrame = double(frameChannel.pauses) / frames;
    return true;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Decode of one frame into plain memory, median of 15.
double decodeMs(const std::vector<uint8_t>& jpeg, PixelFormat format)
{
    MemoryTarget target;
    DecodeOptions options;
    options.format = format;
    std::vector<double> times;
    for (int i = 0; i < 15; ++i) {
        Clock::time_point t = Clock::now();
        decodeJpegFrame(jpeg.data(), jpeg.size(), target, options);
        times.push_back(msSince(t));
    }
    return median(times);
}

struct PaintCost {
    double repaintMs;  // a full repaint of the client, as each new frame has
    double showMs;     // the whole show step: the swap, the sent message and that repaint
};

PaintCost paintCost(const std::vector<uint8_t>& jpeg, PixelFormat format)
{
    frameImage.format = format;
    // Both bitmaps hold the frame, so every show swaps in a whole picture.
    for (int i = 0; i < 2; ++i) {
        decodeFrame(frameImage, jpeg.data(), int32_t(jpeg.size()));
        SendMessageW(mainWindow, WM_VIEWFRAME, kShowDecodedFrame, 0);
    }
    decodeFrame(frameImage, jpeg.data(), int32_t(jpeg.size()));
    std::vector<double> repaint, show;
    for (int i = 0; i < 15; ++i) {
        Clock::time_point t = Clock::now();
        InvalidateRgn(mainWindow, nullptr, FALSE);
        UpdateWindow(mainWindow);
        GdiFlush();
        repaint.push_back(msSince(t));
        t = Clock::now();
        SendMessageW(mainWindow, WM_VIEWFRAME, kShowDecodedFrame, 0);
        GdiFlush();
        show.push_back(msSince(t));
    }
    SendMessageW(mainWindow, WM_VIEWFRAME, kFramesEnded, 0);
    return {median(repaint), median(show)};
}

}  // namespace

int main()
{
    const int frames = 120, rounds = 5;
    // Frames made beforehand, so the server only sends them.
    std::string folder = scratchFolder("stream-bench");
    std::vector<uint8_t> last;
    for (int i = 0; i < 3; ++i) {
        last = makeFrame(i);
        FILE* out = fopen(windowsPath(folder + "/frame" + std::to_string(i) + ".jpg").c_str(), "wb");
        fwrite(last.data(), 1, last.size(), out);
        fclose(out);
    }
    WNDCLASSW wc = {};
    wc.lpfnWndProc = benchWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = HBRUSH(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = L"StreamBench";
    RegisterClassW(&wc);
    mainWindow = CreateWindowW(L"StreamBench", L"StreamBench", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 800, 600,
                               nullptr, nullptr, wc.hInstance, nullptr);

    const PixelFormat formats[2] = {PixelFormat::Bgr24, PixelFormat::Bgrx32};
    const char* const names[2] = {"24-bit", "32-bit"};
    Clock::time_point t = Clock::now();
    for (int i = 0; i < 50; ++i)
        Sleep(10);
    const double sleepMs = msSince(t) / 50;
    // Each round measures the parts right after its stream, so a busy spell on the
    // machine falls on the stream and its parts alike; medians over the rounds.
    std::vector<double> perFrame[2], pauses[2], decode[2], repaint[2], showStep[2], overhead[2];
    for (int round = 0; round < rounds; ++round)
        for (int f = 0; f < 2; ++f) {
            StreamRun run;
            if (!stream(folder, frames, formats[f], run)) {
                std::printf("the stream did not run through\n");
                return 1;
            }
            double decoded = decodeMs(last, formats[f]);
            PaintCost paint = paintCost(last, formats[f]);
            perFrame[f].push_back(run.msPerFrame);
            pauses[f].push_back(run.pausesPerFrame);
            decode[f].push_back(decoded);
            repaint[f].push_back(paint.repaintMs);
            showStep[f].push_back(paint.showMs);
            overhead[f].push_back(run.msPerFrame / (run.pausesPerFrame * sleepMs + decoded + paint.repaintMs) - 1);
        }

    RECT client;
    GetClientRect(mainWindow, &client);
    std::printf("%d frames of 1920x1080 per run (the first 10 not timed), medians of %d runs; client %ldx%ld; "
                "one Sleep(10) %.2f ms\n", frames, rounds, client.right, client.bottom, sleepMs);
    std::printf("%-7s %9s %6s %8s %9s %10s %10s %9s\n", "bitmap", "ms/frame", "fps", "pauses", "decode", "repaint",
                "show step", "overhead over pauses+decode+repaint");
    double fps[2] = {};
    for (int f = 0; f < 2; ++f) {
        fps[f] = 1000.0 / median(perFrame[f]);
        std::printf("%-7s %9.2f %6.1f %8.2f %7.2fms %8.2fms %8.2fms %8.1f%%\n", names[f], median(perFrame[f]), fps[f],
                    median(pauses[f]), median(decode[f]), median(repaint[f]), median(showStep[f]),
                    median(overhead[f]) * 100.0);
    }
    std::printf("32-bit / 24-bit frames per second: %.2f (target at least 1.3)\n", fps[1] / fps[0]);
    return 0;
}
