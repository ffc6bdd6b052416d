// The event log: one line per event, each written with one write() as soon as it happens.
#pragma once

#include <string>

class EventLog {
public:
    EventLog() = default;
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Truncates or creates `path`. False, with `error` set, when it cannot.
    bool open(const std::string& path, std::string& error);
    void setEcho(bool echo) { echo_ = echo; }

    // Writes `text` and a newline.
    void line(const std::string& text);
    // printf-style.
#ifdef __MINGW32__
    // The C++ runtime there formats as C99 says (%zu, %llu), not as the system's printf.
    void event(const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));
#else
    void event(const char* format, ...) __attribute__((format(printf, 2, 3)));
#endif

private:
    int fd_ = -1;
    bool echo_ = false;
};

// Upper-case hex of `size` bytes, no separators.
std::string hexBytes(const unsigned char* data, size_t size);
