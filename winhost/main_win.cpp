// TavimoHost.exe: shares this Windows desktop with Tavimo viewers.
//
// It listens on ADDRESS:54321 (FrameChannel) and ADDRESS:54322 (InputChannel), serves one
// viewer at a time from the same session loop as tavimo-host, answers a request for a frame
// once the screen changed, and plays the viewer's mouse and keys back through SendInput.
// The session runs on a thread of its own; the window thread keeps the tray icon, whose
// menu shows where the host listens and which viewer is connected, and ends the host.
//
// What it shares: the whole virtual desktop (every monitor), or with --monitor one of them;
// the viewer's pointer stays inside it.
//
// Event log (--log FILE): the lines of tavimo-host's log, from the same code, with
// capture=gdi and peer-refused naming the connecting process (pid=N); `monitor all
// WxH+X+Y` or `monitor \\.\DISPLAYn WxH+X+Y (N of M)` first, or `monitor-unknown ...` with
// the monitors there are.
//
// Exit status: 0 after 終了, MSG_SERVER_EXIT or --once; 1 when it cannot start (another
// instance, the address taken); 2 on a bad command line (a --monitor that is not there
// included).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/host_session.h"
#include "host/jpeg_encoder.h"
#include "host/monitor_choice.h"
#include "wire/frame_wire.h"
#include "session/event_log.h"
#include "session/session_loop.h"
#include "tavimo_version.h"
#include "winhost/host_resource.h"
#include "winhost/monitors_win.h"
#include "winhost/tray_win.h"
#include "winhost/win_desktop.h"

namespace {

constexpr UINT WM_SESSIONCHANGED = WM_APP + 2;  // the loop thread's news for the tray
constexpr UINT WM_LOOPENDED = WM_APP + 3;       // wParam: the loop's exit status

const wchar_t kTitle[] = L"Tavimo ホスト";

const char kUsage[] =
    "usage: TavimoHost.exe [options]\n"
    "  --address ADDR      listen there (default 127.0.0.1; anything else is reachable\n"
    "                      without a password: prefer an SSH tunnel)\n"
    "  --monitor M         share one monitor, the pointer kept inside it, instead of\n"
    "                      the whole desktop (every monitor; all, the default). M is\n"
    "                      its number, counting from 1 by the monitors' left edges,\n"
    "                      then their top edges; or its name, \\\\.\\DISPLAY2 or DISPLAY2\n"
    "  --quality N         JPEG quality 1-100 (default 80)\n"
    "  --subsampling S     chroma subsampling 444, 422 or 420 (default 420)\n"
    "  --max-rate RATE     keep the average rate to the viewer under RATE bytes a second\n"
    "                      (K and M: thousands, millions)\n"
    "  --min-quality N     the lowest quality --max-rate goes to (default 30)\n"
    "  --scale PERCENT     send the desktop (or the --monitor) scaled down to PERCENT\n"
    "                      (1-100) of its size; the viewer's clicks land on the pixels\n"
    "                      it points at\n"
    "  --fit WxH           send the desktop (or the --monitor) at the largest size\n"
    "                      within W x H that keeps its shape (never larger than it is)\n"
    "  --allow-other-users let every local user connect, not only the one the host runs as\n"
    "  --log FILE          the event log there\n"
    "  --ready FILE        written once the listeners listen\n"
    "  --once              end after the first viewer\n"
    "  --trace-input       log every input message, keys included\n"
    "  --version           print the version and exit\n"
    "  --help\n";

struct Options {
    SessionConfig session;
    HostSettings host;
    MonitorChoice monitor;  // all by default
    std::string logPath;
};

HWND g_window = nullptr;
HostStatus g_status;
CRITICAL_SECTION g_statusLock;  // g_status.viewer is written by the loop thread

std::wstring wide(const std::string& text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(size_t(size > 0 ? size : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], size);
    out.resize(out.size() - 1);
    return out;
}

std::string narrow(const wchar_t* text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size_t(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

// To the console the host was started from, or in a message box when there is none.
void tell(const std::string& text, bool problem)
{
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        FILE* out = std::fopen("CONOUT$", "w");
        if (out) {
            std::fputs(text.c_str(), out);
            std::fclose(out);
            return;
        }
    }
    MessageBoxW(nullptr, wide(text).c_str(), kTitle, MB_OK | (problem ? MB_ICONWARNING : MB_ICONINFORMATION));
}

bool numberIn(const std::string& text, int low, int high, int& out)
{
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != 0 || value < low || value > high)
        return false;
    out = int(value);
    return true;
}

// 0: go on; -1: done (help, version); otherwise the exit status.
int parse(const std::vector<std::string>& args, Options& options)
{
    options.session.refuseWhileBusy = true;
    options.session.endWithInput = true;
    options.session.ownUserOnly = true;
    options.host.bodyLimit = size_t(kFrameBufferSize);
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& name = args[i];
        bool takesValue = name == "--address" || name == "--quality" || name == "--subsampling" ||
                          name == "--max-rate" || name == "--min-quality" || name == "--log" || name == "--ready" ||
                          name == "--scale" || name == "--fit" || name == "--monitor";
        if (takesValue && i + 1 == args.size()) {
            tell("TavimoHost: " + name + " wants a value\n" + kUsage, true);
            return 2;
        }
        std::string value = takesValue ? args[++i] : "";
        std::string problem;
        if (name == "--address")
            options.session.address = value;
        else if (name == "--quality" && !numberIn(value, 1, 100, options.host.quality))
            problem = "--quality wants 1 to 100";
        else if (name == "--min-quality" && !numberIn(value, 1, 100, options.host.pacing.minQuality))
            problem = "--min-quality wants 1 to 100";
        else if (name == "--scale" && !parseScalePercent(value, options.host.scale.percent))
            problem = "--scale wants a percentage from 1 to 100";
        else if (name == "--monitor" && !parseMonitorChoice(value, options.monitor))
            problem = "--monitor wants a number from 1, a monitor's name or all";
        else if (name == "--fit" && !parseFitBox(value, options.host.scale.fitWidth, options.host.scale.fitHeight))
            problem = "--fit wants WIDTHxHEIGHT (e.g. 1920x1080)";
        else if (name == "--subsampling" && (options.host.subsampling = subsamplingFromText(value)) < 0)
            problem = "--subsampling wants 444, 422 or 420";
        else if (name == "--max-rate" && (options.host.pacing.maxRate = parseRate(value.c_str())) < 0)
            problem = "--max-rate wants bytes a second (e.g. 1M, 500K)";
        else if (name == "--log")
            options.logPath = value;
        else if (name == "--ready")
            options.session.readyPath = value;
        else if (name == "--once")
            options.session.once = true;
        else if (name == "--allow-other-users")
            options.session.ownUserOnly = false;
        else if (name == "--trace-input")
            options.host.traceInput = true;
        else if (name == "--version") {
            tell("TavimoHost " TAVIMO_VERSION "\n", false);
            return -1;
        } else if (name == "--help") {
            tell(kUsage, false);
            return -1;
        } else if (!takesValue)
            problem = "unknown option";
        if (!problem.empty()) {
            tell("TavimoHost: " + problem + ": '" + (takesValue ? value : name) + "'\n" + kUsage, true);
            return 2;
        }
    }
    options.host.pacing.quality = options.host.quality;
    return 0;
}

// The shared host session, telling the tray who is connected.
class WinHostSession final : public HostSession {
public:
    using HostSession::HostSession;

protected:
    void sessionStarted() override
    {
        HostSession::sessionStarted();
        report(viewer());
    }
    void sessionEnded() override
    {
        HostSession::sessionEnded();
        report("");
    }

private:
    static void report(const std::string& viewer)
    {
        EnterCriticalSection(&g_statusLock);
        g_status.viewer = wide(viewer);
        LeaveCriticalSection(&g_statusLock);
        PostMessageW(g_window, WM_SESSIONCHANGED, 0, 0);
    }
};

WinHostSession* g_session = nullptr;
HICON g_icon = nullptr;
UINT g_taskbarCreated = 0;

HostStatus statusNow()
{
    EnterCriticalSection(&g_statusLock);
    HostStatus status = g_status;
    LeaveCriticalSection(&g_statusLock);
    return status;
}

void onCommand(WPARAM wParam)
{
    if (LOWORD(wParam) == IDM_HOST_EXIT)
        g_session->stop();  // the loop ends its session and says so with WM_LOOPENDED
}

void onLoopEnded(HWND window, WPARAM status)
{
    removeHostTrayIcon(window);
    DestroyWindow(window);
    PostQuitMessage(int(status));
}

LRESULT CALLBACK hostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_HOSTTRAY:
        onHostTrayNotify(window, lParam, statusNow());
        return 0;
    case WM_COMMAND:
        onCommand(wParam);
        return 0;
    case WM_SESSIONCHANGED:
        updateHostTrayIcon(window, statusNow());
        return 0;
    case WM_LOOPENDED:
        onLoopEnded(window, wParam);
        return 0;
    case WM_CLOSE:
        g_session->stop();  // a logoff or shutdown asks every window
        return 0;
    default:
        if (message == g_taskbarCreated && g_taskbarCreated != 0) {
            addHostTrayIcon(window, g_icon, statusNow());
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND makeHostWindow(HINSTANCE instance)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = hostWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = g_icon;
    windowClass.lpszClassName = L"TavimoHost";
    if (!RegisterClassExW(&windowClass))
        return nullptr;
    // Never shown: it only carries the tray icon's messages.
    return CreateWindowExW(0, L"TavimoHost", kTitle, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i)
        args.push_back(narrow(arguments[i]));
    LocalFree(arguments);
    Options options;
    if (int status = parse(args, options))
        return status < 0 ? 0 : status;

    // One host a desktop: a second would find the ports taken anyway, and say less.
    HANDLE single = CreateMutexW(nullptr, FALSE, L"Local\\TavimoHost");
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        tell("TavimoHost は既に動いています。\n", true);
        return 1;
    }
    if (!isLoopbackAddress(options.session.address))
        tell("TavimoHost: warning: " + options.session.address +
                 " is not a loopback address. The viewer protocol has no password and no encryption: whoever "
                 "reaches this address sees the screen and controls it, and the host cannot tell which user a "
                 "connection comes from. Prefer the default 127.0.0.1 and an SSH tunnel of ports 54321 and 54322.\n",
             true);

    EventLog log;
    std::string error;
    if (!options.logPath.empty() && !log.open(options.logPath, error)) {
        tell("TavimoHost: " + error + "\n", true);
        return 1;
    }
    // The monitor asked for, followed by its device name from here on.
    std::vector<MonitorInfo> monitors = desktopMonitors();
    int chosen = -1;
    if (!chooseMonitor(options.monitor, monitors, chosen, error)) {
        log.line("monitor-unknown " + error);
        tell("TavimoHost: " + error + "\n", true);
        return 2;
    }
    SharedArea shared;
    PixelRect area = virtualDesktop();
    if (chosen >= 0) {
        shared.monitor = monitors[size_t(chosen)].name;
        area = monitors[size_t(chosen)].rect;
        log.event("monitor %s (%d of %zu)", describeMonitor(monitors[size_t(chosen)]).c_str(), chosen + 1,
                  monitors.size());
    } else {
        log.event("monitor %s", describeMonitor({"all", area, false}).c_str());
    }
    InitializeCriticalSection(&g_statusLock);
    WinDesktop desktop(shared);
    WinHostSession session(options.session, options.host, desktop, log);
    g_session = &session;
    if (!session.listen(error)) {
        log.line("listen-failed " + error);
        tell("TavimoHost: " + error + "\n", true);
        return 1;
    }
    g_status.listening = wide(options.session.address + ":" + std::to_string(options.session.framePort));
    // The session logs it per viewer; the tip says it from the start, for the area as it is now.
    int screenWidth = area.width, screenHeight = area.height;
    g_status.shared = wide((chosen < 0 ? std::string("デスクトップ全体") : shared.monitor) + " " +
                           std::to_string(screenWidth) + "x" + std::to_string(screenHeight));
    ScaledSize scaled = scaledSize(screenWidth, screenHeight, options.host.scale);
    if (scaled.limited)
        g_status.scaled = wide(std::to_string(screenWidth) + "x" + std::to_string(screenHeight) + " → " +
                               std::to_string(scaled.width) + "x" + std::to_string(scaled.height));
    g_icon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_HOST));
    g_taskbarCreated = taskbarCreatedMessage();
    g_window = makeHostWindow(instance);
    if (!g_window) {
        tell("TavimoHost: cannot create its window\n", true);
        return 1;
    }
    addHostTrayIcon(g_window, g_icon, g_status);

    std::thread loop([&] { PostMessageW(g_window, WM_LOOPENDED, WPARAM(session.run()), 0); });
    MSG message;
    int status = 0;
    for (BOOL got; (got = GetMessageW(&message, nullptr, 0, 0)) != 0 && got != -1;)
        DispatchMessageW(&message);
    if (message.message == WM_QUIT)
        status = int(message.wParam);
    loop.join();
    CloseHandle(single);
    return status;
}
