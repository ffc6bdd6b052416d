// Frames per second of the real receiver thread under Wine, for 1920x1080 frames from
// the counterpart server, next to the bound that the 10 ms receive pauses and the decode
// time of the same frames set. Run by scripts/bench.sh.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/globals.h"
#include "connect/connect_dialog_win.h"
#include "display/jpeg_decoder.h"
#include "display/viewport_win.h"
#include "net/frame_channel_win.h"
#include "net/receiver_thread_win.h"
#include "tests/support/make_jpeg.h"
#include "tests/support/memory_target.h"
#include "tests/win/support/test_server.h"

namespace {

using Clock = std::chrono::steady_clock;

LRESULT CALLBACK benchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        onViewPaint(window);
        break;
    case WM_SIZE:
        onViewSize(window);
        break;
    case WM_GETMINMAXINFO:
        onViewGetMinMaxInfo(lParam);
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A 1920x1080 frame of gradients, flat panels and some noise, at quality 80, 4:2:0.
void writeFrame(const std::string& unixPath, int seed)
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
    std::vector<uint8_t> jpeg = makeJpeg(rgb.data(), width, height, settings);
    FILE* out = fopen(windowsPath(unixPath).c_str(), "wb");
    fwrite(jpeg.data(), 1, jpeg.size(), out);
    fclose(out);
}

}  // namespace

int main()
{
    const int frames = 120;
    // Frames made beforehand, so the server only sends them.
    std::string folder = scratchFolder("stream-bench");
    for (int i = 0; i < 3; ++i)
        writeFrame(folder + "/frame" + std::to_string(i) + ".jpg", i);
    TestServer server;
    if (!server.start("--frames '" + folder + "' --close-after " + std::to_string(frames))) {
        std::printf("the counterpart server did not start\n");
        return 1;
    }
    WNDCLASSW wc = {};
    wc.lpfnWndProc = benchWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = HBRUSH(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = L"StreamBench";
    RegisterClassW(&wc);
    mainWindow = CreateWindowW(L"StreamBench", L"StreamBench", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 800, 600,
                               nullptr, nullptr, wc.hInstance, nullptr);

    std::wstring address(server.address.begin(), server.address.end());
    wcscpy(destinationText, address.c_str());
    if (openSocket(frameChannel) || openSocket(inputChannel) || resolveAndConnect(frameChannel, nullptr, destinationText, kFramePort))
        return 1;
    connectionOpen = true;
    Clock::time_point start = Clock::now();
    sendControl(MSG_NEXT_FRAME);
    HANDLE thread = CreateThread(nullptr, 0, ReceiverThread, nullptr, 0, nullptr);
    MSG msg;
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    double streamed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    int shown = server.count("frame-send body");
    int32_t pauses = frameChannel.pauses;

    // The decode of such a frame in this process, into plain memory: the last body is
    // still in the frame buffer.
    double decodeMs = 0;
    {
        std::vector<uint8_t> last(frameChannel.frameBuffer, frameChannel.frameBuffer + frameChannel.frameCapacity);
        MemoryTarget target;
        int32_t length = 0;
        for (const std::string& line : server.log())
            if (line.rfind("frame-send body ", 0) == 0)
                length = std::stoi(line.substr(16));
        const int rounds = 40;
        Clock::time_point t = Clock::now();
        for (int i = 0; i < rounds; ++i)
            decodeJpegFrame(last.data(), size_t(length), target);
        decodeMs = std::chrono::duration<double, std::milli>(Clock::now() - t).count() / rounds;
    }
    // What a pause and a repaint of the whole client really take here.
    Clock::time_point t = Clock::now();
    for (int i = 0; i < 50; ++i)
        Sleep(10);
    double sleepMs = std::chrono::duration<double, std::milli>(Clock::now() - t).count() / 50;
    {
        // The frame again in the bitmap, then full repaints as each new frame has.
        std::vector<uint8_t> last(frameChannel.frameBuffer, frameChannel.frameBuffer + frameChannel.frameCapacity);
        int32_t length = 0;
        for (const std::string& line : server.log())
            if (line.rfind("frame-send body ", 0) == 0)
                length = std::stoi(line.substr(16));
        decodeFrame(frameImage, last.data(), length);
    }
    t = Clock::now();
    for (int i = 0; i < 50; ++i) {
        InvalidateRgn(mainWindow, nullptr, FALSE);
        UpdateWindow(mainWindow);
    }
    double paintMs = std::chrono::duration<double, std::milli>(Clock::now() - t).count() / 50;
    RECT client;
    GetClientRect(mainWindow, &client);

    double perFrame = streamed / shown;
    double pausesPerFrame = double(pauses) / shown;
    double bound = pausesPerFrame * 10.0 + decodeMs;
    std::printf("frames shown          %d (1920x1080)\n", shown);
    std::printf("ms per frame          %.2f  (%.1f frames per second)\n", perFrame, 1000.0 / perFrame);
    std::printf("pauses per frame      %.2f\n", pausesPerFrame);
    std::printf("decode ms per frame   %.2f\n", decodeMs);
    std::printf("bound (pauses+decode) %.2f ms\n", bound);
    std::printf("overhead over bound   %.1f %%\n", (perFrame / bound - 1.0) * 100.0);
    std::printf("one Sleep(10) here    %.2f ms\n", sleepMs);
    std::printf("one full repaint      %.2f ms (client %ldx%ld)\n", paintMs, client.right, client.bottom);
    double measured = pausesPerFrame * sleepMs + decodeMs + paintMs;
    std::printf("pauses as slept + decode + repaint  %.2f ms; the rest %.2f ms (%.1f %% of the bound)\n", measured,
                perFrame - measured, (perFrame - measured) / bound * 100.0);
    return 0;
}
