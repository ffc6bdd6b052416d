// The viewer's side of a session, for native tests of the host and the counterpart
// server: the program started as its real binary, and plain sockets that speak the wire.
#pragma once

#include <arpa/inet.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "net/frame_protocol.h"

extern char** environ;

using Bytes = std::vector<uint8_t>;

constexpr int kFramePort = 54321;
constexpr int kInputPort = 54322;

// Polls until the condition holds; false after a generous 60 s (sanitizer builds on a busy
// machine are slow), which is only an upper bound, never a check.
inline bool eventually(const std::function<bool()>& condition)
{
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (condition())
            return true;
    return false;
}

// A loopback address of 127/8 drawn at random, so tests can run side by side on the fixed ports.
inline std::string randomLoopbackAddress()
{
    static std::mt19937 draw(std::random_device{}());
    auto octet = [] { return std::to_string(1 + draw() % 254); };
    return "127." + octet() + "." + octet() + "." + octet();
}

// A program started with --address, --ready and --log in a scratch folder of its own, and
// the sockets the test opens to it; killed with SIGTERM if it is still running at the end.
class PeerProcess {
public:
    PeerProcess(const std::string& program, std::vector<std::string> arguments,
                std::string at = randomLoopbackAddress())
        : address(std::move(at))
    {
        char pattern[] = "/tmp/tavimo-peer-XXXXXX";
        dir_ = mkdtemp(pattern) ? pattern : "/nonexistent";
        arguments.insert(arguments.begin(), {program, "--address", address, "--ready", dir_ + "/ready", "--log",
                                             dir_ + "/events.log"});
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
    }
    ~PeerProcess()
    {
        for (int fd : sockets_)
            close(fd);
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGTERM);
            waitpid(pid_, &status_, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // True once the ready file is there; false if the program exited or took too long.
    bool waitReady()
    {
        auto ready = [&] { return std::filesystem::exists(dir_ + "/ready"); };
        return eventually([&] { return ready() || reap(); }) && ready();
    }
    // Lines that start with `prefix` and hold `part` somewhere after it.
    int countContaining(const std::string& prefix, const std::string& part) const
    {
        std::ifstream in(dir_ + "/events.log", std::ios::binary);
        int n = 0;
        for (std::string line; std::getline(in, line) && !in.eof();)
            n += line.compare(0, prefix.size(), prefix) == 0 && line.find(part, prefix.size()) != std::string::npos;
        return n;
    }
    int count(const std::string& prefix) const { return countContaining(prefix, ""); }
    bool waitForLine(const std::string& prefix) const { return eventually([&] { return count(prefix) > 0; }); }
    // The exit status once the process is gone; -1 if it did not end in time or was killed.
    int waitExit()
    {
        return eventually([&] { return reap(); }) && exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    // A connected socket whose receives give up after 60 s, or -1.
    int connect(int port)
    {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval timeout{60, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(uint16_t(port));
        inet_pton(AF_INET, address.c_str(), &where.sin_addr);
        sockets_.push_back(fd);
        return ::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 ? fd : -1;
    }

    std::string address;

private:
    bool reap()
    {
        if (!exited_ && pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_)
            exited_ = true;
        return exited_ || pid_ <= 0;
    }

    std::string dir_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
    std::vector<int> sockets_;
};

inline bool sendBytes(int fd, const Bytes& bytes)
{
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

inline bool sendControl(int fd, uint32_t code, uint8_t paddingByte = 0)
{
    Bytes message(kControlMessageSize);
    encodeControlMessage(code, message.data());
    message[8] = paddingByte;
    return sendBytes(fd, message);
}

// Everything until the peer closes.
inline Bytes receiveToEnd(int fd)
{
    Bytes out;
    uint8_t buffer[65536];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        out.insert(out.end(), buffer, buffer + n);
    return out;
}

// One whole lock-step exchange; the body, or empty when it went wrong.
inline Bytes fetchFrame(int fd)
{
    uint8_t header[kFrameHeaderSize];
    if (!sendControl(fd, MSG_NEXT_FRAME) || recv(fd, header, sizeof header, MSG_WAITALL) != kFrameHeaderSize)
        return {};
    int32_t length = decodeFrameHeader(header);
    if (length <= 0 || length > kMaxFrameBodySize || !sendControl(fd, MSG_SEND_BODY))
        return {};
    Bytes body(static_cast<size_t>(length));
    return recv(fd, body.data(), body.size(), MSG_WAITALL) == length ? body : Bytes{};
}

// Five little-endian words, or the first of them alone for the commands.
inline Bytes inputMessage(uint32_t type, uint32_t argument = 0, uint32_t position = 0, uint32_t width = 0,
                          uint32_t height = 0)
{
    Bytes out(type == 0x0301 || type == 0x0401 ? 20 : 4);
    const uint32_t words[] = {type, argument, position, width, height};
    for (size_t at = 0; at < out.size(); at += 4)
        writeLittleEndian32(&out[at], words[at / 4]);
    return out;
}
