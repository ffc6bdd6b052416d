#include "host/gnome_desktop.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "host/evdev_keys.h"
#include "host/pipewire_stream.h"
#include "host/session_bus.h"

namespace {

const char kRemoteDesktop[] = "org.gnome.Mutter.RemoteDesktop";
const char kRemoteDesktopSession[] = "org.gnome.Mutter.RemoteDesktop.Session";
const char kScreenCast[] = "org.gnome.Mutter.ScreenCast";
const char kDisplayConfig[] = "org.gnome.Mutter.DisplayConfig";
constexpr uint32_t kCursorModeMetadata = 2;

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

// The logical monitors as the compositor lays them out, each named by its first
// connector and as large as that connector's current mode, turned and scaled as laid out.
std::vector<MonitorInfo> logicalMonitors(GDBusConnection* bus, std::string& error)
{
    std::vector<MonitorInfo> out;
    GVariant* state = busCall(bus, kDisplayConfig, "/org/gnome/Mutter/DisplayConfig", kDisplayConfig, "GetCurrentState",
                              nullptr, "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})", error);
    if (!state)
        return out;
    GVariant* monitors = g_variant_get_child_value(state, 1);
    GVariant* logical = g_variant_get_child_value(state, 2);
    GVariant* properties = g_variant_get_child_value(state, 3);
    uint32_t layoutMode = 1;  // 1: sizes in logical pixels (mode / scale), 2: physical
    g_variant_lookup(properties, "layout-mode", "u", &layoutMode);
    for (gsize i = 0; i < g_variant_n_children(logical); ++i) {
        int32_t x = 0, y = 0;
        double scale = 1;
        uint32_t transform = 0;
        gboolean primary = FALSE;
        GVariant* members = nullptr;
        g_variant_get_child(logical, i, "(iidub@a(ssss)@a{sv})", &x, &y, &scale, &transform, &primary, &members,
                            nullptr);
        std::string connector = g_variant_n_children(members) > 0 ? connectorOf(members, 0) : "";
        g_variant_unref(members);
        int width = 0, height = 0;
        for (gsize m = 0; m < g_variant_n_children(monitors) && width == 0; ++m) {
            if (connectorOf(monitors, m) != connector)
                continue;
            GVariant* monitor = g_variant_get_child_value(monitors, m);
            GVariant* modes = g_variant_get_child_value(monitor, 1);
            for (gsize k = 0; k < g_variant_n_children(modes) && width == 0; ++k) {
                int32_t w = 0, h = 0;
                GVariant* modeProperties = nullptr;
                g_variant_get_child(modes, k, "(&siiddad@a{sv})", nullptr, &w, &h, nullptr, nullptr, nullptr,
                                    &modeProperties);
                gboolean current = FALSE;
                if (g_variant_lookup(modeProperties, "is-current", "b", &current) && current)
                    width = w, height = h;
                g_variant_unref(modeProperties);
            }
            g_variant_unref(modes);
            g_variant_unref(monitor);
        }
        if (transform % 2 == 1)  // turned a quarter
            std::swap(width, height);
        if (layoutMode == 1 && scale > 0)
            width = int(width / scale + 0.5), height = int(height / scale + 0.5);
        if (!connector.empty() && width > 0 && height > 0)
            out.push_back({connector, {x, y, width, height}, primary != FALSE});
    }
    g_variant_unref(properties);
    g_variant_unref(logical);
    g_variant_unref(monitors);
    g_variant_unref(state);
    if (out.empty())
        error = "the compositor reports no monitor";
    orderMonitors(out);
    return out;
}

}  // namespace

struct GnomeDesktop::Parts {
    GDBusConnection* bus = nullptr;
    std::string session;  // the RemoteDesktop session's object
    std::string stream;   // its ScreenCast stream's object
    guint nodeSignal = 0;
    guint closedSignal = 0;
    guint nameWatch = 0;
    uint32_t node = UINT32_MAX;
    bool closed = false;
    PipeWireStream video;
    EvdevKeymap keys;

    ~Parts();
    // Runs what D-Bus delivered, and clears the news once read.
    void dispatch()
    {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        video.consume();
    }
    void notify(const char* method, GVariant* arguments)
    {
        // No reply wanted: calls go out in order and nothing waits for the compositor.
        g_dbus_connection_call(bus, kRemoteDesktop, session.c_str(), kRemoteDesktopSession, method, arguments, nullptr,
                               G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    }
};

GnomeDesktop::Parts::~Parts()
{
    if (bus) {
        std::string ignored;
        if (!session.empty() && !closed)
            if (GVariant* reply = busCall(bus, kRemoteDesktop, session, kRemoteDesktopSession, "Stop", nullptr, "()",
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
}

namespace {

GnomeDesktop::Parts* partsOf(void* data) { return static_cast<GnomeDesktop::Parts*>(data); }

}  // namespace

GnomeDesktop::GnomeDesktop() : parts_(new Parts) {}

GnomeDesktop::~GnomeDesktop() = default;

bool GnomeDesktop::available(std::string& why)
{
    GDBusConnection* bus = sessionBus(why);
    if (!bus)
        return false;
    GVariant* version =
        busCall(bus, kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", "org.freedesktop.DBus.Properties", "Get",
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

bool GnomeDesktop::connect(std::string& error)
{
    Parts& p = *parts_;
    if (!p.keys.open(error))
        return false;
    p.bus = sessionBus(error);
    return p.bus != nullptr;
}

std::vector<MonitorInfo> GnomeDesktop::monitors(std::string& error) { return logicalMonitors(parts_->bus, error); }

bool GnomeDesktop::open(const MonitorInfo& monitor, std::string& error)
{
    Parts& p = *parts_;
    GVariant* reply = busCall(p.bus, kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop, "CreateSession",
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
    GVariant* id = busCall(p.bus, kRemoteDesktop, p.session, "org.freedesktop.DBus.Properties", "Get",
                        g_variant_new("(ss)", kRemoteDesktopSession, "SessionId"), "(v)", error);
    if (!id)
        return false;
    GVariant* value = nullptr;
    g_variant_get(id, "(v)", &value);
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "remote-desktop-session-id", value);
    g_variant_unref(id);
    reply = busCall(p.bus, kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession",
                 g_variant_new("(a{sv})", &properties), "(o)", error);
    if (!reply)
        return false;
    std::string screenCast = objectPath(reply);
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "cursor-mode", g_variant_new_uint32(kCursorModeMetadata));
    reply = busCall(p.bus, kScreenCast, screenCast, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
                    g_variant_new("(sa{sv})", monitor.name.c_str(), &properties), "(o)", error);
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
    reply = busCall(p.bus, kRemoteDesktop, p.session, kRemoteDesktopSession, "Start", nullptr, "()", error);
    if (!reply)
        return false;
    g_variant_unref(reply);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusCallMs);
    while (p.node == UINT32_MAX && !p.closed && std::chrono::steady_clock::now() < until) {
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(10000);
    }
    if (p.node == UINT32_MAX) {
        error = "the compositor named no PipeWire stream for the screen";
        return false;
    }
    // A still monitor may give no first frame: the pointer brought onto it (twice, as the
    // session's first pointer event may go nowhere) makes the compositor paint it.
    auto nudge = [&] {
        for (int step : {0, 1}) {
            std::string ignored;
            GVariant* moved = busCall(p.bus, kRemoteDesktop, p.session, kRemoteDesktopSession,
                                      "NotifyPointerMotionAbsolute",
                                      g_variant_new("(sdd)", p.stream.c_str(), double(monitor.rect.width / 2 + step),
                                                    double(monitor.rect.height / 2)),
                                      "()", ignored);
            if (moved)
                g_variant_unref(moved);
        }
    };
    if (!p.video.start(p.node, -1, error, nudge))
        return false;
    for (auto [method, arguments] :
         {std::pair{"NotifyKeyboardKeycode", g_variant_new("(ub)", kEvdevWakeKey, TRUE)},
          {"NotifyKeyboardKeycode", g_variant_new("(ub)", kEvdevWakeKey, FALSE)},
          {"NotifyPointerMotionRelative", g_variant_new("(dd)", 0.0, 0.0)}}) {
        reply = busCall(p.bus, kRemoteDesktop, p.session, kRemoteDesktopSession, method, arguments, "()", error);
        if (!reply)
            return false;
        g_variant_unref(reply);
    }
    return true;
}

std::string GnomeDesktop::captureMethod() const { return parts_->video.captureMethod(); }

bool GnomeDesktop::gone() const { return parts_->closed || parts_->video.failed(); }

bool GnomeDesktop::capture(ScreenPicture& out, std::string& error)
{
    Parts& p = *parts_;
    p.dispatch();
    if (p.closed) {
        error = "the compositor ended the remote desktop session, or left the session bus";
        return false;
    }
    return p.video.take(out, error);
}

bool GnomeDesktop::changedSinceCapture()
{
    Parts& p = *parts_;
    p.dispatch();
    return p.closed || p.video.changed();
}

ChangeWatch GnomeDesktop::changeWatch() const
{
    ChangeWatch watch;
    watch.fd = parts_->video.changeFd();
    return watch;
}

void GnomeDesktop::movePointer(int x, int y)
{
    parts_->notify("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", parts_->stream.c_str(), double(x), double(y)));
}

void GnomeDesktop::button(int button, bool press)
{
    if (button >= 1 && button <= 3)
        parts_->notify("NotifyPointerButton", g_variant_new("(ib)", kEvdevButtons[button - 1], gboolean(press)));
}

bool GnomeDesktop::key(const std::string& place, bool press)
{
    int code = parts_->keys.code(place);
    if (code < 0)
        return false;
    parts_->notify("NotifyKeyboardKeycode", g_variant_new("(ub)", uint32_t(code), gboolean(press)));
    return true;
}
