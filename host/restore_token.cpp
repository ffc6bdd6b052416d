#include "host/restore_token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kLongestToken = 256;

// Makes every missing folder of `dir`, the new ones private.
bool makeFolders(const std::string& dir, std::string& error)
{
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot make " + part + ": " + std::strerror(errno);
            return false;
        }
        if (slash == std::string::npos)
            return true;
    }
}

}  // namespace

std::string restoreTokenPath()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    // XDG's base directory rules ignore a relative path.
    if (state && state[0] == '/')
        base = state;
    else if (home && home[0] == '/')
        base = std::string(home) + "/.local/state";
    else
        return "";
    return base + "/tavimo-host/portal-restore-token";
}

bool parseRestoreToken(const std::string& bytes, std::string& token, std::string& why)
{
    std::string text = bytes;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (text.empty() || text.size() > kLongestToken) {
        why = "it holds no token of 1 to " + std::to_string(kLongestToken) + " characters";
        return false;
    }
    for (unsigned char c : text)
        if (c <= ' ' || c > '~') {
            why = "it holds other than printable ASCII characters on one line";
            return false;
        }
    token = text;
    return true;
}

bool loadRestoreToken(const std::string& path, std::string& token, std::string& why)
{
    why.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT)
            why = std::string("cannot read it: ") + std::strerror(errno);
        return false;
    }
    struct stat info {};
    std::string bytes;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != getuid()) {
        why = "it is not a file of this user's";
    } else {
        char buffer[kLongestToken + 2];
        ssize_t n;
        while (bytes.size() <= kLongestToken + 1 && (n = read(fd, buffer, sizeof buffer)) > 0)
            bytes.append(buffer, size_t(n));
    }
    close(fd);
    return why.empty() && parseRestoreToken(bytes, token, why);
}

bool saveRestoreToken(const std::string& path, const std::string& token, std::string& error)
{
    std::string why;
    std::string checked;
    if (!parseRestoreToken(token, checked, why)) {
        error = "the portal's restore token is not kept: " + why;
        return false;
    }
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        error = "no folder for " + path;
        return false;
    }
    if (!makeFolders(path.substr(0, slash), error))
        return false;
    std::string temporary = path + ".new";
    unlink(temporary.c_str());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    std::string line = checked + "\n";
    bool written = fd >= 0 && write(fd, line.data(), line.size()) == ssize_t(line.size()) && fsync(fd) == 0;
    if (fd >= 0 && close(fd) != 0)
        written = false;
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}
