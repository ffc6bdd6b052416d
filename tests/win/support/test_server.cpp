#include "tests/win/support/test_server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace {

// Seeded from the clock: ctest runs every test as a process of its own and Wine hands
// out the same process ids again, so nothing about the process is unique.
unsigned draw(unsigned low, unsigned high)
{
    static std::mt19937 engine = [] {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return std::mt19937(unsigned(now.QuadPart) ^ unsigned(now.QuadPart >> 32) ^ GetCurrentProcessId());
    }();
    return std::uniform_int_distribution<unsigned>(low, high)(engine);
}

}  // namespace

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    // Windows of the test's own thread go on taking their input meanwhile.
    for (int waited = 0; !done(); waited += 20) {
        if (waited >= timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);)
            DispatchMessageW(&message);
    }
    return true;
}

std::string freshLoopbackAddress()
{
    // A server of an earlier test may still be listening on an address once drawn.
    return "127." + std::to_string(draw(1, 254)) + "." + std::to_string(draw(1, 254)) + "." +
           std::to_string(draw(1, 254));
}

std::string windowsPath(const std::string& unixPath)
{
    std::string out = "Z:";
    for (char c : unixPath)
        out += c == '/' ? '\\' : c;
    return out;
}

std::string scratchFolder(const std::string& name)
{
    std::string base = std::getenv("TAVIMO_TEST_TMP") ? std::getenv("TAVIMO_TEST_TMP") : "/tmp/tavimo-wine-tests";
    CreateDirectoryA(windowsPath(base).c_str(), nullptr);
    CreateDirectoryA(windowsPath(base + "/" + name).c_str(), nullptr);
    return base + "/" + name;
}

std::string readFile(const std::string& unixPath)
{
    std::ifstream in(windowsPath(unixPath), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<uint8_t> clientPixels(HWND window, int width, int height, int bits)
{
    HDC screen = GetDC(window);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), width, height, 1, WORD(bits), BI_RGB, 0, 0, 0, 0, 0}, {}};
    void* rows = nullptr;
    HBITMAP shot = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &rows, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, shot);
    BitBlt(memory, 0, 0, width, std::abs(height), screen, 0, 0, SRCCOPY);
    GdiFlush();
    auto* first = static_cast<const uint8_t*>(rows);
    std::vector<uint8_t> pixels(first, first + size_t((width * bits / 8 + 3) & ~3) * size_t(std::abs(height)));
    SelectObject(memory, old);
    DeleteObject(shot);
    DeleteDC(memory);
    ReleaseDC(window, screen);
    return pixels;
}

int wrongPixels(HWND viewer, const std::string& remoteDisplay, const std::string& folder)
{
    const int width = 800, height = 600, stride = width * 3;
    auto luma = [](int r, int g, int b) { return (r * 77 + g * 150 + b * 29) >> 8; };
    int wrong = -1;
    waitUntil([&] {
        // Otherwise the window may hold right pixels that only a later frame's areas were
        // painted over, while its bitmap has them wrong.
        RedrawWindow(viewer, nullptr, nullptr, RDW_INVALIDATE);
        std::string shot = folder + "/screen.rgb";
        std::string pointer = runShell("export DISPLAY=" + remoteDisplay + "; xwd -root -silent | convert xwd:- -depth 8 "
                                       "rgb:'" + shot + "'; xdotool getmouselocation --shell");
        std::string screen = readFile(shot);
        std::vector<uint8_t> shown = clientPixels(viewer, width, -height, 24);
        if (screen.size() != size_t(width) * height * 3)
            return false;
        size_t at = pointer.find("X="), atY = pointer.find("Y=");
        int pointerX = at == std::string::npos ? -99 : std::atoi(pointer.c_str() + at + 2);
        int pointerY = atY == std::string::npos ? -99 : std::atoi(pointer.c_str() + atY + 2);
        wrong = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const uint8_t* bgr = &shown[size_t(y) * stride + size_t(x) * 3];
                const uint8_t* rgb = reinterpret_cast<const uint8_t*>(&screen[(size_t(y) * width + size_t(x)) * 3]);
                int error = luma(bgr[2], bgr[1], bgr[0]) - luma(rgb[0], rgb[1], rgb[2]);
                wrong += std::abs(error) > 64 && (std::abs(x - pointerX) >= 24 || std::abs(y - pointerY) >= 24);
            }
        return wrong == 0;
    }, 10000);
    return wrong;
}

std::string runShell(const std::string& script, bool background)
{
    // A fresh name every time: a done file left by an earlier run must not end the wait.
    char name[16];
    std::snprintf(name, sizeof name, "%08x", draw(0, 0xFFFFFFFFu));
    std::string base = scratchFolder("shell") + "/" + name;
    DeleteFileA(windowsPath(base + ".done").c_str());
    writeFile(base + ".sh", script + "\n");
    // Its output goes to a file: one that held Wine's output open would keep ctest waiting.
    std::string command =
        "/bin/sh -c \"/bin/sh '" + base + ".sh' </dev/null >'" + base + ".out' 2>&1; touch '" + base + ".done'\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return "";
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (background)
        return "";
    waitUntil([&] { return fileExists(base + ".done"); }, 30000);
    return readFile(base + ".out");
}

TestServer::~TestServer()
{
    // By its id, and only while that id is still this server's.
    if (!dir.empty())
        runShell("p=$(cat '" + dir + "/pid') && grep -qaF '" + dir + "/' /proc/$p/cmdline && kill $p");
}

bool TestServer::start(const std::string& arguments)
{
    const char* server = std::getenv("TAVIMO_SERVER");
    // A server that cannot listen (its address taken after all) ends at once; another
    // address is tried then.
    for (int attempt = 0; attempt < 5; ++attempt) {
        address = freshLoopbackAddress();
        dir = scratchFolder("server-" + address);
        for (const char* stale : {"/ready", "/log", "/pid"})
            DeleteFileA(windowsPath(dir + stale).c_str());
        // The time limit ends a server whose test died before stopping it.
        runShell("echo $$ >'" + dir + "/pid'\nexec timeout -k 5 120 '" + (server ? server : "") + "' --once --address " +
                     address + " --ready '" + dir + "/ready' --log '" + dir + "/log' " + arguments,
                 true);
        waitUntil([&] { return fileExists(dir + "/ready") || count("listen-failed") > 0; });
        if (fileExists(dir + "/ready"))
            return true;
        if (count("listen-failed") == 0)
            return false;
    }
    return false;
}

std::vector<std::string> readLines(const std::string& unixPath)
{
    std::vector<std::string> lines;
    std::istringstream in(readFile(unixPath));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

int countLines(const std::string& unixPath, const std::string& prefix)
{
    std::vector<std::string> lines = readLines(unixPath);
    return int(std::count_if(lines.begin(), lines.end(), [&](auto& line) { return line.rfind(prefix, 0) == 0; }));
}

bool TestServer::waitFor(const std::string& prefix, int wanted, int timeoutMs) const
{
    return waitUntil([&] { return count(prefix) >= wanted; }, timeoutMs);
}
