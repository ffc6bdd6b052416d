#include "tests/win/support/remote_desktop.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/win/support/test_server.h"

namespace {

bool exists(const std::string& unixPath)
{
    return GetFileAttributesA(windowsPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void writeFile(const std::string& unixPath, const std::string& text)
{
    std::ofstream out(windowsPath(unixPath), std::ios::binary);
    out << text;
}

std::string readFile(const std::string& unixPath)
{
    std::ifstream in(windowsPath(unixPath), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts /bin/sh on a script; Wine gives no handle for a Unix process.
bool startScript(const std::string& script, const std::string& redirect)
{
    std::string command = "/bin/sh -c \"/bin/sh '" + script + "' </dev/null " + redirect + "\"";
    std::vector<char> line(command.begin(), command.end());
    line.push_back(0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::string hostBinary()
{
    if (const char* host = std::getenv("TAVIMO_HOST"))
        return host;
    std::string server = std::getenv("TAVIMO_SERVER") ? std::getenv("TAVIMO_SERVER") : "";
    size_t at = server.rfind("server/tavimo-server");
    return at == std::string::npos ? "tavimo-host" : server.substr(0, at) + "host/tavimo-host";
}

// The number after `name` in the tools' output ("X=12", "Width: 364").
int valueAfter(const std::string& output, const std::string& name)
{
    size_t at = output.find(name);
    return at == std::string::npos ? -1 : std::atoi(output.c_str() + at + name.size());
}

}  // namespace

bool RemoteDesktop::start()
{
    address = freshLoopbackAddress();
    dir = scratchFolder("remote-" + address);
    for (const char* stale : {"/display", "/ready", "/pids", "/a.txt", "/b.txt", "/host.log"})
        DeleteFileA(windowsPath(dir + stale).c_str());
    // Every program under a time limit, so none outlives a test that died. The host logs
    // every input message, so the test can wait for keys to have arrived.
    std::string terminal = "timeout 300 xterm -fa Monospace -fs 11 -geometry 40x6";
    writeFile(dir + "/remote.sh",
              "cd '" + dir + "'\n"
              "timeout 300 Xvfb -displayfd 5 -screen 0 800x600x24 -nolisten tcp -noreset 5>display &\n"
              "echo $! >>pids\n"
              "i=0; while [ ! -s display ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done\n"
              "export DISPLAY=:$(cat display)\n"
              "timeout 300 openbox & echo $! >>pids\n"
              "sleep 0.5\n" +
                  terminal + "+30+40 -title termA -e sh -c 'cat >a.txt' & echo $! >>pids\n" + terminal +
                  "+380+330 -title termB -e sh -c 'cat >b.txt' & echo $! >>pids\n"
                  "xdotool search --sync --name termA >/dev/null; xdotool search --sync --name termB >/dev/null\n"
                  "sleep 0.5\n"
                  "timeout 300 '" +
                  hostBinary() + "' --display $DISPLAY --address " + address +
                  " --log host.log --ready ready --trace-input & echo $! >>pids\n"
                  "wait\n");
    if (!startScript(dir + "/remote.sh", ">/dev/null 2>&1"))
        return false;
    for (int waited = 0; waited < 30000; waited += 20) {
        if (exists(dir + "/ready")) {
            display = ":" + std::to_string(std::atoi(readFile(dir + "/display").c_str()));
            return true;
        }
        Sleep(20);
    }
    return false;
}

RemoteDesktop::~RemoteDesktop()
{
    // The host first, then the rest, the display last.
    if (!dir.empty())
        shell("for p in $(tac '" + dir + "/pids'); do kill $p; done");
}

std::string RemoteDesktop::shell(const std::string& script) const
{
    static int next = 0;
    std::string name = dir + "/shell-" + std::to_string(++next);
    DeleteFileA(windowsPath(name + ".done").c_str());
    writeFile(name + ".sh", "export DISPLAY=" + display + "\n" + script + "\n");
    if (!startScript(name + ".sh", ">'" + name + ".out' 2>&1; touch '" + name + ".done'"))
        return "";
    for (int waited = 0; waited < 20000 && !exists(name + ".done"); waited += 20)
        Sleep(20);
    return readFile(name + ".out");
}

RemoteGeometry RemoteDesktop::window(const std::string& title) const
{
    // xwininfo, not xdotool: that one counts the window manager's frame in twice.
    std::string out = shell("xwininfo -name '" + title + "'");
    return {valueAfter(out, "Absolute upper-left X:"), valueAfter(out, "Absolute upper-left Y:"),
            valueAfter(out, "Width:"), valueAfter(out, "Height:")};
}

RemoteGeometry RemoteDesktop::pointer() const
{
    std::string out = shell("xdotool getmouselocation --shell");
    return {valueAfter(out, "X="), valueAfter(out, "Y="), 0, 0};
}

bool RemoteDesktop::anythingHeld() const
{
    // The XTEST devices: what the host pressed.
    std::string out =
        shell("xinput query-state 'Virtual core XTEST pointer'; xinput query-state 'Virtual core XTEST keyboard'");
    return out.find("=down") != std::string::npos || out.find("ButtonClass") == std::string::npos;
}

std::string RemoteDesktop::file(const std::string& name) const
{
    return readFile(dir + "/" + name);
}

int RemoteDesktop::count(const std::string& prefix) const
{
    int n = 0;
    std::istringstream lines(file("host.log"));
    for (std::string line; std::getline(lines, line);)
        n += line.compare(0, prefix.size(), prefix) == 0;
    return n;
}

bool RemoteDesktop::waitFor(const std::string& prefix, int wanted, int timeoutMs) const
{
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        if (count(prefix) >= wanted)
            return true;
        Sleep(20);
    }
    return false;
}
