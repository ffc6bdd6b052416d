#include "session/event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

#ifdef _WIN32
// Lines end in LF as they do on Linux, and no child program inherits the file.
constexpr int kLogFlags = O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_BINARY | O_NOINHERIT;
#else
constexpr int kLogFlags = O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC;
#endif

void writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += n;
        size -= size_t(n);
    }
}

}  // namespace

EventLog::~EventLog()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool EventLog::open(const std::string& path, std::string& error)
{
    fd_ = ::open(path.c_str(), kLogFlags, 0644);
    if (fd_ < 0) {
        error = "cannot open log '" + path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

void EventLog::line(const std::string& text)
{
    std::string whole = text + "\n";
    if (fd_ >= 0)
        writeAll(fd_, whole.data(), whole.size());
    if (echo_)
        writeAll(STDERR_FILENO, whole.data(), whole.size());
}

void EventLog::event(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        std::vector<char> buffer(size_t(needed) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        text.assign(buffer.data(), size_t(needed));
    }
    va_end(args);
    line(text);
}

std::string hexBytes(const unsigned char* data, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}
