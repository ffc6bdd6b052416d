// One scenario of the pair benchmark (scripts/bench.sh pair): it puts a picture, and what
// changes on it, on the remote X screen that the host shares, and prints one line. Bytes
// and frames per second come from pair_relay's frame log, CPU from /proc, latency from
// polling the viewer's X screen.
//
//   pair_probe SCENARIO LABEL REMOTE_DISPLAY VIEWER_DISPLAY FRAME_LOG
//              HOST_PID TAVIMO_PID WINESERVER_PID VIEWER_X_PID
//
//   idle    a still photo-like 1920x1080 picture
//   strip   a 300x40 terminal-like line on it, changing every 100 ms
//   flip    a 200x200 square changing colour at random 150-400 ms intervals: the time until
//           the viewer's screen shows each change
//   click   a 200x200 square of the probe's own that takes the next colour when it is
//           pressed, clicked through the viewer's window (XTest on the viewer's display):
//           the time from the button's release until the viewer's screen shows the colour
//   full    two full-screen pictures alternating up to 50 times a second
//   settle  full, then the screen goes still: the time until the first frame after a pause
//           of more than 200 ms (the sharpening frame) has arrived
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr auto kWarmUp = 3s;
constexpr auto kWindow = 10s;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "pair_probe: %s\n", what.c_str());
    std::exit(1);
}

int64_t nanos(Clock::time_point at)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

double milliseconds(Clock::duration span)
{
    return std::chrono::duration<double, std::milli>(span).count();
}

struct Setup {
    std::string label;
    std::string remoteName;
    Display* remote;
    Display* viewer;
    std::string frameLog;
    int host, tavimo, wineserver, viewerX;
};

// User plus system time a process has used, in seconds; 0 when it is not there.
double cpuSeconds(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    size_t name = stat.rfind(')');
    if (name == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(name + 1));
    std::string skipped;
    for (int field = 3; field <= 13; ++field)  // state .. cmajflt
        fields >> skipped;
    unsigned long long user = 0, system = 0;
    fields >> user >> system;
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

// pair_relay's lines: header and end times (steady clock, ns) and bytes on the wire.
struct Frame {
    int64_t start, end, bytes;
};

std::vector<Frame> readFrames(const std::string& path)
{
    std::ifstream in(path);
    std::vector<Frame> frames;
    for (Frame frame; in >> frame.start >> frame.end >> frame.bytes;)
        frames.push_back(frame);
    return frames;
}

uint32_t channelDistance(unsigned long a, unsigned long b)
{
    uint32_t most = 0;
    for (int shift = 0; shift < 24; shift += 8)
        most = std::max<uint32_t>(most, uint32_t(std::abs(int((a >> shift) & 255) - int((b >> shift) & 255))));
    return most;
}

// Smooth colour fields with a little grain, like a photograph; `variant` shifts the fields
// for a second, entirely different picture.
Pixmap photo(Display* display, int variant)
{
    Window root = DefaultRootWindow(display);
    XImage* image = XCreateImage(display, DefaultVisual(display, 0), 24, ZPixmap, 0,
                                 static_cast<char*>(std::malloc(size_t(kWidth) * kHeight * 4)), kWidth, kHeight, 32, 0);
    uint32_t noise = 12345u + uint32_t(variant);
    double phase = variant * 2.1;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            noise = noise * 1664525u + 1013904223u;
            double u = x / 310.0, v = y / 230.0, grain = double(noise >> 28) - 7.5;
            double fields[3] = {std::sin(u + phase) * std::cos(v * 0.7), std::sin(v + 0.5 * u + phase * 1.3),
                                std::cos(u * 0.6 - v + phase)};
            unsigned long pixel = 0;
            for (double field : fields)
                pixel = pixel << 8 | unsigned(std::clamp(128 + 90 * field + grain, 0.0, 255.0));
            XPutPixel(image, x, y, pixel);
        }
    Pixmap pixmap = XCreatePixmap(display, root, kWidth, kHeight, unsigned(DefaultDepth(display, 0)));
    XPutImage(display, pixmap, DefaultGC(display, 0), image, 0, 0, 0, 0, kWidth, kHeight);
    XDestroyImage(image);
    return pixmap;
}

Window overlay(Display* display, int x, int y, int width, int height)
{
    XSetWindowAttributes attributes;
    attributes.override_redirect = True;
    attributes.background_pixel = 0;
    Window window = XCreateWindow(display, DefaultRootWindow(display), x, y, unsigned(width), unsigned(height), 0,
                                  CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel,
                                  &attributes);
    XMapRaised(display, window);
    return window;
}

void paint(Display* display, Window window, unsigned long colour)
{
    XSetWindowBackground(display, window, colour);
    XClearWindow(display, window);
    XSync(display, False);
}

// The remote screen's full-screen picture: one of two photos, switched on the server.
struct Backdrop {
    Display* display;
    Window window;
    Pixmap photos[2];
    int shown = 0;

    explicit Backdrop(Display* remote)
        : display(remote), window(overlay(remote, 0, 0, kWidth, kHeight)), photos{photo(remote, 0), photo(remote, 1)}
    {
        show(0);
    }
    void show(int which)
    {
        shown = which;
        XSetWindowBackgroundPixmap(display, window, photos[which]);
        XClearWindow(display, window);
        XSync(display, False);
    }
};

// Runs `step` every `period` until `until`, and says how often it ran; a step that runs
// late is not made up for.
int animate(Clock::time_point until, Clock::duration period, const std::function<void()>& step)
{
    int steps = 0;
    for (Clock::time_point next = Clock::now() + period; next < until; next = std::max(next + period, Clock::now())) {
        std::this_thread::sleep_until(next);
        step();
        ++steps;
    }
    std::this_thread::sleep_until(until);
    return steps;
}

struct Usage {
    double bytesPerSecond = 0, framesPerSecond = 0, stepsPerSecond = 0;
    double host = 0, tavimo = 0, viewerSide = 0;  // % of one core
};

// A warm-up, then the measured window, `step` running all along.
Usage measure(const Setup& setup, Clock::duration period, const std::function<void()>& step)
{
    animate(Clock::now() + kWarmUp, period, step);
    int pids[] = {setup.host, setup.tavimo, setup.wineserver, setup.viewerX};
    double before[4], after[4];
    Clock::time_point start = Clock::now();
    for (int i = 0; i < 4; ++i)
        before[i] = cpuSeconds(pids[i]);
    int steps = animate(start + kWindow, period, step);
    Clock::time_point end = Clock::now();
    for (int i = 0; i < 4; ++i)
        after[i] = cpuSeconds(pids[i]);

    double seconds = std::chrono::duration<double>(end - start).count();
    Usage usage;
    usage.stepsPerSecond = steps / seconds;
    for (const Frame& frame : readFrames(setup.frameLog))
        if (frame.end > nanos(start) && frame.end <= nanos(end)) {
            usage.bytesPerSecond += double(frame.bytes) / seconds;
            usage.framesPerSecond += 1 / seconds;
        }
    auto percent = [&](int i) { return (after[i] - before[i]) * 100 / seconds; };
    usage.host = percent(0);
    usage.tavimo = percent(1);
    usage.viewerSide = percent(1) + percent(2) + percent(3);
    return usage;
}

void printUsage(const Setup& setup, const Usage& usage, const std::string& more = "")
{
    std::printf("%s: %.1f kB/s to the viewer, %.1f frames/s; CPU %% of a core: host %.1f, Tavimo %.1f, "
                "Tavimo+wineserver+Xvfb %.1f%s\n",
                setup.label.c_str(), usage.bytesPerSecond / 1000, usage.framesPerSecond, usage.host, usage.tavimo,
                usage.viewerSide, more.c_str());
}

void idle(const Setup& setup)
{
    Backdrop backdrop(setup.remote);
    printUsage(setup, measure(setup, 100ms, [] {}));
}

void strip(const Setup& setup)
{
    Display* display = setup.remote;
    Backdrop backdrop(display);
    Window line = overlay(display, 760, 520, 300, 40);
    XGCValues values;
    values.foreground = 0xE0E0E0;
    GC gc = XCreateGC(display, line, GCForeground, &values);
    int count = 0;
    Usage usage = measure(setup, 100ms, [&] {
        ++count;
        XSetWindowBackground(display, line, count % 2 ? 0x1E2430 : 0x242A36);
        XClearWindow(display, line);
        std::string text = "$ make -j2   [" + std::to_string(count * 7919 % 100000) + "] step " +
                           std::to_string(count);
        XDrawString(display, line, gc, 8, 26, text.c_str(), int(text.size()));
        XSync(display, False);
    });
    // Each change is a frame of its own when every change is shown.
    char shown[96];
    std::snprintf(shown, sizeof shown, "; changes reaching the viewer: %.1f frames/s for %.1f changes/s",
                  usage.framesPerSecond, usage.stepsPerSecond);
    printUsage(setup, usage, shown);
}

// The 90th percentile of sorted values: the smallest that at least 90 % do not exceed.
double ninetieth(const std::vector<double>& sorted)
{
    return sorted[(sorted.size() * 9 + 9) / 10 - 1];
}

unsigned long viewerPixel(Display* viewer, int x, int y)
{
    XImage* image = XGetImage(viewer, DefaultRootWindow(viewer), x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image)
        fail("cannot read the viewer's screen");
    unsigned long pixel = XGetPixel(image, 0, 0) & 0xFFFFFF;
    XDestroyImage(image);
    return pixel;
}

XImage* viewerScreen(Display* viewer)
{
    Window root = DefaultRootWindow(viewer);
    return XGetImage(viewer, root, 0, 0, unsigned(DisplayWidth(viewer, 0)), unsigned(DisplayHeight(viewer, 0)),
                     AllPlanes, ZPixmap);
}

// Where the square shows on the viewer's screen: the middle of the pixels that changed to
// its colour since `before`.
bool findSquare(Display* viewer, XImage* before, unsigned long colour, int& atX, int& atY)
{
    XImage* now = viewerScreen(viewer);
    int left = now->width, top = now->height, right = -1, bottom = -1, count = 0;
    for (int y = 0; y < now->height; ++y)
        for (int x = 0; x < now->width; ++x) {
            unsigned long pixel = XGetPixel(now, x, y) & 0xFFFFFF;
            if (channelDistance(pixel, colour) < 48 && channelDistance(pixel, XGetPixel(before, x, y)) >= 48) {
                left = std::min(left, x), right = std::max(right, x);
                top = std::min(top, y), bottom = std::max(bottom, y);
                ++count;
            }
        }
    XDestroyImage(now);
    atX = (left + right) / 2;
    atY = (top + bottom) / 2;
    return count > 150 * 150 && right - left < 220 && bottom - top < 220;
}

void flip(const Setup& setup)
{
    // Consecutive colours differ fully in at least one channel.
    const unsigned long colours[] = {0xFF0000, 0x00FFFF, 0xFFFF00, 0x0000FF, 0x00FF00, 0xFF00FF};
    constexpr int kFlips = 40;
    Backdrop backdrop(setup.remote);
    std::this_thread::sleep_for(kWarmUp);
    XImage* before = viewerScreen(setup.viewer);
    Window square = overlay(setup.remote, 100, 100, 200, 200);
    paint(setup.remote, square, 0xFFFFFF);
    int x = 0, y = 0;
    Clock::time_point giveUp = Clock::now() + 15s;
    while (!findSquare(setup.viewer, before, 0xFFFFFF, x, y)) {
        if (Clock::now() > giveUp)
            fail("the square never showed on the viewer's screen");
        std::this_thread::sleep_for(100ms);
    }
    XDestroyImage(before);

    std::mt19937 random(7);
    std::uniform_int_distribution<int> interval(150, 400);
    std::vector<double> latencies;
    int missed = 0;
    for (int i = 0; i < kFlips; ++i) {
        unsigned long colour = colours[i % 6];
        paint(setup.remote, square, colour);
        Clock::time_point changed = Clock::now();
        Clock::time_point seen;
        while (channelDistance(viewerPixel(setup.viewer, x, y), colour) >= 48 && Clock::now() - changed < 3s)
            std::this_thread::sleep_for(500us);
        seen = Clock::now();
        if (seen - changed < 3s)
            latencies.push_back(milliseconds(seen - changed));
        else
            ++missed;
        std::this_thread::sleep_until(changed + std::chrono::milliseconds(interval(random)));
    }
    if (latencies.empty())
        fail("the viewer showed none of the changes");
    std::sort(latencies.begin(), latencies.end());
    double p90 = ninetieth(latencies);
    std::string misses = missed ? ", " + std::to_string(missed) + " not shown within 3 s" : "";
    std::printf("%s: median %.1f ms, p90 %.1f ms over %zu changes (square at %d,%d on the viewer's screen)%s\n",
                setup.label.c_str(), latencies[latencies.size() / 2], p90, latencies.size(), x, y, misses.c_str());
}

// The click scenario's square: a window of the probe's own on the remote screen, on a
// connection and a thread of its own so that it answers a press at once, whatever the
// probe is doing. Each ButtonPress paints it the next of kClickColours.
const unsigned long kClickColours[] = {0xFF0000, 0x00FFFF, 0xFFFF00, 0x0000FF, 0x00FF00, 0xFF00FF};

class ClickTarget {
public:
    explicit ClickTarget(const std::string& remoteName)
    {
        display_ = XOpenDisplay(remoteName.c_str());
        if (!display_)
            fail("cannot open the remote display for the click target");
        window_ = overlay(display_, 100, 100, 200, 200);
        XSelectInput(display_, window_, ButtonPressMask);
        paint(display_, window_, 0xFFFFFF);
        thread_ = std::thread([this] { run(); });
    }
    ~ClickTarget()
    {
        stop_ = true;
        thread_.join();
        XCloseDisplay(display_);
    }
    int presses() const { return presses_; }
    Clock::time_point lastPress() const { return Clock::time_point(Clock::duration(lastPress_.load())); }

private:
    void run()
    {
        pollfd events = {ConnectionNumber(display_), POLLIN, 0};
        while (!stop_) {
            if (!XPending(display_)) {
                poll(&events, 1, 50);
                continue;
            }
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type != ButtonPress)
                continue;
            lastPress_ = Clock::now().time_since_epoch().count();
            paint(display_, window_, kClickColours[presses_ % 6]);
            ++presses_;
        }
    }

    Display* display_;
    Window window_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> presses_{0};
    std::atomic<Clock::rep> lastPress_{0};
};

void click(const Setup& setup)
{
    constexpr int kClicks = 30;
    constexpr auto kHold = 30ms;
    Backdrop backdrop(setup.remote);
    std::this_thread::sleep_for(kWarmUp);
    XImage* before = viewerScreen(setup.viewer);
    ClickTarget target(setup.remoteName);
    int x = 0, y = 0;
    Clock::time_point giveUp = Clock::now() + 15s;
    while (!findSquare(setup.viewer, before, 0xFFFFFF, x, y)) {
        if (Clock::now() > giveUp)
            fail("the click target never showed on the viewer's screen");
        std::this_thread::sleep_for(100ms);
    }
    XDestroyImage(before);

    // The host draws the remote pointer in where the click lands: the colour is read
    // from a pixel up and to the left of it, where the arrow does not reach.
    Display* viewer = setup.viewer;
    int clickX = x + 30, clickY = y + 30, readX = x - 50, readY = y - 50;
    // The pointer goes there once, unpressed, which the viewer does not forward.
    XTestFakeMotionEvent(viewer, DefaultScreen(viewer), clickX, clickY, CurrentTime);
    XSync(viewer, False);
    std::this_thread::sleep_for(300ms);

    std::mt19937 random(11);
    // Presses further apart than a double click's 500 ms, or the viewer sends the second
    // press as a double click, at once.
    std::uniform_int_distribution<int> interval(700, 1000);
    std::vector<double> latencies, pressLatencies;
    int missed = 0;
    for (int i = 0; i <= kClicks; ++i) {  // the first click is not timed: it may activate the window
        int pressesBefore = target.presses();
        unsigned long colour = kClickColours[pressesBefore % 6];
        Clock::time_point pressed = Clock::now();
        XTestFakeButtonEvent(viewer, 1, True, CurrentTime);
        XSync(viewer, False);
        std::this_thread::sleep_for(kHold);
        XTestFakeButtonEvent(viewer, 1, False, CurrentTime);
        XSync(viewer, False);
        Clock::time_point released = Clock::now();
        while (channelDistance(viewerPixel(viewer, readX, readY), colour) >= 48 && Clock::now() - released < 3s)
            std::this_thread::sleep_for(500us);
        Clock::time_point seen = Clock::now();
        if (i == 0) {
            if (seen - released >= 3s)
                fail("the first click did not reach the remote square within 3 s");
        } else if (seen - released < 3s) {
            latencies.push_back(milliseconds(seen - released));
            if (target.presses() > pressesBefore)
                pressLatencies.push_back(milliseconds(target.lastPress() - released));
        } else {
            ++missed;
        }
        std::this_thread::sleep_until(std::max(seen, pressed + std::chrono::milliseconds(interval(random))));
    }
    if (latencies.empty())
        fail("none of the clicks was shown");
    std::sort(latencies.begin(), latencies.end());
    std::sort(pressLatencies.begin(), pressLatencies.end());
    std::string misses = missed ? ", " + std::to_string(missed) + " not shown within 3 s" : "";
    char press[96] = "";
    if (!pressLatencies.empty())
        std::snprintf(press, sizeof press, "; the press reached the remote square after a median %.1f ms",
                      pressLatencies[pressLatencies.size() / 2]);
    std::printf("%s: median %.1f ms, p90 %.1f ms over %zu clicks, from the button's release (clicked at %d,%d on "
                "the viewer's screen)%s%s\n",
                setup.label.c_str(), latencies[latencies.size() / 2], ninetieth(latencies), latencies.size(), clickX,
                clickY, press, misses.c_str());
}

void full(const Setup& setup, bool settle)
{
    Backdrop backdrop(setup.remote);
    Usage usage = measure(setup, 20ms, [&] { backdrop.show(1 - backdrop.shown); });
    char changes[64];
    std::snprintf(changes, sizeof changes, "; the screen changed %.1f times/s", usage.stepsPerSecond);
    if (!settle) {
        printUsage(setup, usage, changes);
        return;
    }
    int64_t still = nanos(Clock::now());
    std::this_thread::sleep_for(5s);
    std::string sharpening = "; no frame after a pause in the 5 s after the screen went still";
    std::vector<Frame> frames = readFrames(setup.frameLog);
    for (size_t i = 1; i < frames.size(); ++i)
        // The sharp frame leaves 300 ms after the last one at the earliest, while changed
        // frames follow each other closer than 200 ms at the cap. The last changed frame
        // may still be arriving after the screen went still, later on a slow link.
        if (frames[i].start > still && frames[i].start - frames[i - 1].end > 200'000'000) {
            sharpening = "; sharpening frame " + std::to_string((frames[i].end - still) / 1'000'000) +
                         " ms after the screen went still";
            break;
        }
    printUsage(setup, usage, changes + sharpening);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 10) {
        std::fputs("usage: pair_probe idle|strip|flip|click|full|settle LABEL REMOTE_DISPLAY VIEWER_DISPLAY FRAME_LOG "
                   "HOST_PID TAVIMO_PID WINESERVER_PID VIEWER_X_PID\n",
                   stderr);
        return 2;
    }
    Setup setup = {argv[2], argv[3], XOpenDisplay(argv[3]), XOpenDisplay(argv[4]), argv[5],
                   std::atoi(argv[6]), std::atoi(argv[7]), std::atoi(argv[8]), std::atoi(argv[9])};
    if (!setup.remote || !setup.viewer)
        fail("cannot open the displays");
    std::string scenario = argv[1];
    if (scenario == "idle")
        idle(setup);
    else if (scenario == "strip")
        strip(setup);
    else if (scenario == "flip")
        flip(setup);
    else if (scenario == "click")
        click(setup);
    else if (scenario == "full" || scenario == "settle")
        full(setup, scenario == "settle");
    else
        fail("unknown scenario " + scenario);
}
