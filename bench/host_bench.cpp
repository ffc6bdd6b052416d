// What capturing adds to encoding: tavimo-host's capture (MIT-SHM, pointer drawn in) plus
// TurboJPEG encode of a 1920x1080 desktop-like screen on a private Xvfb, next to the encode
// alone of the same picture, measured in the same run with the two interleaved. Also the
// XGetImage fallback. Run by scripts/bench.sh.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/jpeg_encoder.h"
#include "host/x_display.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kRounds = 60;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "host_bench: %s\n", what.c_str());
    std::exit(1);
}

// Xvfb on a display number it picks; returns ":N".
std::string startXvfb(pid_t& pid)
{
    int fds[2];
    if (pipe(fds) != 0)
        fail("pipe");
    std::string fd = std::to_string(fds[1]), screen = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24";
    std::vector<std::string> args = {"Xvfb", "-displayfd", fd, "-screen", "0", screen, "-nolisten", "tcp", "-noreset"};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid, "Xvfb", nullptr, nullptr, argv.data(), environ) != 0)
        fail("cannot start Xvfb");
    close(fds[1]);
    char text[16] = {};
    if (read(fds[0], text, sizeof text - 1) <= 0)
        fail("Xvfb did not start");
    close(fds[0]);
    return ":" + std::to_string(std::atoi(text));
}

// Gradients, flat panels and a little noise, like a desktop with windows on it.
void paintDesktop(Display* display)
{
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, kWidth, kHeight, 0, 0, 0);
    XSetWindowAttributes attributes;
    attributes.override_redirect = True;
    XChangeWindowAttributes(display, window, CWOverrideRedirect, &attributes);
    XMapRaised(display, window);
    XImage* image = XCreateImage(display, DefaultVisual(display, 0), 24, ZPixmap, 0,
                                 static_cast<char*>(std::malloc(size_t(kWidth) * kHeight * 4)), kWidth, kHeight, 32, 0);
    uint32_t noise = 12345u;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            noise = noise * 1664525u + 1013904223u;
            bool panel = (x / 240 + y / 180) % 3 == 0;
            uint32_t r = panel ? 236 : uint32_t(x * 255 / kWidth), g = panel ? 236 : uint32_t(y * 255 / kHeight),
                     b = panel ? 240 : uint32_t(((x ^ y) & 0x3F) + (noise >> 26));
            XPutPixel(image, x, y, r << 16 | g << 8 | b);
        }
    XPutImage(display, window, DefaultGC(display, 0), image, 0, 0, 0, 0, kWidth, kHeight);
    XDestroyImage(image);
    XSync(display, False);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void measure(const std::string& name, bool shm)
{
    XDisplay screen;
    std::string error;
    if (!screen.open(name, shm, error))
        fail(error);
    ScreenPicture picture;
    if (!screen.capture(picture, error))
        fail(error);
    // The same picture, held still for the encode alone.
    std::vector<uint8_t> still(picture.pixels, picture.pixels + size_t(picture.pitch) * size_t(picture.height));
    int pitch = picture.pitch, format = picture.pixelFormat;
    JpegEncoder encoder;
    std::vector<double> encodeOnly, captureOnly, both;
    size_t bytes = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto start = Clock::now();
        if (!encoder.encode(still.data(), kWidth, pitch, kHeight, format, TJSAMP_420, 80, error))
            fail(error);
        auto encoded = Clock::now();
        if (!screen.capture(picture, error))
            fail(error);
        auto captured = Clock::now();
        if (!encoder.encode(picture.pixels, picture.width, picture.pitch, picture.height, picture.pixelFormat,
                            TJSAMP_420, 80, error))
            fail(error);
        auto done = Clock::now();
        bytes = encoder.size();
        encodeOnly.push_back(std::chrono::duration<double, std::milli>(encoded - start).count());
        captureOnly.push_back(std::chrono::duration<double, std::milli>(captured - encoded).count());
        both.push_back(std::chrono::duration<double, std::milli>(done - encoded).count());
    }
    double e = median(encodeOnly), c = median(captureOnly), b = median(both);
    std::printf("%-9s encode alone %6.2f ms | capture %5.2f ms | capture+encode %6.2f ms | ratio %.3f "
                "(+%.1f %%) | %zu bytes, q80 4:2:0, median of %d\n",
                screen.captureMethod(), e, c, b, b / e, (b / e - 1) * 100, bytes, kRounds);
}

}  // namespace

int main()
{
    pid_t xvfb = -1;
    std::string name = startXvfb(xvfb);
    Display* display = XOpenDisplay(name.c_str());
    if (!display)
        fail("cannot open " + name);
    paintDesktop(display);
    std::printf("tavimo-host capture on a %dx%d Xvfb\n", kWidth, kHeight);
    measure(name, true);
    measure(name, false);
    XCloseDisplay(display);
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
    return 0;
}
