#include "tests/win/support/test_server.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

namespace {

bool exists(const std::string& unixPath)
{
    return GetFileAttributesA(windowsPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

std::string windowsPath(const std::string& unixPath)
{
    std::string out = "Z:";
    for (char c : unixPath)
        out += c == '/' ? '\\' : c;
    return out;
}

std::string freshLoopbackAddress()
{
    // Drawn at random from 127/8: ctest runs every test as a process of its own, and Wine
    // hands out the same process ids again, so nothing about the process is unique; a
    // server of an earlier test may still be listening.
    static std::mt19937 draw = [] {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        std::seed_seq seed{unsigned(GetCurrentProcessId()), unsigned(now.LowPart), unsigned(now.HighPart),
                           unsigned(GetTickCount())};
        return std::mt19937(seed);
    }();
    std::uniform_int_distribution<int> octet(1, 254);
    char text[32];
    std::snprintf(text, sizeof text, "127.%d.%d.%d", octet(draw), octet(draw), octet(draw));
    return text;
}

std::string scratchFolder(const std::string& name)
{
    const char* given = std::getenv("TAVIMO_TEST_TMP");
    std::string base = given ? given : "/tmp/tavimo-wine-tests";
    CreateDirectoryA(windowsPath(base).c_str(), nullptr);
    std::string dir = base + "/" + name;
    CreateDirectoryA(windowsPath(dir).c_str(), nullptr);
    return dir;
}

bool TestServer::start(const std::string& arguments)
{
    // A server that cannot listen (its address taken after all) ends at once; another
    // address is tried then.
    for (int attempt = 0; attempt < 5; ++attempt) {
        address = freshLoopbackAddress();
        dir = scratchFolder("server-" + address);
        DeleteFileA(windowsPath(dir + "/ready").c_str());
        DeleteFileA(windowsPath(dir + "/log").c_str());
        const char* server = std::getenv("TAVIMO_SERVER");
        // Through sh: the server must not hold Wine's output open (ctest waits on it), and a
        // test that never connects must not leave it running.
        std::string command = "/bin/sh -c \"exec timeout 120 '" + std::string(server ? server : "") + "' --once --address " + address +
                              " --ready '" + dir + "/ready' --log '" + dir + "/log' " + arguments +
                              " </dev/null >/dev/null 2>&1\"";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        std::vector<char> line(command.begin(), command.end());
        line.push_back(0);
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process))
            return false;
        // Wine gives no handle for a Unix process; its log tells how the start went.
        waitUntil([&] { return exists(dir + "/ready") || count("listen-failed") > 0; });
        if (exists(dir + "/ready"))
            return true;
        if (count("listen-failed") == 0)
            return false;
    }
    return false;
}

std::vector<std::string> TestServer::log() const
{
    std::vector<std::string> lines;
    std::ifstream in(windowsPath(dir + "/log"));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool TestServer::waitFor(const std::string& prefix, int timeoutMs) const
{
    return waitUntil([&] { return count(prefix) > 0; }, timeoutMs);
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    for (int waited = 0; !done(); waited += 20) {
        if (waited >= timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

int TestServer::count(const std::string& prefix) const
{
    int n = 0;
    for (const std::string& line : log())
        n += line.compare(0, prefix.size(), prefix) == 0;
    return n;
}

std::string TestServer::rawInput() const
{
    std::string bytes;
    for (const std::string& line : log())
        if (line.rfind("input-recv ", 0) == 0)
            bytes += line.substr(11);
    return bytes;
}
