// The viewer's side of a session, for native tests of the host and the counterpart
// server: the program started as its real binary, and plain sockets that speak the wire.
#pragma once

#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <random>
#include <thread>

#include "tests/support/wire.h"

extern char** environ;

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
    // The whole event log, for a failure's message.
    std::string events() const
    {
        std::ifstream in(dir_ + "/events.log", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    int count(const std::string& prefix) const { return countContaining(prefix, ""); }
    // How many of the prefixes are found in the log in this order, each on a later line.
    int lines(std::initializer_list<std::string> prefixes) const
    {
        std::ifstream in(dir_ + "/events.log", std::ios::binary);
        auto next = prefixes.begin();
        for (std::string line; next != prefixes.end() && std::getline(in, line) && !in.eof();)
            next += line.compare(0, next->size(), *next) == 0;
        return int(next - prefixes.begin());
    }

    bool waitForLine(const std::string& prefix) const { return eventually([&] { return count(prefix) > 0; }); }
    // The exit status once the process is gone; -1 if it did not end in time or was killed.
    int waitExit()
    {
        return eventually([&] { return reap(); }) && exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    // A connected socket, closed at the end; -1 if the connect failed.
    int connect(int port) { return sockets_.emplace_back(connectTo(address, port)); }
    pid_t pid() const { return pid_; }

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
