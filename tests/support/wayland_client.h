// A Wayland client of a test's own, for hosts that share a Wayland desktop: a fullscreen
// window of a known picture, and a record of the input that reaches it.
#pragma once

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/wayland_loop.h"
#include "xdg-shell-client-protocol.h"

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr uint32_t kPointerColour = 0xFF00FF;
constexpr int kPointerSide = 12;

// The client's picture: four quadrants, and a black square once the left button was pressed.
inline uint32_t knownColour(int x, int y, bool clicked)
{
    if (clicked && x >= 64 && x < 192 && y >= 64 && y < 192)
        return 0x000000;
    static const uint32_t quadrants[] = {0xC02020, 0x20C020, 0x2020C0, 0xE0E0E0};
    return quadrants[(x >= kWidth / 2) + 2 * (y >= kHeight / 2)];
}

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

    void run() { runWaylandEvents(display_, stop_); }

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
inline constexpr auto kIgnored = [](void*, auto...) {};

inline const wl_registry_listener WaylandClient::kRegistry = {
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
inline const xdg_wm_base_listener WaylandClient::kShell = {
    [](void*, xdg_wm_base* shell, uint32_t serial) { xdg_wm_base_pong(shell, serial); }};
inline const xdg_surface_listener WaylandClient::kWindow = {[](void* data, xdg_surface* window, uint32_t serial) {
    xdg_surface_ack_configure(window, serial);
    WaylandClient* c = of(data);
    if (c->fullscreen_ && !c->shown_)
        c->draw(false), c->shown_ = true;
}};
inline const xdg_toplevel_listener WaylandClient::kToplevel = {
    // 0x0: the size is the client's; sway makes a window fullscreen only once it is shown.
    [](void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
        of(data)->fullscreen_ = (width == kWidth && height == kHeight) || (width == 0 && height == 0);
    },
    kIgnored, kIgnored, kIgnored,
};
inline const wl_seat_listener WaylandClient::kSeat = {
    [](void* data, wl_seat* seat, uint32_t capabilities) {
        WaylandClient* c = of(data);
        if ((capabilities & WL_SEAT_CAPABILITY_POINTER) && !c->pointer_)
            wl_pointer_add_listener(c->pointer_ = c->own(wl_seat_get_pointer(seat)), &kPointer, c);
        if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !c->keyboard_)
            wl_keyboard_add_listener(c->keyboard_ = c->own(wl_seat_get_keyboard(seat)), &kKeyboard, c);
    },
    kIgnored,
};
inline const wl_pointer_listener WaylandClient::kPointer = {
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
inline const wl_keyboard_listener WaylandClient::kKeyboard = {
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
