#include "tests/win/support/test_server.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

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
    // Each test program takes its own second octet, so programs run side by side.
    static int next = 0;
    int program = int(GetCurrentProcessId() % 200) + 20;
    ++next;
    char text[32];
    std::snprintf(text, sizeof text, "127.%d.%d.%d", program, next / 200, next % 200 + 2);
    return text;
}

std::string scratchFolder(const std::string& name)
{
    std::string base = environment("TAVIMO_TEST_TMP");
    if (base.empty())
        base = "/tmp/tavimo-wine-tests";
    CreateDirectoryA(windowsPath(base).c_str(), nullptr);
    std::string dir = base + "/" + name;
    CreateDirectoryA(windowsPath(dir).c_str(), nullptr);
    return dir;
}

bool TestServer::start(const std::string& arguments)
{
    address = freshLoopbackAddress();
    dir = scratchFolder("server-" + address);
    DeleteFileA(windowsPath(dir + "/ready").c_str());
    DeleteFileA(windowsPath(dir + "/log").c_str());
    std::string server = environment("TAVIMO_SERVER");
    // Through sh: the server must not hold Wine's output open (ctest waits on it), and a
    // test that never connects must not leave it running.
    std::string command = "/bin/sh -c \"exec timeout 120 '" + server + "' --once --address " + address +
                          " --ready '" + dir + "/ready' --log '" + dir + "/log' " + arguments +
                          " </dev/null >/dev/null 2>&1\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::vector<char> line(command.begin(), command.end());
    line.push_back(0);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int waited = 0; waited < 20000; waited += 20) {
        if (exists(dir + "/ready"))
            return true;
        Sleep(20);
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
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        if (count(prefix) > 0)
            return true;
        Sleep(20);
    }
    return false;
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
