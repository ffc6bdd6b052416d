// The viewer's side of a session, for native tests of the host and the counterpart
// server: the program started as its real binary, and plain sockets that speak the wire.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

constexpr int kFramePort = 54321;
constexpr int kInputPort = 54322;

// Polls until the condition holds; false after a generous 60 s (sanitizer builds on a busy
// machine are slow), which is only an upper bound, never a check.
bool eventually(const std::function<bool()>& condition);

// A loopback address of 127/8 drawn at random, so tests can run side by side on the fixed ports.
std::string randomLoopbackAddress();

// A program started with --ready and --log in a scratch folder of its own; killed with
// SIGTERM if it is still running at the end.
class PeerProcess {
public:
    PeerProcess(const std::string& program, std::vector<std::string> arguments);
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // True once the ready file is there; false if the program exited or took too long.
    bool waitReady();
    std::vector<std::string> lines() const;
    int count(const std::string& prefix) const;
    // Waits for a log line that starts with `prefix`.
    bool waitForLine(const std::string& prefix) const;
    // The exit status once the process is gone; -1 if it did not end in time or was killed.
    int waitExit();

private:
    bool reap();

    std::string dir_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
};

struct Socket {
    int fd;
    ~Socket() { reset(); }
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

// A connected socket with 60 s timeouts, or -errno.
int connectTo(const std::string& address, int port);
bool sendBytes(int fd, const Bytes& bytes);
// Everything until the peer closes.
Bytes receiveToEnd(int fd);
// One whole lock-step exchange; the body, or empty when it went wrong.
Bytes fetchFrame(int fd);
// Five little-endian words, or the first of them alone for the commands.
Bytes inputMessage(uint32_t type, uint32_t argument = 0, uint32_t position = 0, uint32_t width = 0,
                   uint32_t height = 0);
