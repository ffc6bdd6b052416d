// The desktop session's D-Bus, as the Wayland backends talk to their compositor or portal
// over it (GIO).
#pragma once

#include <gio/gio.h>

#include <string>

constexpr int kBusCallMs = 5000;

// The session's bus, never one started for the host; null with `error` set.
GDBusConnection* sessionBus(std::string& error);
// A synchronous call; null with `error` set when it failed or the reply is not of `replyType`.
GVariant* busCall(GDBusConnection* bus, const char* name, const std::string& path, const char* interface,
                  const char* method, GVariant* arguments, const char* replyType, std::string& error,
                  int ms = kBusCallMs);
// A property's value, null with `error` set when it is missing or not of `type`.
GVariant* busProperty(GDBusConnection* bus, const char* name, const std::string& path, const char* interface,
                      const char* property, const char* type, std::string& error, int ms = kBusCallMs);
// The object path an "(o)" reply holds; the reply is freed.
std::string objectPath(GVariant* reply);
