// tavimo-host's GNOME backend next to its X backend, in one run and at one screen size: a
// private Xvfb shared with --backend x11, then a private headless mutter shared with
// --backend gnome (argv[1]: the host, a Release build). A client of the bench's own fills
// the whole screen with one colour on command (on X the root window, on Wayland a
// fullscreen xdg-shell window of wl_shm buffers), and the bench is the viewer, lock-step
// on loopback:
//   idle: 10 s of a still screen with a request outstanding: bytes received, host CPU;
//   flip latency: from the commit of a new colour to the decoded frame that shows it whole;
//   full screen: 60 flips a second for 10 s, frames taken as they come: frames/s, host CPU.
// The display server's own CPU (Xvfb, mutter) is printed beside the host's: without a GPU
// mutter composites and reads back in software, and that shows in its figures, not the
// host's. GNOME's figures are then set against X's. Run by scripts/bench.sh (`wayland`).
#include <X11/Xlib.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

#include "tests/support/decoded_frame.h"
#include "tests/support/private_wayland.h"
#include "tests/support/private_xvfb.h"
#include "tests/support/session_peer.h"
#include "tests/support/wayland_loop.h"
#include "xdg-shell-client-protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
using Flip = std::function<void(uint32_t)>;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFlips = 30;
constexpr auto kFlipSpacing = std::chrono::milliseconds(300);
constexpr auto kIdle = std::chrono::seconds(10);
constexpr auto kBusy = std::chrono::seconds(10);
constexpr auto kBusyFlipEvery = std::chrono::microseconds(16667);
constexpr uint32_t kColours[] = {0xC02020, 0x20C020, 0x2020C0, 0xE0E0E0, 0x202020, 0xC0C020, 0x20C0C0};
constexpr size_t kColourCount = sizeof kColours / sizeof kColours[0];
// Pixels of a frame that may be off its colour: the pointer drawn in.
constexpr int kPointerPixels = 64 * 64;

// Any event the bench has no use for: libwayland aborts on a missing handler.
constexpr auto kIgnored = [](void*, auto...) {};

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "wayland_bench: %s\n", what.c_str());
    std::exit(1);
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// User and system time of a process so far, from /proc/PID/stat.
double cpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    size_t end = stat.rfind(')');  // the name may hold spaces
    if (end == std::string::npos)
        fail("cannot read the host's CPU time");
    std::istringstream fields(stat.substr(end + 1));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)  // utime and stime are fields 14 and 15
        ticks += i >= 14 ? std::stod(field) : 0;
    return ticks / double(sysconf(_SC_CLK_TCK));
}

// A process's CPU time from now on, as % of a core.
struct CpuMeter {
    explicit CpuMeter(pid_t of) : pid(of), cpu(cpuSeconds(of)) {}
    double percent() const { return 100 * (cpuSeconds(pid) - cpu) / seconds(Clock::now() - start); }
    pid_t pid;
    double cpu;
    Clock::time_point start = Clock::now();
};

// This process's child of that name (the Xvfb or mutter of a private desktop).
pid_t childNamed(const std::string& name)
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        if (entry.path().filename().string().find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(in)), {});
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || stat.compare(open + 1, close - open - 1, name))
            continue;
        std::istringstream fields(stat.substr(close + 1));
        std::string state;
        pid_t parent = 0;
        if (fields >> state >> parent && parent == getpid())
            return pid_t(std::stoi(entry.path().filename()));
    }
    fail("no " + name + " of this benchmark's");
}

// The whole root window in one colour.
class XFlipper {
public:
    explicit XFlipper(Display* display) : display_(display), gc_(XCreateGC(display, DefaultRootWindow(display), 0, nullptr)) {}
    ~XFlipper() { XFreeGC(display_, gc_); }
    void flip(uint32_t rgb)
    {
        XSetForeground(display_, gc_, rgb);
        XFillRectangle(display_, DefaultRootWindow(display_), gc_, 0, 0, kWidth, kHeight);
        XFlush(display_);
    }

private:
    Display* display_;
    GC gc_;
};

// A fullscreen xdg-shell window of one colour, drawn into the first of three wl_shm
// buffers the compositor has released; events are read on a thread of its own, flips come
// from one other thread at a time.
class WaylandFlipper {
public:
    explicit WaylandFlipper(const char* name) : display_(wl_display_connect(name))
    {
        if (!display_)
            fail(std::string("cannot connect to the Wayland display ") + name);
        wl_registry* registry = wl_display_get_registry(display_);
        wl_registry_add_listener(registry, &kRegistry, this);
        wl_display_roundtrip(display_);
        if (!compositor_ || !shm_ || !shell_)
            fail("the compositor lacks wl_compositor, wl_shm or xdg_wm_base");
        makeBuffers();
        surface_ = wl_compositor_create_surface(compositor_);
        xdg_surface* window = xdg_wm_base_get_xdg_surface(shell_, surface_);
        xdg_surface_add_listener(window, &kWindow, this);
        xdg_toplevel* toplevel = xdg_surface_get_toplevel(window);
        xdg_toplevel_add_listener(toplevel, &kToplevel, this);
        xdg_toplevel_set_fullscreen(toplevel, nullptr);
        wl_surface_commit(surface_);
        for (auto until = Clock::now() + std::chrono::seconds(30); !configured_ && Clock::now() < until;)
            if (wl_display_roundtrip(display_) < 0)
                break;
        if (!configured_)
            fail("the compositor did not make the window fullscreen at the screen's size");
        thread_ = std::thread([this] { run(); });
    }
    ~WaylandFlipper()
    {
        stop_ = true;
        thread_.join();
        wl_display_disconnect(display_);
        munmap(pixels_, kBuffers * kBytes);
    }

    void flip(uint32_t rgb)
    {
        Buffer* free = nullptr;
        while (!(free = freeBuffer()))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::fill(free->pixels, free->pixels + kWidth * kHeight, 0xFF000000 | rgb);
        wl_surface_attach(surface_, free->buffer, 0, 0);
        wl_surface_damage_buffer(surface_, 0, 0, kWidth, kHeight);
        wl_surface_commit(surface_);
        wl_display_flush(display_);
    }

private:
    static constexpr int kBuffers = 3;
    static constexpr size_t kBytes = size_t(kWidth) * kHeight * 4;
    struct Buffer {
        wl_buffer* buffer = nullptr;
        uint32_t* pixels = nullptr;
        std::atomic<bool> busy{false};
    };

    void makeBuffers()
    {
        int fd = memfd_create("flipper", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, off_t(kBuffers * kBytes)) != 0)
            fail("cannot make the window's buffers");
        void* mapped = mmap(nullptr, kBuffers * kBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED)
            fail("cannot map the window's buffers");
        pixels_ = static_cast<uint32_t*>(mapped);
        wl_shm_pool* pool = wl_shm_create_pool(shm_, fd, int(kBuffers * kBytes));
        for (int i = 0; i < kBuffers; ++i) {
            buffers_[i].pixels = pixels_ + i * kBytes / 4;
            buffers_[i].buffer = wl_shm_pool_create_buffer(pool, int(i * kBytes), kWidth, kHeight, kWidth * 4,
                                                           WL_SHM_FORMAT_XRGB8888);
            wl_buffer_add_listener(buffers_[i].buffer, &kBuffer, &buffers_[i]);
        }
        wl_shm_pool_destroy(pool);
        close(fd);
    }
    Buffer* freeBuffer()
    {
        for (Buffer& b : buffers_)
            if (!b.busy.exchange(true))
                return &b;
        return nullptr;
    }
    void run() { runWaylandEvents(display_, stop_); }

    static WaylandFlipper* of(void* data) { return static_cast<WaylandFlipper*>(data); }
    static const wl_registry_listener kRegistry;
    static const xdg_wm_base_listener kShell;
    static const xdg_toplevel_listener kToplevel;
    static const xdg_surface_listener kWindow;
    static const wl_buffer_listener kBuffer;

    wl_display* display_;
    wl_compositor* compositor_ = nullptr;
    wl_shm* shm_ = nullptr;
    xdg_wm_base* shell_ = nullptr;
    wl_surface* surface_ = nullptr;
    uint32_t* pixels_ = nullptr;
    Buffer buffers_[kBuffers];
    bool fullscreen_ = false;
    bool configured_ = false;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

const wl_registry_listener WaylandFlipper::kRegistry = {
    [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
        WaylandFlipper* f = of(data);
        if (std::strcmp(interface, "wl_compositor") == 0)
            f->compositor_ = static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
        else if (std::strcmp(interface, "wl_shm") == 0)
            f->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
        else if (std::strcmp(interface, "xdg_wm_base") == 0) {
            f->shell_ = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
            xdg_wm_base_add_listener(f->shell_, &kShell, f);
        }
    },
    kIgnored,
};
const xdg_wm_base_listener WaylandFlipper::kShell = {
    [](void*, xdg_wm_base* shell, uint32_t serial) { xdg_wm_base_pong(shell, serial); }};
const xdg_toplevel_listener WaylandFlipper::kToplevel = {
    [](void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
        of(data)->fullscreen_ = width == kWidth && height == kHeight;
    },
    kIgnored, kIgnored, kIgnored,
};
const xdg_surface_listener WaylandFlipper::kWindow = {[](void* data, xdg_surface* window, uint32_t serial) {
    xdg_surface_ack_configure(window, serial);
    WaylandFlipper* f = of(data);
    if (f->fullscreen_ && !f->configured_)
        f->configured_ = true, f->flip(kColours[kColourCount - 1]);
}};
const wl_buffer_listener WaylandFlipper::kBuffer = {
    [](void* data, wl_buffer*) { static_cast<Buffer*>(data)->busy = false; }};

// Whether the frame is the screen's size and all in that colour but for the pointer.
bool showsColour(const Bytes& jpeg, uint32_t rgb)
{
    DecodedFrame picture(jpeg);
    if (picture.width != kWidth || picture.height != kHeight)
        return false;
    int off = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            off += !picture.near(x, y, rgb);
    return off <= kPointerPixels;
}

// With a request outstanding: frames until one shows the colour, at most 20; the request
// is answered then.
bool framesUntilColour(int frame, uint32_t rgb)
{
    for (int i = 0; i < 20; ++i) {
        Bytes body = finishFrame(frame);
        if (body.empty())
            fail("the host's frame did not arrive");
        if (showsColour(body, rgb))
            return true;
        if (!sendControl(frame, MSG_NEXT_FRAME))
            fail("the host closed the frame connection");
    }
    return false;
}

struct Figures {
    size_t idleBytes = 0;
    double idleCpu = 0, idleCompositorCpu = 0;  // % of a core
    double flipMedian = 0, flipP90 = 0;  // ms
    double fps = 0, busyCpu = 0, busyCompositorCpu = 0;
    double cpuPerFrame() const { return fps > 0 ? busyCpu / fps : 0; }  // % of a core per frame/s
};

// Frames taken until none comes for a second (the desktop settled); a request is then
// outstanding.
void settle(int frame)
{
    for (int i = 0; i < 50; ++i) {
        if (!sendControl(frame, MSG_NEXT_FRAME))
            fail("the host closed the frame connection");
        if (!readable(frame, 1000))
            return;
        if (finishFrame(frame).empty())
            fail("the host's frame did not arrive");
    }
    fail("the screen did not settle: frames kept coming");
}

void measureIdle(PeerProcess& host, pid_t compositor, int frame, Figures& out)
{
    settle(frame);
    CpuMeter hostCpu(host.pid()), compositorCpu(compositor);
    std::this_thread::sleep_for(kIdle);
    int waiting = 0;
    ioctl(frame, FIONREAD, &waiting);
    out.idleCpu = hostCpu.percent();
    out.idleCompositorCpu = compositorCpu.percent();
    out.idleBytes = size_t(waiting);
    if (waiting > 0) {  // a frame for a still screen: it counts whole
        out.idleBytes = kFrameHeaderSize + finishFrame(frame).size();
        if (!sendControl(frame, MSG_NEXT_FRAME))
            fail("the host closed the frame connection");
    }
}

void measureFlips(int frame, const Flip& flip, Figures& out)
{
    std::vector<double> ms;
    for (int i = 1; i <= kFlips; ++i) {
        std::this_thread::sleep_for(kFlipSpacing);
        uint32_t rgb = kColours[i % kColourCount];
        flip(rgb);
        auto start = Clock::now();
        if (!framesUntilColour(frame, rgb))
            fail("no frame showed the new colour");
        ms.push_back(1000 * seconds(Clock::now() - start));
        if (!sendControl(frame, MSG_NEXT_FRAME))
            fail("the host closed the frame connection");
    }
    std::sort(ms.begin(), ms.end());
    out.flipMedian = ms[ms.size() / 2];
    out.flipP90 = ms[size_t(std::ceil(0.9 * double(ms.size()))) - 1];
}

void measureBusy(PeerProcess& host, pid_t compositor, int frame, const Flip& flip, Figures& out)
{
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        auto next = Clock::now();
        for (size_t i = 0; !stop; ++i) {
            flip(kColours[i % kColourCount]);
            std::this_thread::sleep_until(next += kBusyFlipEvery);
        }
    });
    int frames = 0;
    CpuMeter hostCpu(host.pid()), compositorCpu(compositor);
    auto start = Clock::now();
    for (; Clock::now() - start < kBusy; ++frames)
        if (finishFrame(frame).empty() || !sendControl(frame, MSG_NEXT_FRAME))
            fail("the host's frame did not arrive");
    double elapsed = seconds(Clock::now() - start);
    out.busyCpu = hostCpu.percent();
    out.busyCompositorCpu = compositorCpu.percent();
    out.fps = frames / elapsed;
    stop = true;
    flipper.join();
}

Figures measure(const char* label, PeerProcess& host, const char* compositorName, const Flip& flip)
{
    if (!host.waitReady())
        fail(std::string(label) + ": the host did not start");
    int frame = host.connect(kFramePort);
    if (frame < 0 || host.connect(kInputPort) < 0 || !sendControl(frame, MSG_NEXT_FRAME))
        fail(std::string(label) + ": cannot connect to the host");
    flip(kColours[0]);
    if (!framesUntilColour(frame, kColours[0]))
        fail(std::string(label) + ": the host's frames do not show the screen");
    Figures out;
    pid_t compositor = childNamed(compositorName);
    measureIdle(host, compositor, frame, out);
    std::printf("%-6s idle %llds:        %zu bytes, host CPU %.2f %% of a core (%s %.2f %%)\n", label,
                (long long)std::chrono::duration_cast<std::chrono::seconds>(kIdle).count(), out.idleBytes, out.idleCpu,
                compositorName, out.idleCompositorCpu);
    measureFlips(frame, flip, out);
    std::printf("%-6s flip latency:    median %.1f ms, p90 %.1f ms (%d flips)\n", label, out.flipMedian, out.flipP90,
                kFlips);
    measureBusy(host, compositor, frame, flip, out);
    std::printf("%-6s full screen:     %.1f frames/s, host CPU %.1f %% of a core, %.2f %% per frame/s "
                "(%.2f ms CPU a frame; %s %.0f %%)\n",
                label, out.fps, out.busyCpu, out.cpuPerFrame(), 10 * out.cpuPerFrame(), compositorName,
                out.busyCompositorCpu);
    return out;
}

Figures onX(const std::string& hostProgram)
{
    PrivateXvfb xvfb(kWidth, kHeight);
    if (!xvfb.display())
        fail("Xvfb did not start");
    XFlipper flipper(xvfb.display());
    PeerProcess host(hostProgram, {"--backend", "x11", "--display", xvfb.name()});
    return measure("x11", host, "Xvfb", [&](uint32_t rgb) { flipper.flip(rgb); });
}

Figures onGnome(const std::string& hostProgram)
{
    PrivateWayland gnome({"dbus-daemon", "pipewire", "wireplumber", "mutter", "gdbus"});
    if (!gnome.missing.empty())
        fail(gnome.missing + " is not installed: run scripts/setup.sh");
    PrivateWayland::gnome(gnome, std::to_string(kWidth) + "x" + std::to_string(kHeight));
    if (!gnome.ready)
        fail("headless mutter did not start:\n" + gnome.logs());
    WaylandFlipper flipper(PrivateWayland::kWayland);
    PeerProcess host(hostProgram, {"--backend", "gnome"});
    return measure("gnome", host, "mutter", [&](uint32_t rgb) { flipper.flip(rgb); });
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        fail("usage: wayland_bench TAVIMO-HOST");
    setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is known
    double load[3] = {};
    getloadavg(load, 3);
    std::printf("wayland: tavimo-host on a %dx%d Xvfb (--backend x11), then on a %dx%d headless mutter "
                "(--backend gnome); load average %.2f %.2f %.2f\n",
                kWidth, kHeight, kWidth, kHeight, load[0], load[1], load[2]);
    Figures x = onX(argv[1]);
    Figures gnome = onGnome(argv[1]);
    getloadavg(load, 3);
    std::printf("gnome against x11 (load average now %.2f %.2f %.2f):\n", load[0], load[1], load[2]);
    std::printf("  idle: %zu bytes, host CPU %.2f %% of a core (target 0 bytes, at most 1 %%): %s\n", gnome.idleBytes,
                gnome.idleCpu, verdict(gnome.idleBytes == 0 && gnome.idleCpu <= 1));
    std::printf("  flip latency: median %+.1f ms, p90 %+.1f ms against x11 (target at most +10 ms): %s\n",
                gnome.flipMedian - x.flipMedian, gnome.flipP90 - x.flipP90,
                verdict(gnome.flipMedian <= x.flipMedian + 10));
    std::printf("  CPU per full-screen frame: %.2f times x11's (target at most 1.25): %s\n",
                gnome.cpuPerFrame() / x.cpuPerFrame(), verdict(gnome.cpuPerFrame() <= 1.25 * x.cpuPerFrame()));
    return 0;
}
