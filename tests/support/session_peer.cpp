#include "tests/support/session_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "net/frame_protocol.h"

extern char** environ;

bool eventually(const std::function<bool()>& condition)
{
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (condition())
            return true;
    return false;
}

std::string randomLoopbackAddress()
{
    static std::mt19937 draw(std::random_device{}());
    std::uniform_int_distribution<int> octet(1, 254);
    return "127." + std::to_string(octet(draw)) + "." + std::to_string(octet(draw)) + "." +
           std::to_string(octet(draw));
}

PeerProcess::PeerProcess(const std::string& program, std::vector<std::string> arguments)
{
    char pattern[] = "/tmp/tavimo-peer-XXXXXX";
    if (const char* made = mkdtemp(pattern))
        dir_ = made;
    arguments.insert(arguments.begin(), {program, "--ready", dir_ + "/ready", "--log", dir_ + "/events.log"});
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        pid_ = -1;
}

PeerProcess::~PeerProcess()
{
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGTERM);
        waitpid(pid_, &status_, 0);
    }
    std::error_code ignored;
    if (!dir_.empty())
        std::filesystem::remove_all(dir_, ignored);
}

bool PeerProcess::reap()
{
    if (!exited_ && pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_)
        exited_ = true;
    return exited_ || pid_ <= 0;
}

bool PeerProcess::waitReady()
{
    auto ready = [&] { return std::filesystem::exists(dir_ + "/ready"); };
    return eventually([&] { return ready() || reap(); }) && ready();
}

std::vector<std::string> PeerProcess::lines() const
{
    std::ifstream in(dir_ + "/events.log", std::ios::binary);
    std::vector<std::string> out;
    // Only whole lines: the last may still be being written.
    for (std::string line; std::getline(in, line) && !in.eof();)
        out.push_back(line);
    return out;
}

int PeerProcess::count(const std::string& prefix) const
{
    int n = 0;
    for (const std::string& line : lines())
        n += line.compare(0, prefix.size(), prefix) == 0;
    return n;
}

bool PeerProcess::waitForLine(const std::string& prefix) const
{
    return eventually([&] { return count(prefix) > 0; });
}

int PeerProcess::waitExit()
{
    if (!eventually([&] { return reap(); }) || !exited_)
        return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int connectTo(const std::string& address, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0)
        return fd;
    int error = errno;
    if (fd >= 0)
        close(fd);
    return -error;
}

bool sendBytes(int fd, const Bytes& bytes)
{
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

Bytes receiveToEnd(int fd)
{
    Bytes out;
    uint8_t buffer[65536];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        out.insert(out.end(), buffer, buffer + n);
    return out;
}

namespace {

bool sendControl(int fd, uint32_t code)
{
    Bytes message(kControlMessageSize);
    encodeControlMessage(code, message.data());
    return sendBytes(fd, message);
}

}  // namespace

Bytes fetchFrame(int fd)
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

Bytes inputMessage(uint32_t type, uint32_t argument, uint32_t position, uint32_t width, uint32_t height)
{
    Bytes out(type == 0x0301 || type == 0x0401 ? 20 : 4);
    const uint32_t words[] = {type, argument, position, width, height};
    for (size_t at = 0; at < out.size(); at += 4)
        writeLittleEndian32(&out[at], words[at / 4]);
    return out;
}
