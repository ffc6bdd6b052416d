#include "host/wlroots_desktop.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "host/screencopy_frame.h"
#include "host/stream_picture.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace {

constexpr int kFirstFrameMs = 10000;
// evdev's BTN_LEFT, BTN_MIDDLE, BTN_RIGHT in X's order.
constexpr uint32_t kButtons[] = {0x110, 0x112, 0x111};
// copy_with_damage came with version 2; 3 adds buffer_done.
constexpr uint32_t kScreencopyDamage = 2;
constexpr uint32_t kScreencopyDone = 3;

uint32_t nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint32_t(uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000);
}

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// An output's name as the compositor gave it, fit for the log's lines and a command line:
// printable ASCII without spaces, others as '_', at most 64 characters.
std::string outputName(const char* given)
{
    std::string name(given, strnlen(given, 64));
    for (char& c : name)
        c = c > ' ' && c < 0x7f ? c : '_';
    return name;
}

// An output as wl_output and xdg-output describe it.
struct Output {
    wl_output* output = nullptr;
    zxdg_output_v1* xdg = nullptr;
    uint32_t global = 0;  // the registry's name
    std::string name;     // wl_output version 4's, else xdg-output version 2's
    PixelRect place;      // wl_output's place and current mode (pixels)
    PixelRect logical;    // xdg-output's place and size in the layout
    bool hasLogical = false;

    MonitorInfo monitor() const
    {
        return {name.empty() ? "output-" + std::to_string(global) : name, hasLogical ? logical : place, false};
    }
};

// wl_output up to version 4: geometry, mode, done, scale, name, description.
const wl_output_listener kOutput = {
    [](void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*, const char*,
       int32_t) {
        static_cast<Output*>(data)->place.x = x;
        static_cast<Output*>(data)->place.y = y;
    },
    [](void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
        if (flags & WL_OUTPUT_MODE_CURRENT) {
            static_cast<Output*>(data)->place.width = width;
            static_cast<Output*>(data)->place.height = height;
        }
    },
    [](void*, wl_output*) {},
    [](void*, wl_output*, int32_t) {},
    [](void* data, wl_output*, const char* name) { static_cast<Output*>(data)->name = outputName(name); },
    [](void*, wl_output*, const char*) {},
};

// xdg-output up to version 3: logical position and size, done, name, description.
const zxdg_output_v1_listener kXdgOutput = {
    [](void* data, zxdg_output_v1*, int32_t x, int32_t y) {
        static_cast<Output*>(data)->logical.x = x;
        static_cast<Output*>(data)->logical.y = y;
        static_cast<Output*>(data)->hasLogical = true;
    },
    [](void* data, zxdg_output_v1*, int32_t width, int32_t height) {
        static_cast<Output*>(data)->logical.width = width;
        static_cast<Output*>(data)->logical.height = height;
    },
    [](void*, zxdg_output_v1*) {},
    [](void* data, zxdg_output_v1*, const char* name) {
        Output& output = *static_cast<Output*>(data);
        if (output.name.empty())
            output.name = outputName(name);
    },
    [](void*, zxdg_output_v1*, const char*) {},
};

// The globals this backend binds, as the registry announces them.
struct Globals {
    wl_registry* registry = nullptr;
    wl_shm* shm = nullptr;
    std::vector<std::unique_ptr<Output>> outputs;  // those there when the host started
    bool outputsListed = false;                   // later ones are not shared
    zxdg_output_manager_v1* xdgOutputs = nullptr;
    wl_output* output = nullptr;  // the shared one
    uint32_t outputName = 0;
    bool outputGone = false;
    wl_seat* seat = nullptr;
    zwlr_screencopy_manager_v1* screencopy = nullptr;
    zwlr_virtual_pointer_manager_v1* pointers = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboards = nullptr;

    // What is missing, in words; empty when everything is there.
    std::string missing() const
    {
        std::string out;
        for (auto [present, name] :
             {std::pair{screencopy != nullptr, "zwlr_screencopy_manager_v1 (version 2 or later)"},
              {pointers != nullptr, "zwlr_virtual_pointer_manager_v1"},
              {keyboards != nullptr, "zwp_virtual_keyboard_manager_v1"}, {shm != nullptr, "wl_shm"},
              {!outputs.empty(), "an output"}, {seat != nullptr, "a seat"}})
            if (!present)
                out += (out.empty() ? "" : ", ") + std::string(name);
        return out;
    }
    void destroy()
    {
        if (screencopy)
            zwlr_screencopy_manager_v1_destroy(screencopy);
        if (pointers)
            zwlr_virtual_pointer_manager_v1_destroy(pointers);
        if (keyboards)
            zwp_virtual_keyboard_manager_v1_destroy(keyboards);
        for (auto& each : outputs) {
            if (each->xdg)
                zxdg_output_v1_destroy(each->xdg);
            wl_output_destroy(each->output);
        }
        if (xdgOutputs)
            zxdg_output_manager_v1_destroy(xdgOutputs);
        for (wl_proxy* proxy : {reinterpret_cast<wl_proxy*>(shm),
                                reinterpret_cast<wl_proxy*>(seat), reinterpret_cast<wl_proxy*>(registry)})
            if (proxy)
                wl_proxy_destroy(proxy);
        *this = Globals();
    }
};

Globals* globalsOf(void* data) { return static_cast<Globals*>(data); }

const wl_registry_listener kRegistry = {
    [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        Globals& g = *globalsOf(data);
        auto bind = [&](const wl_interface* type, uint32_t highest) {
            return wl_registry_bind(registry, name, type, std::min(version, highest));
        };
        // The first seat only.
        if (std::strcmp(interface, wl_shm_interface.name) == 0 && !g.shm)
            g.shm = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
        else if (std::strcmp(interface, wl_output_interface.name) == 0 && !g.outputsListed) {
            auto output = std::make_unique<Output>();
            output->output = static_cast<wl_output*>(bind(&wl_output_interface, 4));
            output->global = name;
            wl_output_add_listener(output->output, &kOutput, output.get());
            g.outputs.push_back(std::move(output));
        } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0)
            g.xdgOutputs = static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3));
        else if (std::strcmp(interface, wl_seat_interface.name) == 0 && !g.seat)
            g.seat = static_cast<wl_seat*>(bind(&wl_seat_interface, 1));
        else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0 &&
                 version >= kScreencopyDamage)
            g.screencopy = static_cast<zwlr_screencopy_manager_v1*>(bind(&zwlr_screencopy_manager_v1_interface, 3));
        else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
            g.pointers =
                static_cast<zwlr_virtual_pointer_manager_v1*>(bind(&zwlr_virtual_pointer_manager_v1_interface, 2));
        else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
            g.keyboards =
                static_cast<zwp_virtual_keyboard_manager_v1*>(bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
    },
    [](void* data, wl_registry*, uint32_t name) {
        Globals& g = *globalsOf(data);
        g.outputGone = g.outputGone || (g.output && name == g.outputName);
    },
};

// Connects to WAYLAND_DISPLAY and binds what the registry offers; null with `error` set.
wl_display* connectTo(Globals& globals, std::string& error)
{
    std::string name = environment("WAYLAND_DISPLAY");
    if (name.empty()) {
        error = "WAYLAND_DISPLAY is unset: no Wayland compositor to share";
        return nullptr;
    }
    wl_display* display = wl_display_connect(name.c_str());
    if (!display) {
        error = "cannot connect to the Wayland compositor at WAYLAND_DISPLAY=" + name + " (XDG_RUNTIME_DIR=" +
                environment("XDG_RUNTIME_DIR") + ")";
        return nullptr;
    }
    globals.registry = wl_display_get_registry(display);
    wl_registry_add_listener(globals.registry, &kRegistry, &globals);
    if (wl_display_roundtrip(display) < 0) {
        error = "the Wayland compositor at " + name + " closed the connection";
        globals.destroy();
        wl_display_disconnect(display);
        return nullptr;
    }
    return display;
}

}  // namespace

// One frame asked of the compositor, and the buffer it copies into (mapped here too).
struct CopySlot {
    WlrootsDesktop::Parts* parts = nullptr;
    zwlr_screencopy_frame_v1* frame = nullptr;
    ShmLayout offered;  // what the compositor said of the frame so far
    bool copying = false;
    uint32_t flags = 0;
    std::vector<DamageBox> damage;
    ShmLayout layout;
    wl_buffer* buffer = nullptr;
    uint8_t* pixels = nullptr;
};

struct WlrootsDesktop::Parts {
    wl_display* display = nullptr;
    Globals globals;
    std::string failure;  // why the screen can no longer be read
    // Two frames always asked for: the compositor copies a change only into a frame that
    // waits when it draws it, so while one slot is asked again the other waits.
    CopySlot slots[2];
    StreamPicture picture;
    int pictureFormat = 0;  // TJPF_ value of the picture's bytes
    int width = 0;          // the last frame's size
    int height = 0;
    ShmLayout latest;       // what the newest frame's buffer is to be
    bool retake = false;    // a frame was dropped: the next one's boxes do not hold its change
    // Input.
    zwlr_virtual_pointer_v1* pointer = nullptr;
    bool pointerOnOutput = true;  // made for the shared output (version 2), else for the layout
    PixelRect shared;             // the shared output in the layout
    PixelRect extent;             // the box round every output
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    xkb_context* xkb = nullptr;
    xkb_keymap* keymap = nullptr;
    xkb_state* state = nullptr;
    uint32_t modifiers[4] = {};  // as last reported: depressed, latched, locked, group

    ~Parts();
    void fail(const std::string& why)
    {
        if (failure.empty())
            failure = why;
    }
    bool pump();
    void requestFrame(CopySlot& slot);
    void copy(CopySlot& slot);
    void ready(CopySlot& slot);
    bool makeBuffer(CopySlot& slot, std::string& error);
    void dropBuffer(CopySlot& slot);
    bool uploadKeymap(const KeymapNames& names, std::string& error);
    void reportModifiers();
};

WlrootsDesktop::Parts::~Parts()
{
    for (CopySlot& slot : slots) {
        if (slot.frame)
            zwlr_screencopy_frame_v1_destroy(slot.frame);
        dropBuffer(slot);
    }
    if (pointer)
        zwlr_virtual_pointer_v1_destroy(pointer);
    if (keyboard)
        zwp_virtual_keyboard_v1_destroy(keyboard);
    globals.destroy();
    if (display) {
        wl_display_flush(display);
        wl_display_disconnect(display);
    }
    if (state)
        xkb_state_unref(state);
    if (keymap)
        xkb_keymap_unref(keymap);
    if (xkb)
        xkb_context_unref(xkb);
}

// Sends what is queued and runs whatever the compositor sent, without waiting. False once
// the connection or the output is gone.
bool WlrootsDesktop::Parts::pump()
{
    if (!failure.empty())
        return false;
    bool ok = wl_display_flush(display) >= 0 || errno == EAGAIN;
    while (ok && wl_display_prepare_read(display) != 0)
        ok = wl_display_dispatch_pending(display) >= 0;
    if (ok) {
        pollfd wait = {wl_display_get_fd(display), POLLIN, 0};
        if (poll(&wait, 1, 0) > 0)
            ok = wl_display_read_events(display) >= 0;
        else
            wl_display_cancel_read(display);
    }
    ok = ok && wl_display_dispatch_pending(display) >= 0;
    // What the events asked for (the next frame, a copy) goes out now, not with the next input.
    ok = ok && (wl_display_flush(display) >= 0 || errno == EAGAIN);
    if (!ok) {
        int code = wl_display_get_error(display);
        const wl_interface* interface = nullptr;
        uint32_t id = 0;
        if (code == EPROTO && wl_display_get_protocol_error(display, &interface, &id))
            fail(std::string("the Wayland compositor rejected a request of ") + interface->name + " (error " +
                 std::to_string(code) + ")");
        else
            fail("the Wayland compositor went away (" + std::string(std::strerror(code ? code : errno)) + ")");
    }
    if (globals.outputGone)
        fail("the shared output went away");
    return failure.empty();
}

namespace {

CopySlot& slotOf(void* data) { return *static_cast<CopySlot*>(data); }

// The box round both, at least 1 x 1, however odd the places the compositor gave.
PixelRect boundingBox(const PixelRect& a, const PixelRect& b)
{
    if (a.width <= 0 || a.height <= 0)
        return {b.x, b.y, std::max(b.width, 1), std::max(b.height, 1)};
    int64_t left = std::min(a.x, b.x), top = std::min(a.y, b.y);
    int64_t right = std::max(int64_t(a.x) + a.width, int64_t(b.x) + b.width);
    int64_t bottom = std::max(int64_t(a.y) + a.height, int64_t(b.y) + b.height);
    return {int(left), int(top), int(std::min<int64_t>(right - left, INT32_MAX)),
            int(std::min<int64_t>(bottom - top, INT32_MAX))};
}

const zwlr_screencopy_frame_v1_listener kFrame = {
    [](void* data, zwlr_screencopy_frame_v1* frame, uint32_t format, uint32_t width, uint32_t height,
       uint32_t stride) {
        CopySlot& slot = slotOf(data);
        std::string error;
        if (!checkShmBuffer(format, width, height, stride, slot.offered, error)) {
            slot.parts->fail(error);
            return;
        }
        slot.parts->latest = slot.offered;
        if (zwlr_screencopy_frame_v1_get_version(frame) < kScreencopyDone)
            slot.parts->copy(slot);
    },
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t flags) { slotOf(data).flags = flags; },
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
        slotOf(data).parts->ready(slotOf(data));
    },
    [](void* data, zwlr_screencopy_frame_v1*) {
        slotOf(data).parts->fail("the compositor could not copy the screen");
    },
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
        // More boxes than this say nothing finer than "anywhere".
        if (slotOf(data).damage.size() < 256)
            slotOf(data).damage.push_back({x, y, width, height});
    },
    [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {},  // dmabuf: shared memory is used
    [](void* data, zwlr_screencopy_frame_v1*) { slotOf(data).parts->copy(slotOf(data)); },
};

}  // namespace

// Asks for the next frame into the slot; the compositor copies it once something changed.
void WlrootsDesktop::Parts::requestFrame(CopySlot& slot)
{
    if (slot.frame || !failure.empty())
        return;
    slot.parts = this;
    slot.offered = ShmLayout();
    slot.copying = false;
    slot.flags = 0;
    slot.damage.clear();
    slot.frame = zwlr_screencopy_manager_v1_capture_output(globals.screencopy, 1, globals.output);
    zwlr_screencopy_frame_v1_add_listener(slot.frame, &kFrame, &slot);
}

void WlrootsDesktop::Parts::copy(CopySlot& slot)
{
    if (slot.copying || !failure.empty())
        return;
    std::string error;
    if (slot.offered.width == 0)
        fail("the compositor offers no shared-memory buffer for the screen");
    else if (!(slot.offered == slot.layout) && !makeBuffer(slot, error))
        fail(error);
    else {
        // An output of another size: its whole picture at once, not after the next change.
        bool resized = picture.hasFrame() && (slot.offered.width != width || slot.offered.height != height);
        (resized ? zwlr_screencopy_frame_v1_copy : zwlr_screencopy_frame_v1_copy_with_damage)(slot.frame,
                                                                                              slot.buffer);
        slot.copying = true;
    }
}

void WlrootsDesktop::Parts::ready(CopySlot& slot)
{
    // A frame asked for before the output changed size holds part of the screen: dropped,
    // and the next one compared whole.
    if (!(slot.layout == latest)) {
        retake = true;
    } else {
        // Another format's bytes mean nothing beside the last picture's.
        if (picture.hasFrame() && slot.layout.pixelFormat != pictureFormat)
            picture = StreamPicture();
        pictureFormat = slot.layout.pixelFormat;
        width = slot.layout.width;
        height = slot.layout.height;
        if (retake)
            slot.damage.clear();
        retake = false;
        takeCopiedFrame(slot.pixels, slot.layout, slot.flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT,
                        slot.damage, picture);
    }
    zwlr_screencopy_frame_v1_destroy(slot.frame);
    slot.frame = nullptr;
    requestFrame(slot);
}

bool WlrootsDesktop::Parts::makeBuffer(CopySlot& slot, std::string& error)
{
    dropBuffer(slot);
    const ShmLayout& offered = slot.offered;
    int fd = memfd_create("tavimo-screen", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(offered.bytes)) != 0) {
        error = "cannot make a " + std::to_string(offered.bytes) + "-byte buffer for the screen: " +
                std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    void* mapped = mmap(nullptr, offered.bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        error = "cannot map the screen's buffer: " + std::string(std::strerror(errno));
        close(fd);
        return false;
    }
    wl_shm_pool* pool = wl_shm_create_pool(globals.shm, fd, int32_t(offered.bytes));
    slot.buffer = wl_shm_pool_create_buffer(pool, 0, offered.width, offered.height, offered.stride, offered.format);
    wl_shm_pool_destroy(pool);
    close(fd);
    slot.pixels = static_cast<uint8_t*>(mapped);
    slot.layout = offered;
    return true;
}

void WlrootsDesktop::Parts::dropBuffer(CopySlot& slot)
{
    if (slot.buffer)
        wl_buffer_destroy(slot.buffer);
    if (slot.pixels)
        munmap(slot.pixels, slot.layout.bytes);
    slot.buffer = nullptr;
    slot.pixels = nullptr;
    slot.layout = ShmLayout();
}

bool WlrootsDesktop::Parts::uploadKeymap(const KeymapNames& names, std::string& error)
{
    xkb = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    xkb_rule_names rmlvo = {names.rules.c_str(), names.model.c_str(), names.layout.c_str(), names.variant.c_str(),
                            names.options.c_str()};
    keymap = xkb ? xkb_keymap_new_from_names(xkb, &rmlvo, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr;
    char* text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
    if (!text) {
        error = "XKB cannot compile the keymap for layout '" + names.layout + "' model '" + names.model +
                "' (is xkb-data installed, and the layout spelled as in /usr/share/X11/xkb/rules/evdev.lst?)";
        return false;
    }
    state = xkb_state_new(keymap);
    size_t size = std::strlen(text) + 1;
    int fd = memfd_create("tavimo-keymap", MFD_CLOEXEC);
    bool written = fd >= 0 && write(fd, text, size) == ssize_t(size);
    std::free(text);
    if (!written || !state) {
        error = "cannot hand the keymap to the compositor: " + std::string(std::strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(globals.keyboards, globals.seat);
    zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, uint32_t(size));
    close(fd);
    return true;
}

// The protocol leaves modifier state to the client: report it whenever a key changed it.
void WlrootsDesktop::Parts::reportModifiers()
{
    uint32_t now[4] = {xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
                       xkb_state_serialize_mods(state, XKB_STATE_MODS_LATCHED),
                       xkb_state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
                       xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE)};
    if (std::equal(now, now + 4, modifiers))
        return;
    std::copy(now, now + 4, modifiers);
    zwp_virtual_keyboard_v1_modifiers(keyboard, now[0], now[1], now[2], now[3]);
}

WlrootsDesktop::WlrootsDesktop() : parts_(new Parts) {}

WlrootsDesktop::~WlrootsDesktop() = default;

bool WlrootsDesktop::available(std::string& why)
{
    Globals globals;
    wl_display* display = connectTo(globals, why);
    if (!display)
        return false;
    std::string missing = globals.missing();
    globals.destroy();
    wl_display_disconnect(display);
    if (!missing.empty())
        why = "the Wayland compositor at " + environment("WAYLAND_DISPLAY") + " does not offer " + missing;
    return missing.empty();
}

KeymapNames WlrootsDesktop::keymapNames(bool keyboardGiven, KeyboardLayout viewer)
{
    KeymapNames names;
    names.rules = environment("XKB_DEFAULT_RULES");
    names.model = environment("XKB_DEFAULT_MODEL");
    names.layout = environment("XKB_DEFAULT_LAYOUT");
    names.variant = environment("XKB_DEFAULT_VARIANT");
    names.options = environment("XKB_DEFAULT_OPTIONS");
    bool jis = viewer == KeyboardLayout::Jis;
    if (!names.layout.empty())
        names.source = "XKB_DEFAULT_LAYOUT";
    else {
        names.layout = keyboardGiven && jis ? "jp" : "us";
        names.source = keyboardGiven ? "--keyboard" : "default";
    }
    if (names.rules.empty())
        names.rules = "evdev";
    if (names.model.empty())
        names.model = names.layout.compare(0, 2, "jp") == 0 ? "jp106" : "pc105";
    return names;
}

bool WlrootsDesktop::connect(std::string& error)
{
    Parts& p = *parts_;
    p.display = connectTo(p.globals, error);
    if (!p.display)
        return false;
    std::string missing = p.globals.missing();
    if (!missing.empty()) {
        error = "the Wayland compositor does not offer " + missing +
                " (a wlroots compositor such as sway does; GNOME and KDE need their own backends)";
        return false;
    }
    // The outputs' names and places come in a second round, answering the binds of the first.
    for (auto& output : p.globals.outputs)
        if (p.globals.xdgOutputs) {
            output->xdg = zxdg_output_manager_v1_get_xdg_output(p.globals.xdgOutputs, output->output);
            zxdg_output_v1_add_listener(output->xdg, &kXdgOutput, output.get());
        }
    if (wl_display_roundtrip(p.display) < 0) {
        error = "the Wayland compositor closed the connection while listing its outputs";
        return false;
    }
    return true;
}

std::vector<MonitorInfo> WlrootsDesktop::monitors() const
{
    std::vector<MonitorInfo> out;
    for (const auto& output : parts_->globals.outputs)
        out.push_back(output->monitor());
    orderMonitors(out);
    return out;
}

bool WlrootsDesktop::open(const KeymapNames& keymap, const std::string& output, std::string& error)
{
    Parts& p = *parts_;
    Globals& g = p.globals;
    g.outputsListed = true;
    for (const auto& each : g.outputs) {
        MonitorInfo monitor = each->monitor();
        if (!g.output && monitor.name == output) {
            g.output = each->output;
            g.outputName = each->global;
            p.shared = monitor.rect;
        }
        p.extent = boundingBox(p.extent, monitor.rect);
    }
    if (!g.output) {
        error = "the output " + output + " is gone";
        return false;
    }
    if (!p.uploadKeymap(keymap, error))
        return false;
    p.pointerOnOutput = zwlr_virtual_pointer_manager_v1_get_version(g.pointers) >= 2;
    p.pointer = p.pointerOnOutput
                    ? zwlr_virtual_pointer_manager_v1_create_virtual_pointer_with_output(g.pointers, g.seat, g.output)
                    : zwlr_virtual_pointer_manager_v1_create_virtual_pointer(g.pointers, g.seat);
    for (CopySlot& slot : p.slots)
        p.requestFrame(slot);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstFrameMs);
    for (pollfd wait = {wl_display_get_fd(p.display), POLLIN, 0};
         p.pump() && !p.picture.hasFrame() && std::chrono::steady_clock::now() < until;)
        poll(&wait, 1, 100);
    error = p.picture.hasFrame() ? "" : p.failure.empty() ? "no frame from the compositor within 10 s" : p.failure;
    return error.empty();
}

bool WlrootsDesktop::gone() const { return !parts_->failure.empty(); }

bool WlrootsDesktop::capture(ScreenPicture& out, std::string& error)
{
    Parts& p = *parts_;
    if (!p.pump()) {
        error = p.failure;
        return false;
    }
    p.picture.take(out);
    out.pixelFormat = p.pictureFormat;
    return true;
}

bool WlrootsDesktop::changedSinceCapture()
{
    Parts& p = *parts_;
    return !p.pump() || p.picture.changed();
}

ChangeWatch WlrootsDesktop::changeWatch() const
{
    ChangeWatch watch;
    watch.fd = wl_display_get_fd(parts_->display);
    return watch;
}

void WlrootsDesktop::movePointer(int x, int y)
{
    Parts& p = *parts_;
    int width = std::max(p.width, 1), height = std::max(p.height, 1);
    x = std::clamp(x, 0, width - 1);
    y = std::clamp(y, 0, height - 1);
    PixelRect area = {0, 0, width, height};
    if (!p.pointerOnOutput) {
        // A pointer of no output moves over the whole layout: the shared output's part of it.
        int64_t lx = int64_t(p.shared.x) - p.extent.x + int64_t(x) * p.shared.width / width;
        int64_t ly = int64_t(p.shared.y) - p.extent.y + int64_t(y) * p.shared.height / height;
        area = p.extent;
        x = int(std::clamp<int64_t>(lx, 0, area.width - 1));
        y = int(std::clamp<int64_t>(ly, 0, area.height - 1));
    }
    zwlr_virtual_pointer_v1_motion_absolute(p.pointer, nowMs(), uint32_t(x), uint32_t(y), uint32_t(area.width),
                                            uint32_t(area.height));
    zwlr_virtual_pointer_v1_frame(p.pointer);
}

void WlrootsDesktop::button(int button, bool press)
{
    if (button < 1 || button > 3)
        return;
    zwlr_virtual_pointer_v1_button(parts_->pointer, nowMs(), kButtons[button - 1],
                                   press ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(parts_->pointer);
}

bool WlrootsDesktop::key(const std::string& place, bool press)
{
    Parts& p = *parts_;
    // XKB's evdev keycodes are the kernel's codes plus 8.
    xkb_keycode_t code = xkb_keymap_key_by_name(p.keymap, place.c_str());
    if (code == XKB_KEYCODE_INVALID || code < 8)
        return false;
    zwp_virtual_keyboard_v1_key(p.keyboard, nowMs(), code - 8,
                                press ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    xkb_state_update_key(p.state, code, press ? XKB_KEY_DOWN : XKB_KEY_UP);
    p.reportModifiers();
    return true;
}

void WlrootsDesktop::flush()
{
    parts_->pump();
}
