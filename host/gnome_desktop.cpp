#include "host/gnome_desktop.h"

#include <gio/gio.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <turbojpeg.h>
#include <xkbcommon/xkbcommon.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "host/stream_picture.h"

namespace {

const char kRemoteDesktop[] = "org.gnome.Mutter.RemoteDesktop";
const char kRemoteDesktopSession[] = "org.gnome.Mutter.RemoteDesktop.Session";
const char kScreenCast[] = "org.gnome.Mutter.ScreenCast";
const char kDisplayConfig[] = "org.gnome.Mutter.DisplayConfig";
constexpr int kCallMs = 5000;
constexpr int kFirstFrameMs = 10000;
constexpr uint32_t kCursorModeMetadata = 2;
// evdev's BTN_LEFT, BTN_MIDDLE, BTN_RIGHT in X's order.
constexpr int32_t kButtons[] = {0x110, 0x112, 0x111};
// The compositor makes the session's keyboard and pointer on their first use, and no
// client receives that event: at the start, KEY_F24 (a key no keyboard has) is pressed and
// released, and the pointer moved by nothing.
constexpr uint32_t kWakeKey = 194;

size_t cursorMetaSize(int side) { return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + size_t(side) * side * 4; }

// A synchronous call; null with `error` set when it failed.
GVariant* call(GDBusConnection* bus, const char* name, const std::string& path, const char* interface,
               const char* method, GVariant* arguments, const char* replyType, std::string& error, int ms = kCallMs)
{
    GError* failure = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, name, path.c_str(), interface, method, arguments,
                                                  G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, ms, nullptr,
                                                  &failure);
    if (!reply) {
        error = std::string(interface) + "." + method + ": " + failure->message;
        g_error_free(failure);
    }
    return reply;
}

std::string objectPath(GVariant* reply)
{
    const char* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    std::string out = path;
    g_variant_unref(reply);
    return out;
}

// The session's bus, never one started for the host (GIO would launch one where DISPLAY is set).
GDBusConnection* sessionBus(std::string& error)
{
    const char* named = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string address = named && *named ? named : "";
    if (address.empty() && runtime && access((std::string(runtime) + "/bus").c_str(), F_OK) == 0)
        address = "unix:path=" + std::string(runtime) + "/bus";
    if (address.empty()) {
        error = "no D-Bus session bus: DBUS_SESSION_BUS_ADDRESS is unset and there is no $XDG_RUNTIME_DIR/bus";
        return nullptr;
    }
    GError* failure = nullptr;
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &failure);
    if (!bus) {
        error = "cannot reach the D-Bus session bus at " + address + ": " + failure->message;
        g_error_free(failure);
        return nullptr;
    }
    // A compositor that goes ends the sessions, not the host.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    return bus;
}

// A monitor's connector: the first of its (ssss).
std::string connectorOf(GVariant* monitors, gsize index)
{
    GVariant* monitor = g_variant_get_child_value(monitors, index);
    GVariant* spec = g_variant_is_of_type(monitor, G_VARIANT_TYPE("(ssss)")) ? g_variant_ref(monitor)
                                                                             : g_variant_get_child_value(monitor, 0);
    const char* name = nullptr;
    g_variant_get_child(spec, 0, "&s", &name);
    std::string connector = name ? name : "";
    g_variant_unref(spec);
    g_variant_unref(monitor);
    return connector;
}

// The connector of the primary monitor, else of the first one.
std::string primaryConnector(GDBusConnection* bus, std::string& error)
{
    GVariant* state = call(bus, kDisplayConfig, "/org/gnome/Mutter/DisplayConfig", kDisplayConfig, "GetCurrentState",
                           nullptr, "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})", error);
    if (!state)
        return "";
    std::string connector;
    GVariant* logical = g_variant_get_child_value(state, 2);
    for (gsize i = 0; i < g_variant_n_children(logical) && connector.empty(); ++i) {
        GVariant* monitor = g_variant_get_child_value(logical, i);
        gboolean primary = FALSE;
        g_variant_get_child(monitor, 4, "b", &primary);
        GVariant* members = g_variant_get_child_value(monitor, 5);
        if (primary && g_variant_n_children(members) > 0)
            connector = connectorOf(members, 0);
        g_variant_unref(members);
        g_variant_unref(monitor);
    }
    g_variant_unref(logical);
    GVariant* monitors = g_variant_get_child_value(state, 1);
    if (connector.empty() && g_variant_n_children(monitors) > 0)
        connector = connectorOf(monitors, 0);
    g_variant_unref(monitors);
    g_variant_unref(state);
    if (connector.empty())
        error = "the compositor reports no monitor";
    return connector;
}

}  // namespace

struct GnomeDesktop::Parts {
    GDBusConnection* bus = nullptr;
    std::string session;  // the RemoteDesktop session's object
    std::string stream;   // its ScreenCast stream's object
    guint nodeSignal = 0;
    guint closedSignal = 0;
    guint nameWatch = 0;
    uint32_t node = SPA_ID_INVALID;
    bool closed = false;
    // PipeWire runs on a thread of its own, so the compositor always gets its buffers back
    // at once (a frame it finds no buffer for is lost); its lock guards what follows.
    pw_thread_loop* thread = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* video = nullptr;
    spa_hook coreListener{};
    spa_hook videoListener{};
    spa_video_info_raw format{};
    int news = -1;        // an eventfd, written when the picture changed or the stream failed
    std::string failure;  // why the stream stopped
    std::atomic<bool> damageMeta{false};  // the stream says where frames changed (else the tiles are compared)
    StreamPicture picture;
    xkb_context* xkb = nullptr;
    xkb_keymap* keymap = nullptr;

    ~Parts();
    bool startStream(std::string& error);
    // Runs what D-Bus delivered, and clears the news once read.
    void dispatch()
    {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        uint64_t count;
        while (read(news, &count, sizeof count) > 0) {
        }
    }
    void tell()
    {
        uint64_t one = 1;
        (void)!write(news, &one, sizeof one);
    }
    void take(spa_buffer* buffer);
    void formatChanged(const spa_pod* param);
    void notify(const char* method, GVariant* arguments)
    {
        // No reply wanted: calls go out in order and nothing waits for the compositor.
        g_dbus_connection_call(bus, kRemoteDesktop, session.c_str(), kRemoteDesktopSession, method, arguments, nullptr,
                               G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    }
};

GnomeDesktop::Parts::~Parts()
{
    if (thread)
        pw_thread_loop_stop(thread);
    if (video)
        pw_stream_destroy(video);
    if (core)
        pw_core_disconnect(core);
    if (context)
        pw_context_destroy(context);
    if (thread)
        pw_thread_loop_destroy(thread);
    if (news >= 0)
        close(news);
    if (bus) {
        std::string ignored;
        if (!session.empty() && !closed)
            if (GVariant* reply = call(bus, kRemoteDesktop, session, kRemoteDesktopSession, "Stop", nullptr, "()",
                                       ignored))
                g_variant_unref(reply);
        for (guint id : {nodeSignal, closedSignal})
            if (id)
                g_dbus_connection_signal_unsubscribe(bus, id);
        if (nameWatch)
            g_bus_unwatch_name(nameWatch);
        g_dbus_connection_flush_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
    }
    if (keymap)
        xkb_keymap_unref(keymap);
    if (xkb)
        xkb_context_unref(xkb);
}

void GnomeDesktop::Parts::take(spa_buffer* buffer)
{
    if (spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_Cursor)) {
        StreamPointer pointer;
        readStreamCursor(meta->data, meta->size, pointer);
        picture.pointer(pointer);
    }
    if (buffer->n_datas < 1)
        return;
    const spa_data& data = buffer->datas[0];
    // A buffer of the pointer alone carries no picture.
    if (!data.data || !data.chunk || data.chunk->size == 0 || (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED))
        return;
    int width = int(format.size.width), height = int(format.size.height), stride = data.chunk->stride;
    if (width <= 0 || height <= 0 || stride < width * 4 ||
        uint64_t(data.chunk->offset) + uint64_t(stride) * (height - 1) + uint64_t(width) * 4 > data.maxsize)
        return;
    std::vector<PixelRect> damage;
    if (spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_VideoDamage)) {
        damage = readStreamDamage(meta->data, meta->size, width, height);
        damageMeta = true;
    }
    picture.frame(static_cast<const uint8_t*>(data.data) + data.chunk->offset, width, height, stride, damage);
}

void GnomeDesktop::Parts::formatChanged(const spa_pod* param)
{
    if (!param || spa_format_video_raw_parse(param, &format) < 0)
        return;
    uint8_t space[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(space, sizeof space);
    const spa_pod* params[] = {
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
            SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(int(sizeof(spa_meta_region) * 16), int(sizeof(spa_meta_region)),
                                     int(sizeof(spa_meta_region) * 16)))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
            SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(int(cursorMetaSize(64)), int(cursorMetaSize(1)), int(cursorMetaSize(384))))),
    };
    pw_stream_update_params(video, params, 3);
}

namespace {

GnomeDesktop::Parts* partsOf(void* data) { return static_cast<GnomeDesktop::Parts*>(data); }

const pw_stream_events kVideoEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* data, pw_stream_state old, pw_stream_state state, const char* error) {
        if (state == PW_STREAM_STATE_ERROR || (state == PW_STREAM_STATE_UNCONNECTED && old != state)) {
            partsOf(data)->failure = std::string("the screen stream ended: ") + (error ? error : "unconnected");
            partsOf(data)->tell();
        }
    };
    events.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
        if (id == SPA_PARAM_Format)
            partsOf(data)->formatChanged(param);
    };
    events.process = [](void* data) {
        // Every buffer in turn, for its damage and pointer; each holds the whole picture.
        GnomeDesktop::Parts* parts = partsOf(data);
        while (pw_buffer* buffer = pw_stream_dequeue_buffer(parts->video)) {
            parts->take(buffer->buffer);
            pw_stream_queue_buffer(parts->video, buffer);
        }
        if (parts->picture.changed())
            parts->tell();
    };
    return events;
}();

const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = [](void* data, uint32_t id, int, int, const char* message) {
        if (id == PW_ID_CORE) {
            partsOf(data)->failure = std::string("PipeWire: ") + message;
            partsOf(data)->tell();
        }
    };
    return events;
}();

}  // namespace

bool GnomeDesktop::Parts::startStream(std::string& error)
{
    pw_init(nullptr, nullptr);
    news = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread = pw_thread_loop_new("tavimo-pipewire", nullptr);
    context = thread ? pw_context_new(pw_thread_loop_get_loop(thread), nullptr, 0) : nullptr;
    core = context ? pw_context_connect(context, nullptr, 0) : nullptr;
    if (!core) {
        error = "cannot reach PipeWire in this session (is the pipewire service running?)";
        return false;
    }
    pw_core_add_listener(core, &coreListener, &kCoreEvents, this);
    video = pw_stream_new(core, "tavimo-host",
                          pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                            PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    pw_stream_add_listener(video, &videoListener, &kVideoEvents, this);
    uint8_t space[256];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(space, sizeof space);
    const spa_pod* formats = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA)));
    if (pw_stream_connect(video, PW_DIRECTION_INPUT, node,
                          pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), &formats,
                          1) < 0) {
        error = "cannot connect to the screen stream's PipeWire node";
        return false;
    }
    if (news < 0 || pw_thread_loop_start(thread) < 0) {
        error = "cannot start PipeWire's thread";
        return false;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstFrameMs);
    for (pollfd wait = {news, POLLIN, 0}; std::chrono::steady_clock::now() < until; poll(&wait, 1, 100)) {
        pw_thread_loop_lock(thread);
        bool done = picture.hasFrame() || !failure.empty();
        error = picture.hasFrame() ? "" : failure;
        pw_thread_loop_unlock(thread);
        if (done)
            return error.empty();
    }
    error = "no frame from the screen stream within 10 s";
    return false;
}

GnomeDesktop::GnomeDesktop() : parts_(new Parts) {}

GnomeDesktop::~GnomeDesktop() = default;

bool GnomeDesktop::available(std::string& why)
{
    GDBusConnection* bus = sessionBus(why);
    if (!bus)
        return false;
    GVariant* version =
        call(bus, kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", "org.freedesktop.DBus.Properties", "Get",
             g_variant_new("(ss)", kRemoteDesktop, "Version"), "(v)", why, 2000);
    g_object_unref(bus);
    if (!version) {
        why = "GNOME's remote desktop API (" + std::string(kRemoteDesktop) + ") does not answer on the session bus: " +
              why;
        return false;
    }
    g_variant_unref(version);
    return true;
}

std::string GnomeDesktop::keyboardLayouts()
{
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* schema =
        source ? g_settings_schema_source_lookup(source, "org.gnome.desktop.input-sources", TRUE) : nullptr;
    if (!schema)
        return "";
    GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
    GVariant* sources = g_settings_get_value(settings, "sources");
    std::string layouts;
    GVariantIter iter;
    const char *type = nullptr, *name = nullptr;
    g_variant_iter_init(&iter, sources);
    while (g_variant_iter_next(&iter, "(&s&s)", &type, &name))
        if (std::strcmp(type, "xkb") == 0)
            layouts += (layouts.empty() ? "" : ",") + std::string(name).substr(0, std::strcspn(name, "+"));
    g_variant_unref(sources);
    g_object_unref(settings);
    g_settings_schema_unref(schema);
    return layouts;
}

bool GnomeDesktop::open(std::string& error)
{
    Parts& p = *parts_;
    p.xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    // Key names to evdev codes: XKB's evdev keycodes are the kernel's codes plus 8.
    xkb_rule_names names = {"evdev", "pc105", "us", "", ""};
    p.keymap = p.xkb ? xkb_keymap_new_from_names(p.xkb, &names, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr;
    if (!p.keymap) {
        error = "XKB cannot compile the evdev keymap (is xkb-data installed?)";
        return false;
    }
    p.bus = sessionBus(error);
    if (!p.bus)
        return false;
    std::string connector = primaryConnector(p.bus, error);
    if (connector.empty())
        return false;
    GVariant* reply = call(p.bus, kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop, "CreateSession",
                           nullptr, "(o)", error);
    if (!reply)
        return false;
    p.session = objectPath(reply);
    p.closedSignal = g_dbus_connection_signal_subscribe(
        p.bus, kRemoteDesktop, kRemoteDesktopSession, "Closed", p.session.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*, void* data) {
            partsOf(data)->closed = true;
        },
        &p, nullptr);
    // A compositor that goes sends no Closed.
    p.nameWatch = g_bus_watch_name_on_connection(
        p.bus, kRemoteDesktop, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
        [](GDBusConnection*, const char*, void* data) { partsOf(data)->closed = true; }, &p, nullptr);
    GVariant* id = call(p.bus, kRemoteDesktop, p.session, "org.freedesktop.DBus.Properties", "Get",
                        g_variant_new("(ss)", kRemoteDesktopSession, "SessionId"), "(v)", error);
    if (!id)
        return false;
    GVariant* value = nullptr;
    g_variant_get(id, "(v)", &value);
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "remote-desktop-session-id", value);
    g_variant_unref(id);
    reply = call(p.bus, kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession",
                 g_variant_new("(a{sv})", &properties), "(o)", error);
    if (!reply)
        return false;
    std::string screenCast = objectPath(reply);
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "cursor-mode", g_variant_new_uint32(kCursorModeMetadata));
    reply = call(p.bus, kScreenCast, screenCast, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
                 g_variant_new("(sa{sv})", connector.c_str(), &properties), "(o)", error);
    if (!reply)
        return false;
    p.stream = objectPath(reply);
    p.nodeSignal = g_dbus_connection_signal_subscribe(
        p.bus, kScreenCast, "org.gnome.Mutter.ScreenCast.Stream", "PipeWireStreamAdded", p.stream.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* arguments, void* data) {
            g_variant_get(arguments, "(u)", &partsOf(data)->node);
        },
        &p, nullptr);
    reply = call(p.bus, kRemoteDesktop, p.session, kRemoteDesktopSession, "Start", nullptr, "()", error);
    if (!reply)
        return false;
    g_variant_unref(reply);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCallMs);
    while (p.node == SPA_ID_INVALID && !p.closed && std::chrono::steady_clock::now() < until) {
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(10000);
    }
    if (p.node == SPA_ID_INVALID) {
        error = "the compositor named no PipeWire stream for the screen";
        return false;
    }
    if (!p.startStream(error))
        return false;
    for (auto [method, arguments] :
         {std::pair{"NotifyKeyboardKeycode", g_variant_new("(ub)", kWakeKey, TRUE)},
          {"NotifyKeyboardKeycode", g_variant_new("(ub)", kWakeKey, FALSE)},
          {"NotifyPointerMotionRelative", g_variant_new("(dd)", 0.0, 0.0)}}) {
        reply = call(p.bus, kRemoteDesktop, p.session, kRemoteDesktopSession, method, arguments, "()", error);
        if (!reply)
            return false;
        g_variant_unref(reply);
    }
    return true;
}

std::string GnomeDesktop::captureMethod() const
{
    return parts_->damageMeta ? "pipewire+damage" : "pipewire+tiles";
}

bool GnomeDesktop::capture(ScreenPicture& out, std::string& error)
{
    Parts& p = *parts_;
    p.dispatch();
    pw_thread_loop_lock(p.thread);
    if (p.closed)
        error = "the compositor ended the remote desktop session, or left the session bus";
    else if (!p.failure.empty())
        error = p.failure;
    else
        p.picture.take(out);
    pw_thread_loop_unlock(p.thread);
    out.pixelFormat = TJPF_BGRX;
    return error.empty();
}

bool GnomeDesktop::changedSinceCapture()
{
    Parts& p = *parts_;
    p.dispatch();
    pw_thread_loop_lock(p.thread);
    bool changed = p.picture.changed() || p.closed || !p.failure.empty();
    pw_thread_loop_unlock(p.thread);
    return changed;
}

ChangeWatch GnomeDesktop::changeWatch() const
{
    ChangeWatch watch;
    watch.fd = parts_->news;
    return watch;
}

void GnomeDesktop::movePointer(int x, int y)
{
    parts_->notify("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", parts_->stream.c_str(), double(x), double(y)));
}

void GnomeDesktop::button(int button, bool press)
{
    if (button >= 1 && button <= 3)
        parts_->notify("NotifyPointerButton", g_variant_new("(ib)", kButtons[button - 1], gboolean(press)));
}

bool GnomeDesktop::key(const std::string& place, bool press)
{
    xkb_keycode_t code = xkb_keymap_key_by_name(parts_->keymap, place.c_str());
    if (code == XKB_KEYCODE_INVALID || code < 8)
        return false;
    parts_->notify("NotifyKeyboardKeycode", g_variant_new("(ub)", uint32_t(code - 8), gboolean(press)));
    return true;
}
