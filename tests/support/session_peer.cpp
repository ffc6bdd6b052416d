#include "tests/support/session_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "net/frame_protocol.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

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
    for (auto until = Clock::now() + kPeerWait; Clock::now() < until;) {
        struct stat info;
        if (stat((dir_ + "/ready").c_str(), &info) == 0)
            return true;
        if (reap())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::vector<std::string> PeerProcess::lines() const
{
    std::ifstream in(dir_ + "/events.log", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(all.substr(start, nl - start));
    return out;
}

int PeerProcess::count(const std::string& prefix) const
{
    int n = 0;
    for (const std::string& line : lines())
        n += startsWith(line, prefix);
    return n;
}

bool PeerProcess::waitForLine(const std::string& prefix) const
{
    for (auto until = Clock::now() + kPeerWait; Clock::now() < until;) {
        if (count(prefix) > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

int PeerProcess::waitExit()
{
    for (auto until = Clock::now() + kPeerWait; !reap() && Clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!exited_)
        return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

void Socket::reset()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

int connectTo(const std::string& address, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    timeval timeout{60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        int error = errno;
        close(fd);
        return -error;
    }
    return fd;
}

bool sendBytes(int fd, const Bytes& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool sendControl(int fd, uint32_t code)
{
    Bytes message(kControlMessageSize);
    encodeControlMessage(code, message.data());
    return sendBytes(fd, message);
}

Bytes receiveExactly(int fd, size_t size)
{
    Bytes out(size);
    size_t done = 0;
    while (done < size) {
        ssize_t n = recv(fd, out.data() + done, size - done, 0);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    out.resize(done);
    return out;
}

Bytes receiveToEnd(int fd)
{
    Bytes out;
    uint8_t buffer[65536];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        out.insert(out.end(), buffer, buffer + n);
    return out;
}

Bytes fetchFrame(int fd)
{
    if (!sendControl(fd, MSG_NEXT_FRAME))
        return {};
    Bytes header = receiveExactly(fd, kFrameHeaderSize);
    if (header.size() != size_t(kFrameHeaderSize))
        return {};
    int32_t length = decodeFrameHeader(header.data());
    if (length <= 0 || !sendControl(fd, MSG_SEND_BODY))
        return {};
    Bytes body = receiveExactly(fd, size_t(length));
    return body.size() == size_t(length) ? body : Bytes{};
}

Bytes inputMessage(uint32_t type, uint32_t argument, uint32_t position, uint32_t width, uint32_t height)
{
    Bytes out;
    for (uint32_t word : {type, argument, position, width, height}) {
        uint8_t bytes[4];
        writeLittleEndian32(bytes, word);
        out.insert(out.end(), bytes, bytes + 4);
    }
    if (type != 0x0301 && type != 0x0401)
        out.resize(4);
    return out;
}
