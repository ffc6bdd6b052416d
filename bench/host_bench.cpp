// What capturing adds to encoding: tavimo-host's capture (pointer drawn in) plus its JPEG
// encode of a 1920x1080 desktop-like screen on a private Xvfb, next to the encode alone of
// the same picture, measured in the same run with the two interleaved: the whole screen
// read every frame (MIT-SHM, and the XGetImage fallback), and with XDamage while a strip
// changes and while nothing does. Then --scale 50's cost: capture, scaling and encode of a
// 3840x2160 screen to 1920x1080 frames next to capture and encode of a 1920x1080 screen
// showing the same desktop, each round both, on two Xvfbs: each step after the other, and as
// the host makes whole frames, reading, scaling and encoding at once. Run by scripts/bench.sh.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/frame_scale.h"
#include "host/frame_stream.h"
#include "host/jpeg_encoder.h"
#include "host/x_display.h"
#include "tests/support/private_xvfb.h"

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

// Gradients, flat panels and a little noise, like a desktop with windows on it; `zoom` 2
// paints each pixel as a 2x2 block, the same desktop on a screen of twice the size.
Window paintDesktop(Display* display, int zoom = 1)
{
    int width = kWidth * zoom, height = kHeight * zoom;
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, unsigned(width), unsigned(height),
                                        0, 0, 0);
    XSetWindowAttributes attributes;
    attributes.override_redirect = True;
    XChangeWindowAttributes(display, window, CWOverrideRedirect, &attributes);
    XMapRaised(display, window);
    XImage* image = XCreateImage(display, DefaultVisual(display, 0), 24, ZPixmap, 0,
                                 static_cast<char*>(std::malloc(size_t(width) * height * 4)), unsigned(width),
                                 unsigned(height), 32, 0);
    uint32_t noise = 12345u;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            noise = noise * 1664525u + 1013904223u;
            bool panel = (x / 240 + y / 180) % 3 == 0;
            uint32_t r = panel ? 236 : uint32_t(x * 255 / kWidth), g = panel ? 236 : uint32_t(y * 255 / kHeight),
                     b = panel ? 240 : uint32_t(((x ^ y) & 0x3F) + (noise >> 26));
            for (int dy = 0; dy < zoom; ++dy)
                for (int dx = 0; dx < zoom; ++dx)
                    XPutPixel(image, x * zoom + dx, y * zoom + dy, r << 16 | g << 8 | b);
        }
    XPutImage(display, window, DefaultGC(display, 0), image, 0, 0, 0, 0, unsigned(width), unsigned(height));
    XDestroyImage(image);
    XSync(display, False);
    return window;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One way of capturing. `typing`: a 300x40 strip changes before every capture, as when
// text is typed; otherwise the screen stays as painted.
void measure(const PrivateXvfb& xvfb, Window desktop, const char* label, bool shm, bool damage, bool typing)
{
    XDisplay screen;
    std::string error;
    if (!screen.open(xvfb.name(), shm, damage, error))
        fail(error);
    ScreenPicture picture;
    if (!screen.capture(picture, error))
        fail(error);
    // The same picture, held still for the encode alone.
    std::vector<uint8_t> still(picture.pixels, picture.pixels + size_t(picture.pitch) * size_t(picture.height));
    int pitch = picture.pitch, format = picture.pixelFormat;
    JpegEncoder encoder;
    Display* display = xvfb.display();
    GC gc = DefaultGC(display, 0);
    std::vector<double> encodeOnly, captureOnly, both;
    int unchanged = 0;
    for (int round = 0; round < kRounds; ++round) {
        if (typing) {
            XSetForeground(display, gc, round % 2 ? 0x202020 : 0xF0F0F0);
            XFillRectangle(display, desktop, gc, 400, 500, 300, 40);
            XSync(display, False);
        }
        auto start = Clock::now();
        if (!encoder.encode(still.data(), kWidth, pitch, kHeight, format, TJSAMP_420, 80, error))
            fail(error);
        auto encoded = Clock::now();
        if (!screen.capture(picture, error))
            fail(error);
        auto captured = Clock::now();
        // As the host does: an unchanged screen is not encoded again.
        if (picture.changed && !encoder.encode(picture.pixels, picture.width, picture.pitch, picture.height,
                                               picture.pixelFormat, TJSAMP_420, 80, error))
            fail(error);
        unchanged += !picture.changed;
        auto done = Clock::now();
        encodeOnly.push_back(std::chrono::duration<double, std::milli>(encoded - start).count());
        captureOnly.push_back(std::chrono::duration<double, std::milli>(captured - encoded).count());
        both.push_back(std::chrono::duration<double, std::milli>(done - encoded).count());
    }
    double e = median(encodeOnly), c = median(captureOnly), b = median(both);
    std::printf("%-34s encode alone %5.2f ms | capture %5.2f ms | capture+encode %5.2f ms | ratio %.3f | "
                "unchanged %d of %d\n",
                label, e, c, b, b / e, unchanged, kRounds);
}

// A whole frame as the host makes one: the capture hands the rows over as they arrive
// (strips through MIT-SHM), they are scaled on this thread and encoded on the stream's.
void streamedFrame(XDisplay& screen, FrameStream& stream, JpegEncoder& encoder, PictureScaler& scaler,
                   std::vector<uint8_t>& scaled, int screenWidth, int screenHeight, int width, int height)
{
    FrameStream::Target target{screenWidth, screenHeight, width, height, nullptr, TJSAMP_420, 80};
    if (width != screenWidth) {
        scaled.resize(size_t(width) * 4 * size_t(height));
        target.scaled = scaled.data();
    }
    stream.arm(target, encoder, scaler);
    screen.listenToRows(&stream);
    ScreenPicture picture;
    std::string error;
    bool captured = screen.capture(picture, error);
    if (!stream.finish(error) || !captured)
        fail("no streamed frame: " + error);
    screen.listenToRows(nullptr);
}

// The whole screen read and encoded every frame, as without XDamage: a 1920x1080 screen,
// and a 3840x2160 one scaled to 1920x1080 (exactly half, and 66 %'s fractional path,
// 2534x1425). First each step after the other (as before frames were made while the
// screen is read: the baseline), then as the host makes whole frames now.
void measureScaled(const PrivateXvfb& small, const PrivateXvfb& large)
{
    XDisplay smallScreen, largeScreen;
    std::string error;
    if (!smallScreen.open(small.name(), true, false, error) || !largeScreen.open(large.name(), true, false, error))
        fail(error);
    JpegEncoder encoder;
    PictureScaler scaler;
    FrameStream stream;
    std::vector<uint8_t> half(size_t(kWidth) * kHeight * 4), third(size_t(2534) * 1425 * 4), scaled;
    std::vector<double> plain, scaledHalf, scaledOnly, largeCapture, copied, streamPlain, streamHalf, streamThird;
    std::vector<uint8_t> copy;
    size_t plainBytes = 0, halfBytes = 0, streamPlainBytes = 0, streamHalfBytes = 0, thirdBytes = 0;
    ScreenPicture picture;
    auto millisecondsSince = [](Clock::time_point start) {
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    for (int round = 0; round < kRounds; ++round) {
        auto start = Clock::now();
        if (!smallScreen.capture(picture, error) ||
            !encoder.encode(picture.pixels, picture.width, picture.pitch, picture.height, picture.pixelFormat,
                            TJSAMP_420, 80, error))
            fail(error);
        plain.push_back(millisecondsSince(start));
        plainBytes += encoder.size();

        start = Clock::now();
        if (!largeScreen.capture(picture, error))
            fail(error);
        auto scaleStart = Clock::now();
        largeCapture.push_back(std::chrono::duration<double, std::milli>(scaleStart - start).count());
        scaler.scale(picture.pixels, picture.width, picture.height, picture.pitch, half.data(), kWidth, kHeight,
                     kWidth * 4, {0, 0, kWidth, kHeight});
        scaledOnly.push_back(millisecondsSince(scaleStart));
        if (!encoder.encode(half.data(), kWidth, kWidth * 4, kHeight, picture.pixelFormat, TJSAMP_420, 80, error))
            fail(error);
        scaledHalf.push_back(millisecondsSince(start));
        halfBytes += encoder.size();
        // The floor for any filter: reading the captured screen once.
        auto copyStart = Clock::now();
        copy.assign(picture.pixels, picture.pixels + size_t(picture.pitch) * size_t(picture.height));
        copied.push_back(millisecondsSince(copyStart));

        start = Clock::now();
        streamedFrame(smallScreen, stream, encoder, scaler, scaled, kWidth, kHeight, kWidth, kHeight);
        streamPlain.push_back(millisecondsSince(start));
        streamPlainBytes += encoder.size();
        start = Clock::now();
        streamedFrame(largeScreen, stream, encoder, scaler, scaled, 2 * kWidth, 2 * kHeight, kWidth, kHeight);
        streamHalf.push_back(millisecondsSince(start));
        streamHalfBytes += encoder.size();
        start = Clock::now();
        streamedFrame(largeScreen, stream, encoder, scaler, scaled, 2 * kWidth, 2 * kHeight, 2534, 1425);
        streamThird.push_back(millisecondsSince(start));
        thirdBytes += encoder.size();
    }
    double p = median(plain), h = median(scaledHalf), s = median(scaledOnly);
    double sp = median(streamPlain), sh = median(streamHalf), st = median(streamThird);
    std::printf("one step after the other:\n");
    std::printf("  1920x1080 capture+encode                     %6.2f ms | %7zu bytes a frame\n", p,
                plainBytes / kRounds);
    std::printf("  3840x2160 capture+scale+encode to 1920x1080  %6.2f ms (capture %5.2f ms, scale %5.2f ms, "
                "a copy of the screen %5.2f ms) | ratio %.3f time, %.3f bytes\n",
                h, median(largeCapture), s, median(copied), h / p, double(halfBytes) / double(plainBytes));
    std::printf("as the host makes whole frames (read in strips, scaled and encoded as they come):\n");
    std::printf("  1920x1080                                    %6.2f ms | %7zu bytes a frame | %.3f of the above\n",
                sp, streamPlainBytes / kRounds, sp / p);
    std::printf("  3840x2160 to 1920x1080                       %6.2f ms | %7zu bytes a frame | ratio %.3f time, "
                "%.3f bytes (%.3f of one-after-the-other 1920x1080)\n",
                sh, streamHalfBytes / kRounds, sh / sp, double(streamHalfBytes) / double(streamPlainBytes), sh / p);
    std::printf("  3840x2160 to 2534x1425 (66 %%)               %6.2f ms | %7zu bytes a frame | ratio %.3f time\n",
                st, thirdBytes / kRounds, st / sp);
}

}  // namespace

int main()
{
    PrivateXvfb xvfb(kWidth, kHeight);
    if (!xvfb.display())
        fail("cannot start Xvfb");
    Window desktop = paintDesktop(xvfb.display());
    std::printf("tavimo-host capture on a %dx%d Xvfb\n", kWidth, kHeight);
    std::printf("q80 4:2:0, medians of %d interleaved rounds\n", kRounds);
    measure(xvfb, desktop, "shm, whole screen every frame", true, false, false);
    measure(xvfb, desktop, "getimage, whole screen every frame", false, false, false);
    measure(xvfb, desktop, "shm+damage, a strip changes", true, true, true);
    measure(xvfb, desktop, "shm+damage, nothing changes", true, true, false);

    PrivateXvfb large(2 * kWidth, 2 * kHeight);
    if (!large.display())
        fail("cannot start Xvfb");
    paintDesktop(large.display(), 2);
    std::printf("\n--scale: whole screen every frame (shm), q80 4:2:0, medians of %d interleaved rounds\n",
                kRounds);
    measureScaled(xvfb, large);
    return 0;
}
