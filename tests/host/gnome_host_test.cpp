// The real tavimo-host on a GNOME session of the test's own: headless mutter on a private
// session bus with PipeWire and WirePlumber, a Wayland client of the test's showing a
// known picture fullscreen and recording what input reaches it, and the test as the viewer
// over loopback sockets.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <tuple>

#include "wire/input_wire.h"
#include "tests/support/decoded_frame.h"
#include "tests/support/session_peer.h"
#include "xdg-shell-client-protocol.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr uint32_t kPointerColour = 0xFF00FF;
constexpr int kPointerSide = 12;

// The client's picture: four quadrants, and a black square once the left button was pressed.
uint32_t knownColour(int x, int y, bool clicked)
{
    if (clicked && x >= 64 && x < 192 && y >= 64 && y < 192)
        return 0x000000;
    static const uint32_t quadrants[] = {0xC02020, 0x20C020, 0x2020C0, 0xE0E0E0};
    return quadrants[(x >= kWidth / 2) + 2 * (y >= kHeight / 2)];
}

// A session bus, PipeWire, WirePlumber and headless mutter in a runtime folder of their
// own, named in this process's environment for the host and the client; each is ended at
// the end, and killed should the test die.
class PrivateGnome {
public:
    static constexpr const char* kWayland = "tavimo-test-wayland";

    PrivateGnome()
    {
        for (const char* program : {"dbus-daemon", "pipewire", "wireplumber", "mutter", "gdbus"})
            if (missing.empty() && std::system(("command -v " + std::string(program) + " >/dev/null").c_str()) != 0)
                missing = program;
        char pattern[] = "/tmp/tavimo-gnome-XXXXXX";
        dir_ = mkdtemp(pattern) ? pattern : "/nonexistent";
        if (!missing.empty())
            return;
        for (auto [name, value] :
             {std::pair{"XDG_RUNTIME_DIR", dir_}, {"HOME", dir_}, {"GSETTINGS_BACKEND", std::string("memory")},
              {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir_ + "/bus"}, {"XDG_SESSION_TYPE", std::string("wayland")},
              {"WAYLAND_DISPLAY", std::string(kWayland)},
              // The stream may miss the last frame of a window's zoom: none, so the picture is final.
              {"MUTTER_DEBUG_DISABLE_ANIMATIONS", std::string("1")}})
            setenv(name, value.c_str(), 1);
        unsetenv("DISPLAY");
        start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + dir_ + "/bus"});
        ready_ = eventually([&] { return std::filesystem::exists(dir_ + "/bus"); });
        start({"pipewire"});
        ready_ = ready_ && eventually([&] { return std::filesystem::exists(dir_ + "/pipewire-0"); });
        start({"wireplumber"});
        start({"mutter", "--headless", "--virtual-monitor", "640x480", "--wayland", "--no-x11",
               std::string("--wayland-display=") + kWayland});
        ready_ = ready_ && eventually([] {
            bool up = std::system("gdbus introspect --session -d org.gnome.Mutter.RemoteDesktop "
                                  "-o /org/gnome/Mutter/RemoteDesktop >/dev/null 2>&1") == 0;
            if (!up)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return up;
        });
    }
    ~PrivateGnome()
    {
        for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid) {
            kill(*pid, SIGTERM);
            if (!eventually([&] { return waitpid(*pid, nullptr, WNOHANG) == *pid; }) && kill(*pid, SIGKILL) == 0)
                waitpid(*pid, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    bool ready() const { return ready_; }
    // The programs' output, for a failure's message.
    std::string logs() const
    {
        std::string out;
        for (const char* name : {"pipewire", "wireplumber", "mutter"}) {
            std::ifstream in(dir_ + "/" + name + ".log");
            out += std::string("--- ") + name + "\n" + std::string(std::istreambuf_iterator<char>(in), {});
        }
        return out;
    }

    std::string missing;  // the first program not installed

private:
    void start(std::vector<std::string> arguments)
    {
        std::string log = dir_ + "/" + arguments[0] + ".log";
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char*> argv(arguments.size() + 1);
            std::transform(arguments.begin(), arguments.end(), argv.begin(), [](std::string& a) { return a.data(); });
            execvp(argv[0], argv.data());
            _exit(127);
        }
        pids_.push_back(pid);
    }

    std::string dir_;
    std::vector<pid_t> pids_;
    bool ready_ = false;
};

// A Wayland client on its own thread: a fullscreen window with the known picture, a
// pointer image of its own, and a record of the keys and buttons it receives (the keys
// also as text, through the keymap and modifiers the compositor sends).
class WaylandClient {
public:
    using Button = std::tuple<uint32_t, bool, int, int>;  // code, pressed, where

    explicit WaylandClient(const char* name) : display_(wl_display_connect(name))
    {
        if (!display_)
            return;
        wl_registry* registry = own(wl_display_get_registry(display_));
        wl_registry_add_listener(registry, &kRegistry, this);
        wl_display_roundtrip(display_);
        if (!compositor_ || !shm_ || !shell_ || !seat_)
            return;
        surface_ = own(wl_compositor_create_surface(compositor_));
        xdg_surface* window = own(xdg_wm_base_get_xdg_surface(shell_, surface_));
        xdg_surface_add_listener(window, &kWindow, this);
        xdg_toplevel* toplevel = own(xdg_surface_get_toplevel(window));
        xdg_toplevel_add_listener(toplevel, &kToplevel, this);
        xdg_toplevel_set_fullscreen(toplevel, nullptr);
        wl_surface_commit(surface_);
        pointerSurface_ = own(wl_compositor_create_surface(compositor_));
        auto pointerColour = [](int, int) { return 0xFF000000 | kPointerColour; };
        wl_surface_attach(pointerSurface_, buffer(kPointerSide, kPointerSide, pointerColour), 0, 0);
        wl_surface_commit(pointerSurface_);
        thread_ = std::thread([this] { run(); });
    }
    ~WaylandClient()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        xkb_state_unref(state_);
        for (auto proxy = proxies_.rbegin(); proxy != proxies_.rend(); ++proxy)
            wl_proxy_destroy(*proxy);
        if (display_)
            wl_display_disconnect(display_);
    }

    bool shown() { return shown_; }
    std::string text() { return locked([&] { return text_; }); }
    std::set<uint32_t> keysDown() { return locked([&] { return keys_; }); }
    std::vector<Button> buttons() { return locked([&] { return buttons_; }); }

private:
    // Every object made, destroyed at the end.
    template <typename T>
    T* own(T* proxy)
    {
        proxies_.push_back(reinterpret_cast<wl_proxy*>(proxy));
        return proxy;
    }
    template <typename F>
    auto locked(F f) -> decltype(f())
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return f();
    }

    void run()
    {
        pollfd fd{wl_display_get_fd(display_), POLLIN, 0};
        while (!stop_) {
            while (wl_display_prepare_read(display_) != 0)
                wl_display_dispatch_pending(display_);
            wl_display_flush(display_);
            if (poll(&fd, 1, 50) > 0)
                wl_display_read_events(display_);
            else
                wl_display_cancel_read(display_);
            wl_display_dispatch_pending(display_);
        }
    }

    template <typename F>
    wl_buffer* buffer(int width, int height, F colour)
    {
        int fd = memfd_create("picture", MFD_CLOEXEC);
        size_t size = size_t(width) * height * 4;
        if (fd < 0 || ftruncate(fd, off_t(size)) != 0)
            return nullptr;
        auto* pixels = static_cast<uint32_t*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                pixels[y * width + x] = colour(x, y);
        munmap(pixels, size);
        wl_shm_pool* pool = wl_shm_create_pool(shm_, fd, int(size));
        wl_buffer* out = own(wl_shm_pool_create_buffer(pool, 0, width, height, width * 4, WL_SHM_FORMAT_ARGB8888));
        wl_shm_pool_destroy(pool);
        close(fd);
        return out;
    }

    void draw(bool clicked)
    {
        wl_surface_attach(surface_, buffer(kWidth, kHeight, [&](int x, int y) {
                              return 0xFF000000 | knownColour(x, y, clicked);
                          }), 0, 0);
        wl_surface_damage_buffer(surface_, 0, 0, kWidth, kHeight);
        wl_surface_commit(surface_);
    }

    static WaylandClient* of(void* data) { return static_cast<WaylandClient*>(data); }

    // Only the client's thread reads and writes these.
    static void moved(void* data, wl_fixed_t x, wl_fixed_t y)
    {
        of(data)->pointerX_ = wl_fixed_to_int(x), of(data)->pointerY_ = wl_fixed_to_int(y);
    }
    static const wl_registry_listener kRegistry;
    static const xdg_wm_base_listener kShell;
    static const xdg_surface_listener kWindow;
    static const xdg_toplevel_listener kToplevel;
    static const wl_seat_listener kSeat;
    static const wl_pointer_listener kPointer;
    static const wl_keyboard_listener kKeyboard;

    wl_display* display_;
    wl_compositor* compositor_ = nullptr;
    wl_shm* shm_ = nullptr;
    xdg_wm_base* shell_ = nullptr;
    wl_seat* seat_ = nullptr;
    wl_surface* surface_ = nullptr;
    wl_surface* pointerSurface_ = nullptr;
    wl_pointer* pointer_ = nullptr;
    wl_keyboard* keyboard_ = nullptr;
    xkb_state* state_ = nullptr;
    bool fullscreen_ = false;
    std::vector<wl_proxy*> proxies_;  // made on the client's thread once it runs
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::atomic<bool> shown_{false};
    std::string text_;
    std::set<uint32_t> keys_;
    std::vector<Button> buttons_;
    int pointerX_ = -1, pointerY_ = -1;
};

// Any event the client has no use for: libwayland aborts on a missing handler.
constexpr auto kIgnored = [](void*, auto...) {};

const wl_registry_listener WaylandClient::kRegistry = {
    [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
        WaylandClient* c = of(data);
        auto bind = [&](const wl_interface* type, uint32_t version) {
            return wl_registry_bind(registry, name, type, version);
        };
        if (std::strcmp(interface, "wl_compositor") == 0)
            c->compositor_ = c->own(static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4)));
        else if (std::strcmp(interface, "wl_shm") == 0)
            c->shm_ = c->own(static_cast<wl_shm*>(bind(&wl_shm_interface, 1)));
        else if (std::strcmp(interface, "xdg_wm_base") == 0) {
            c->shell_ = c->own(static_cast<xdg_wm_base*>(bind(&xdg_wm_base_interface, 1)));
            xdg_wm_base_add_listener(c->shell_, &kShell, c);
        } else if (std::strcmp(interface, "wl_seat") == 0) {
            c->seat_ = c->own(static_cast<wl_seat*>(bind(&wl_seat_interface, 5)));
            wl_seat_add_listener(c->seat_, &kSeat, c);
        }
    },
    kIgnored,
};
const xdg_wm_base_listener WaylandClient::kShell = {
    [](void*, xdg_wm_base* shell, uint32_t serial) { xdg_wm_base_pong(shell, serial); }};
const xdg_surface_listener WaylandClient::kWindow = {[](void* data, xdg_surface* window, uint32_t serial) {
    xdg_surface_ack_configure(window, serial);
    WaylandClient* c = of(data);
    if (c->fullscreen_ && !c->shown_)
        c->draw(false), c->shown_ = true;
}};
const xdg_toplevel_listener WaylandClient::kToplevel = {
    [](void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
        of(data)->fullscreen_ = width == kWidth && height == kHeight;
    },
    kIgnored, kIgnored, kIgnored,
};
const wl_seat_listener WaylandClient::kSeat = {
    [](void* data, wl_seat* seat, uint32_t capabilities) {
        WaylandClient* c = of(data);
        if ((capabilities & WL_SEAT_CAPABILITY_POINTER) && !c->pointer_)
            wl_pointer_add_listener(c->pointer_ = c->own(wl_seat_get_pointer(seat)), &kPointer, c);
        if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !c->keyboard_)
            wl_keyboard_add_listener(c->keyboard_ = c->own(wl_seat_get_keyboard(seat)), &kKeyboard, c);
    },
    kIgnored,
};
const wl_pointer_listener WaylandClient::kPointer = {
    [](void* data, wl_pointer* pointer, uint32_t serial, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
        wl_pointer_set_cursor(pointer, serial, of(data)->pointerSurface_, 0, 0);
        moved(data, x, y);
    },
    kIgnored,
    [](void* data, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) { moved(data, x, y); },
    [](void* data, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
        WaylandClient* c = of(data);
        bool press = state == WL_POINTER_BUTTON_STATE_PRESSED;
        c->locked([&] { return c->buttons_.emplace_back(button, press, c->pointerX_, c->pointerY_), 0; });
        if (press && button == 0x110)
            c->draw(true);
    },
    kIgnored, kIgnored, kIgnored, kIgnored, kIgnored, kIgnored,
};
const wl_keyboard_listener WaylandClient::kKeyboard = {
    [](void* data, wl_keyboard*, uint32_t, int32_t fd, uint32_t size) {
        WaylandClient* c = of(data);
        char* map = static_cast<char*>(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0));
        close(fd);
        if (map == MAP_FAILED)
            return;
        xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        xkb_keymap* keymap = xkb_keymap_new_from_string(context, map, XKB_KEYMAP_FORMAT_TEXT_V1,
                                                        XKB_KEYMAP_COMPILE_NO_FLAGS);
        munmap(map, size);
        xkb_state_unref(c->state_);
        c->state_ = keymap ? xkb_state_new(keymap) : nullptr;
        xkb_keymap_unref(keymap);
        xkb_context_unref(context);
    },
    kIgnored, kIgnored,
    [](void* data, wl_keyboard*, uint32_t, uint32_t, uint32_t key, uint32_t state) {
        WaylandClient* c = of(data);
        bool press = state == WL_KEYBOARD_KEY_STATE_PRESSED;
        char utf8[16] = {};
        if (press && c->state_)
            xkb_state_key_get_utf8(c->state_, key + 8, utf8, sizeof utf8);
        c->locked([&] {
            c->text_ += utf8;
            return press ? c->keys_.insert(key).second : c->keys_.erase(key) > 0;
        });
    },
    [](void* data, wl_keyboard*, uint32_t, uint32_t depressed, uint32_t latched, uint32_t locked, uint32_t group) {
        if (xkb_state* state = of(data)->state_)
            xkb_state_update_mask(state, depressed, latched, locked, 0, 0, group);
    },
    kIgnored,
};

using Picture = DecodedFrame;

// Pixels off the client's picture with the pointer's square at (px, py).
int offPixels(const Picture& picture, bool clicked, int px, int py)
{
    int off = 0;
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            bool pointer = x >= px && x < px + kPointerSide && y >= py && y < py + kPointerSide;
            off += !picture.near(x, y, pointer ? kPointerColour : knownColour(x, y, clicked), 32);
        }
    return off;
}

Bytes mouse(uint32_t code, int x, int y) { return mouseMessage(code, x, y, kWidth, kHeight); }

// Frames until one shows the client's picture with the pointer at (x, y), or anywhere
// (x < 0: a pointer's worth of pixels may differ), at most ten: the pixels off in the last
// one, -1 for no frame.
int framesUntilShown(int frame, bool clicked, int x, int y)
{
    int wrong = -1;
    for (int i = 0; i < 10 && wrong != 0; ++i) {
        Picture picture(fetchFrame(frame));
        if (picture.width != kWidth || picture.height != kHeight)
            return -1;
        wrong = offPixels(picture, clicked, x, y);
        wrong = x < 0 && wrong <= 32 * 32 ? 0 : wrong;
    }
    return wrong;
}

// The picture, the pointer drawn from the stream's metadata, a click and typed text that
// reach the client exactly (the session's very first key included), no frame while the
// screen is still, and nothing held once the viewer goes.
TEST(GnomeHostTest, ASessionOnHeadlessMutter)
{
    PrivateGnome gnome;
    if (!gnome.missing.empty())
        GTEST_SKIP() << gnome.missing << " is not installed: run scripts/setup.sh";
    ASSERT_TRUE(gnome.ready()) << gnome.logs();
    WaylandClient client(PrivateGnome::kWayland);
    ASSERT_TRUE(eventually([&] { return client.shown(); })) << gnome.logs();

    PeerProcess host(TAVIMO_HOST_BINARY, {"--backend", "gnome", "--subsampling", "444"});
    ASSERT_TRUE(host.waitReady()) << gnome.logs();
    EXPECT_EQ(host.count("backend gnome (--backend)"), 1);
    int frame = host.connect(kFramePort), input = host.connect(kInputPort);
    // Input waits until the window is in place.
    ASSERT_EQ(framesUntilShown(frame, false, -1, -1), 0);

    // A right click, then a left one (the viewer sends its release alone), which the
    // client answers with a black square.
    ASSERT_TRUE(sendBytes(input, mouse(kMouseRightDown, 500, 400)));
    ASSERT_TRUE(sendBytes(input, mouse(kMouseRightUp, 500, 400)));
    EXPECT_EQ(framesUntilShown(frame, false, 500, 400), 0);
    ASSERT_TRUE(sendBytes(input, mouse(kMouseLeftUp, 100, 100)));
    EXPECT_EQ(framesUntilShown(frame, true, 100, 100), 0);
    using Button = WaylandClient::Button;
    std::vector<Button> clicks = {
        {0x111, true, 500, 400}, {0x111, false, 500, 400}, {0x110, true, 100, 100}, {0x110, false, 100, 100}};
    EXPECT_EQ(client.buttons(), clicks);

    // Still: the request waits.
    ASSERT_TRUE(sendControl(frame, MSG_NEXT_FRAME));
    EXPECT_FALSE(readable(frame, 2000));

    // "Hi, you!": Shift (the session's first key) H, I, comma, space, Y O U, Shift 1.
    const std::string typed = "Hi, you!";
    for (uint32_t key : {0x10u, 0x48u, 0x48u | 0x100u, 0x10u | 0x100u, 0x49u, 0x49u | 0x100u, 0xBCu, 0xBCu | 0x100u,
                         0x20u, 0x20u | 0x100u, 0x59u, 0x59u | 0x100u, 0x4Fu, 0x4Fu | 0x100u, 0x55u, 0x55u | 0x100u,
                         0x10u, 0x31u, 0x31u | 0x100u, 0x10u | 0x100u})
        ASSERT_TRUE(sendBytes(input, inputMessage(MSG_KEY, key >> 8, key & 0xFF)));
    EXPECT_TRUE(eventually([&] { return client.text().size() >= typed.size() && client.keysDown().empty(); }));
    EXPECT_EQ(client.text(), typed);

    // The viewer goes holding A and the right button: both let go.
    ASSERT_TRUE(sendBytes(input, inputMessage(MSG_KEY, 0, 0x41)));
    ASSERT_TRUE(sendBytes(input, mouse(kMouseRightDown, 300, 200)));
    auto last = [&] { return client.buttons().back(); };
    EXPECT_TRUE(eventually([&] { return client.keysDown().size() == 1 && last() == Button{0x111, true, 300, 200}; }));
    shutdown(input, SHUT_RDWR);
    EXPECT_TRUE(host.waitForLine("input-released keys=1 buttons=1"));
    EXPECT_TRUE(eventually([&] { return client.keysDown().empty() && last() == Button{0x111, false, 300, 200}; }));
    EXPECT_EQ(host.count("input-key-unmapped"), 0);

    // Auto finds this session's compositor; the viewer's server exit ends the host cleanly.
    PeerProcess automatic(TAVIMO_HOST_BINARY, {"--subsampling", "444"});
    ASSERT_TRUE(automatic.waitReady());
    EXPECT_EQ(automatic.count("backend gnome (a Wayland session where GNOME's remote desktop API answers)"), 1);
    EXPECT_EQ(framesUntilShown(automatic.connect(kFramePort), true, -1, -1), 0);
    ASSERT_TRUE(sendBytes(automatic.connect(kInputPort), inputMessage(MSG_SERVER_EXIT)));
    EXPECT_EQ(automatic.waitExit(), 0);
    // Outside a Wayland session auto shares X (here none: it says so and ends).
    setenv("XDG_SESSION_TYPE", "x11", 1);
    PeerProcess x11(TAVIMO_HOST_BINARY, {});
    EXPECT_EQ(x11.waitExit(), 1);
    EXPECT_EQ(x11.lines({"backend x11 (XDG_SESSION_TYPE is x11, not wayland)", "display-error "}), 2);
}

}  // namespace
