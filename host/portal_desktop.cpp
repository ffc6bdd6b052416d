#include "host/portal_desktop.h"

#include <gio/gunixfdlist.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "host/evdev_keys.h"
#include "host/pipewire_stream.h"
#include "host/restore_token.h"
#include "host/session_bus.h"

namespace {

const char kPortal[] = "org.freedesktop.portal.Desktop";
const char kPortalPath[] = "/org/freedesktop/portal/desktop";
const char kRemoteDesktop[] = "org.freedesktop.portal.RemoteDesktop";
const char kScreenCast[] = "org.freedesktop.portal.ScreenCast";
const char kSession[] = "org.freedesktop.portal.Session";
constexpr uint32_t kKeyboard = 1, kPointer = 2;
constexpr uint32_t kMonitor = 1;
constexpr uint32_t kCursorEmbedded = 2, kCursorMetadata = 4;
constexpr uint32_t kPersistUntilRevoked = 2;
// The first version whose approvals can be kept.
constexpr uint32_t kPersistingVersion = 2;
// How long an input call may take before the next goes (a portal that hangs slows input only).
constexpr int kInputCallMs = 1000;
// How long the user has to answer the portal's dialog.
constexpr int kAnswerMs = 300000;

// A Request's Response: 0 granted, 1 declined by the user, 2 ended otherwise.
struct Answer {
    bool got = false;
    uint32_t response = 2;
    GVariant* results = nullptr;
};

void onResponse(GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* arguments, void* data)
{
    auto* answer = static_cast<Answer*>(data);
    if (answer->got || !g_variant_is_of_type(arguments, G_VARIANT_TYPE("(ua{sv})")))
        return;
    g_variant_get(arguments, "(u@a{sv})", &answer->response, &answer->results);
    answer->got = true;
}

// A result of the type asked for, null when it is missing or of another type.
GVariant* result(GVariant* results, const char* key, const char* type)
{
    return g_variant_lookup_value(results, key, G_VARIANT_TYPE(type));
}

// SIGINT or SIGTERM came (the host keeps them blocked until its loop waits).
bool stopAsked()
{
    sigset_t pending;
    return sigpending(&pending) == 0 && (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1);
}

}  // namespace

struct PortalDesktop::Parts {
    GDBusConnection* bus = nullptr;
    std::string sender;   // this connection's unique name as request paths spell it
    int requests = 0;
    std::string session;  // the portal's session object
    guint closedSignal = 0;
    guint nameWatch = 0;
    bool closed = false;  // the session ended
    bool gone = false;    // the portal left the bus
    uint32_t node = 0;    // the stream, as input names it
    uint32_t devices = 0; // what input the user allowed
    // The stream in the compositor's coordinates, where the pointer goes, against the frames' pixels.
    int logicalWidth = 0, logicalHeight = 0;
    int frameWidth = 0, frameHeight = 0;
    PipeWireStream video;
    EvdevKeymap keys;

    ~Parts();
    GVariant* ask(const char* interface, const char* method, GVariantBuilder& options,
                  const std::function<GVariant*(GVariant*)>& arguments, int ms, std::string& error);
    bool createSession(std::string& error);
    bool selectDevices(uint32_t version, const Note& note, std::string& error);
    bool selectSources(std::string& error);
    bool start(uint32_t version, const Note& note, std::string& error);
    int openRemote(std::string& error);
    void dispatch()
    {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        video.consume();
    }
    void notify(const char* method, GVariant* arguments)
    {
        // Each waits for the one before: the portal handles calls on threads of its own, and
        // calls sent on without waiting reached the desktop out of order.
        std::string ignored;
        if (GVariant* reply = busCall(bus, kPortal, kPortalPath, kRemoteDesktop, method, arguments, "()", ignored,
                                      kInputCallMs))
            g_variant_unref(reply);
    }
    GVariant* noOptions() { return g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0); }
};

PortalDesktop::Parts::~Parts()
{
    if (!bus)
        return;
    std::string ignored;
    if (!session.empty() && !closed && !gone)
        if (GVariant* reply = busCall(bus, kPortal, session, kSession, "Close", nullptr, "()", ignored))
            g_variant_unref(reply);
    if (closedSignal)
        g_dbus_connection_signal_unsubscribe(bus, closedSignal);
    if (nameWatch)
        g_bus_unwatch_name(nameWatch);
    g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
}

// Calls a method that answers through a Request object's Response signal, named in advance
// by a handle token so that no answer comes before its subscription; the results, or null
// with `error`.
GVariant* PortalDesktop::Parts::ask(const char* interface, const char* method, GVariantBuilder& options,
                                    const std::function<GVariant*(GVariant*)>& arguments, int ms, std::string& error)
{
    std::string token = "tavimo" + std::to_string(++requests);
    std::string path = std::string(kPortalPath) + "/request/" + sender + "/" + token;
    Answer answer;
    auto subscribe = [&](const std::string& at) {
        return g_dbus_connection_signal_subscribe(bus, nullptr, "org.freedesktop.portal.Request", "Response",
                                                  at.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onResponse, &answer,
                                                  nullptr);
    };
    guint signal = subscribe(path);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    GVariant* reply = busCall(bus, kPortal, kPortalPath, interface, method,
                              arguments(g_variant_builder_end(&options)), "(o)", error);
    bool sent = reply != nullptr, stopped = false;
    if (sent) {
        std::string handle = objectPath(reply);
        if (handle != path) {  // a portal older than handle tokens names the request itself
            g_dbus_connection_signal_unsubscribe(bus, signal);
            signal = subscribe(handle);
        }
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!answer.got && !closed && !gone && !stopped && std::chrono::steady_clock::now() < until) {
            if (!g_main_context_iteration(nullptr, FALSE))
                g_usleep(10000);
            stopped = stopAsked();
        }
    }
    g_dbus_connection_signal_unsubscribe(bus, signal);
    if (!sent)
        return nullptr;
    std::string call = std::string(interface) + "." + method;
    if (!answer.got)
        error = gone      ? "the desktop portal left the session bus"
                : closed  ? "the desktop portal closed the session"
                : stopped ? "stopped while waiting for the portal's answer"
                          : call + ": the portal did not answer in time";
    else if (answer.response == 1)
        error = "the request to share the screen was declined";
    else if (answer.response != 0)
        error = call + ": the portal ended the request (response " + std::to_string(answer.response) + ")";
    if (!error.empty() && answer.results) {
        g_variant_unref(answer.results);
        answer.results = nullptr;
    }
    return answer.results;
}

bool PortalDesktop::Parts::createSession(std::string& error)
{
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "session_handle_token", g_variant_new_string("tavimo"));
    GVariant* results = ask(kRemoteDesktop, "CreateSession", options,
                            [](GVariant* o) { return g_variant_new("(@a{sv})", o); }, kBusCallMs, error);
    if (!results)
        return false;
    GVariant* handle = result(results, "session_handle", "s");
    if (!handle)
        handle = result(results, "session_handle", "o");
    if (handle && g_variant_is_object_path(g_variant_get_string(handle, nullptr)))
        session = g_variant_get_string(handle, nullptr);
    if (handle)
        g_variant_unref(handle);
    g_variant_unref(results);
    if (session.empty()) {
        error = "the portal named no session";
        return false;
    }
    closedSignal = g_dbus_connection_signal_subscribe(
        bus, nullptr, kSession, "Closed", session.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*, void* data) {
            static_cast<Parts*>(data)->closed = true;
        },
        this, nullptr);
    return true;
}

bool PortalDesktop::Parts::selectDevices(uint32_t version, const Note& note, std::string& error)
{
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(kKeyboard | kPointer));
    std::string path = restoreTokenPath();
    if (version >= kPersistingVersion && !path.empty()) {
        note("portal-approval persisted (RemoteDesktop version " + std::to_string(version) +
             ": the approval is kept in " + path + ")");
        g_variant_builder_add(&options, "{sv}", "persist_mode", g_variant_new_uint32(kPersistUntilRevoked));
        std::string token, why;
        if (loadRestoreToken(path, token, why))
            g_variant_builder_add(&options, "{sv}", "restore_token", g_variant_new_string(token.c_str()));
        else if (!why.empty())
            note("portal-token-ignored " + path + ": " + why + "; the portal asks again");
    } else {
        note("portal-approval asked-each-time (RemoteDesktop version " + std::to_string(version) +
             (path.empty() ? ", and no state folder" : "") + ": the portal asks on every start)");
    }
    GVariant* results = ask(kRemoteDesktop, "SelectDevices", options,
                            [&](GVariant* o) { return g_variant_new("(o@a{sv})", session.c_str(), o); },
                            kBusCallMs, error);
    if (results)
        g_variant_unref(results);
    return results != nullptr;
}

bool PortalDesktop::Parts::selectSources(std::string& error)
{
    // The pointer as metadata, drawn in by the host; else in the frames.
    std::string ignored;
    uint32_t modes = 0;
    if (GVariant* available =
            busProperty(bus, kPortal, kPortalPath, kScreenCast, "AvailableCursorModes", "u", ignored)) {
        modes = g_variant_get_uint32(available);
        g_variant_unref(available);
    }
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(kMonitor));
    g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
    g_variant_builder_add(&options, "{sv}", "cursor_mode",
                          g_variant_new_uint32(modes & kCursorMetadata ? kCursorMetadata : kCursorEmbedded));
    GVariant* results = ask(kScreenCast, "SelectSources", options,
                            [&](GVariant* o) { return g_variant_new("(o@a{sv})", session.c_str(), o); },
                            kBusCallMs, error);
    if (results)
        g_variant_unref(results);
    return results != nullptr;
}

bool PortalDesktop::Parts::start(uint32_t version, const Note& note, std::string& error)
{
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    GVariant* results = ask(kRemoteDesktop, "Start", options,
                            [&](GVariant* o) { return g_variant_new("(os@a{sv})", session.c_str(), "", o); },
                            kAnswerMs, error);
    if (!results)
        return false;
    if (GVariant* streams = result(results, "streams", "a(ua{sv})")) {
        if (g_variant_n_children(streams) > 0) {
            GVariant* properties = nullptr;
            g_variant_get_child(streams, 0, "(u@a{sv})", &node, &properties);
            if (GVariant* size = result(properties, "size", "(ii)")) {
                g_variant_get(size, "(ii)", &logicalWidth, &logicalHeight);
                g_variant_unref(size);
            }
            g_variant_unref(properties);
        } else {
            error = "the portal shares no screen";
        }
        g_variant_unref(streams);
    } else {
        error = "the portal named no screen stream";
    }
    if (GVariant* granted = result(results, "devices", "u")) {
        devices = g_variant_get_uint32(granted);
        g_variant_unref(granted);
    }
    if ((devices & (kKeyboard | kPointer)) != (kKeyboard | kPointer))
        note(std::string("portal-devices-missing") + (devices & kKeyboard ? "" : " keyboard") +
             (devices & kPointer ? "" : " pointer") + " (not allowed in the portal's dialog: that input is lost)");
    GVariant* token = version >= kPersistingVersion ? result(results, "restore_token", "s") : nullptr;
    std::string path = restoreTokenPath(), failure;
    if (token && !path.empty())
        note(saveRestoreToken(path, g_variant_get_string(token, nullptr), failure)
                 ? "portal-token-saved " + path
                 : "portal-token-not-saved " + failure);
    else if (version >= kPersistingVersion)
        note("portal-token-none (the portal keeps no approval for this session: it asks again next time)");
    if (token)
        g_variant_unref(token);
    g_variant_unref(results);
    return error.empty();
}

// The PipeWire connection that reaches the shared stream; -1 with `error`.
int PortalDesktop::Parts::openRemote(std::string& error)
{
    GError* failure = nullptr;
    GUnixFDList* fds = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        bus, kPortal, kPortalPath, kScreenCast, "OpenPipeWireRemote", g_variant_new("(o@a{sv})", session.c_str(),
                                                                                    noOptions()),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, kBusCallMs, nullptr, &fds, nullptr, &failure);
    if (!reply) {
        error = std::string("ScreenCast.OpenPipeWireRemote: ") + failure->message;
        g_error_free(failure);
        return -1;
    }
    int32_t index = -1;
    g_variant_get(reply, "(h)", &index);
    g_variant_unref(reply);
    int fd = fds && index >= 0 && index < g_unix_fd_list_get_length(fds) ? g_unix_fd_list_get(fds, index, nullptr)
                                                                           : -1;
    if (fds)
        g_object_unref(fds);
    if (fd < 0)
        error = "the portal passed no PipeWire connection";
    return fd;
}

PortalDesktop::PortalDesktop() : parts_(new Parts) {}

PortalDesktop::~PortalDesktop() = default;

bool PortalDesktop::available(std::string& why)
{
    GDBusConnection* bus = sessionBus(why);
    if (!bus)
        return false;
    GVariant* version = busProperty(bus, kPortal, kPortalPath, kRemoteDesktop, "version", "u", why);
    g_object_unref(bus);
    if (!version) {
        why = "the desktop portal's RemoteDesktop (" + std::string(kPortal) + ") does not answer: " + why;
        return false;
    }
    g_variant_unref(version);
    return true;
}

bool PortalDesktop::open(const Note& note, std::string& error)
{
    Parts& p = *parts_;
    if (!p.keys.open(error))
        return false;
    p.bus = sessionBus(error);
    if (!p.bus)
        return false;
    // ":1.42" is spelt "1_42" in request paths.
    for (const char* c = g_dbus_connection_get_unique_name(p.bus); c && *c; ++c)
        if (*c != ':')
            p.sender += *c == '.' ? '_' : *c;
    GVariant* version = busProperty(p.bus, kPortal, kPortalPath, kRemoteDesktop, "version", "u", error);
    if (!version) {
        error = "the desktop portal's RemoteDesktop does not answer: " + error;
        return false;
    }
    uint32_t remoteDesktopVersion = g_variant_get_uint32(version);
    g_variant_unref(version);
    p.nameWatch = g_bus_watch_name_on_connection(
        p.bus, kPortal, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
        [](GDBusConnection*, const char*, void* data) { static_cast<Parts*>(data)->gone = true; }, &p, nullptr);
    if (!p.createSession(error) || !p.selectDevices(remoteDesktopVersion, note, error) || !p.selectSources(error) ||
        !p.start(remoteDesktopVersion, note, error))
        return false;
    int remote = p.openRemote(error);
    if (remote < 0 || !p.video.start(p.node, remote, error))
        return false;
    // The wake, for the devices the user allowed (the portal refuses input of the others).
    auto wake = [&](const char* method, GVariant* arguments) {
        GVariant* reply = busCall(p.bus, kPortal, kPortalPath, kRemoteDesktop, method, arguments, "()", error);
        if (reply)
            g_variant_unref(reply);
        return reply != nullptr;
    };
    auto wakeKey = [&](uint32_t state) {
        return wake("NotifyKeyboardKeycode", g_variant_new("(o@a{sv}iu)", p.session.c_str(), p.noOptions(),
                                                           int32_t(kEvdevWakeKey), state));
    };
    bool keyboard = !(p.devices & kKeyboard) || (wakeKey(1) && wakeKey(0));
    return keyboard && (!(p.devices & kPointer) ||
                        wake("NotifyPointerMotion", g_variant_new("(o@a{sv}dd)", p.session.c_str(), p.noOptions(),
                                                                  0.0, 0.0)));
}

std::string PortalDesktop::captureMethod() const { return parts_->video.captureMethod(); }

bool PortalDesktop::gone() const { return parts_->closed || parts_->gone || parts_->video.failed(); }

bool PortalDesktop::capture(ScreenPicture& out, std::string& error)
{
    Parts& p = *parts_;
    p.dispatch();
    if (p.closed || p.gone) {
        error = p.gone ? "the desktop portal left the session bus" : "the desktop portal closed the session";
        return false;
    }
    if (!p.video.take(out, error))
        return false;
    p.frameWidth = out.width;
    p.frameHeight = out.height;
    return true;
}

bool PortalDesktop::changedSinceCapture()
{
    Parts& p = *parts_;
    p.dispatch();
    return p.closed || p.gone || p.video.changed();
}

ChangeWatch PortalDesktop::changeWatch() const
{
    ChangeWatch watch;
    watch.fd = parts_->video.changeFd();
    return watch;
}

void PortalDesktop::movePointer(int x, int y)
{
    Parts& p = *parts_;
    if (!(p.devices & kPointer))  // not allowed: logged at the start
        return;
    // A scaled monitor's frames have more pixels than its place in the compositor.
    double sx = p.logicalWidth > 0 && p.frameWidth > 0 ? double(p.logicalWidth) / p.frameWidth : 1.0;
    double sy = p.logicalHeight > 0 && p.frameHeight > 0 ? double(p.logicalHeight) / p.frameHeight : 1.0;
    p.notify("NotifyPointerMotionAbsolute",
             g_variant_new("(o@a{sv}udd)", p.session.c_str(), p.noOptions(), p.node, x * sx, y * sy));
}

void PortalDesktop::button(int button, bool press)
{
    Parts& p = *parts_;
    if (button >= 1 && button <= 3 && (p.devices & kPointer))
        p.notify("NotifyPointerButton", g_variant_new("(o@a{sv}iu)", p.session.c_str(), p.noOptions(),
                                                      kEvdevButtons[button - 1], uint32_t(press)));
}

bool PortalDesktop::key(const std::string& place, bool press)
{
    Parts& p = *parts_;
    int code = p.keys.code(place);
    if (code < 0)
        return false;
    if (p.devices & kKeyboard)
        p.notify("NotifyKeyboardKeycode",
             g_variant_new("(o@a{sv}iu)", p.session.c_str(), p.noOptions(), int32_t(code), uint32_t(press)));
    return true;
}
