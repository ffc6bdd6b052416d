#include "host/session_bus.h"

#include <unistd.h>

#include <cstdlib>

GVariant* busCall(GDBusConnection* bus, const char* name, const std::string& path, const char* interface,
                  const char* method, GVariant* arguments, const char* replyType, std::string& error, int ms)
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

GVariant* busProperty(GDBusConnection* bus, const char* name, const std::string& path, const char* interface,
                      const char* property, const char* type, std::string& error, int ms)
{
    GVariant* reply = busCall(bus, name, path, "org.freedesktop.DBus.Properties", "Get",
                              g_variant_new("(ss)", interface, property), "(v)", error, ms);
    if (!reply)
        return nullptr;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    g_variant_unref(reply);
    if (!g_variant_is_of_type(value, G_VARIANT_TYPE(type))) {
        error = std::string(interface) + "." + property + " is of type " + g_variant_get_type_string(value) +
                ", not " + type;
        g_variant_unref(value);
        return nullptr;
    }
    return value;
}

std::string objectPath(GVariant* reply)
{
    const char* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    std::string out = path;
    g_variant_unref(reply);
    return out;
}

GDBusConnection* sessionBus(std::string& error)
{
    // GIO would launch a bus of its own where DISPLAY is set.
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
