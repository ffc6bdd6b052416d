#include "tests/win/support/app_fixture.h"

#include <gtest/gtest.h>

namespace {

struct Search {
    DWORD processId;  // 0: any
    const wchar_t* className;
    const wchar_t* caption;
    int combo;
    HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<Search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[64] = {}, title[64] = {};
    GetClassNameW(window, name, 64);
    GetWindowTextW(window, title, 64);
    bool matches = (!search->processId || owner == search->processId) && shown(window) &&
                   !wcscmp(name, search->className) &&
                   !wcscmp(title, search->caption) &&
                   (search->combo < 0 || (GetDlgItem(window, 1002) != nullptr) == (search->combo == 1));
    if (matches)
        search->found = window;
    return !matches;
}

}  // namespace

ViewerProcess::~ViewerProcess()
{
    // Explorer ends once the viewer on its desktop has.
    for (HANDLE handle : {viewer, process.hProcess}) {
        if (handle && WaitForSingleObject(handle, desktop.empty() ? 0 : 5000) == WAIT_TIMEOUT)
            TerminateProcess(handle, 99);
        CloseHandle(handle);
    }
    CloseHandle(process.hThread);
    if (!desktop.empty())
        giveKeyboardToPointer();
}

bool ViewerProcess::start(const std::string& where, const std::wstring& desktopName)
{
    folder = where;
    desktop = desktopName;
    // Neither explorer nor the viewer may hold this program's output open: ctest waits on it.
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileA(windowsPath(folder + "/stderr.txt").c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = output;
    std::wstring command = L"\"" + wide(windowsPath(TAVIMO_EXE_PATH)) + L"\"";
    if (!desktop.empty())
        command = L"explorer.exe /desktop=" + desktop + L",1280x1024 " + command;
    BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  wide(windowsPath(folder)).c_str(), &startup, &process);
    CloseHandle(output);
    return started != FALSE;
}

// Windows of the process, or with a desktop named, of whatever process shows on it; the
// first one found there tells the viewer's process.
HWND ViewerProcess::waitForWindow(const wchar_t* className, const wchar_t* caption, int timeoutMs, int combo)
{
    Search search = {desktop.empty() ? process.dwProcessId : 0, className, caption, combo, nullptr};
    waitUntil(
        [&] {
            if (desktop.empty()) {
                EnumWindows(matchWindow, LPARAM(&search));
            } else if (HDESK handle = OpenDesktopW(desktop.c_str(), 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE)) {
                EnumDesktopWindows(handle, matchWindow, LPARAM(&search));
                CloseDesktop(handle);
            }
            return search.found != nullptr;
        },
        timeoutMs);
    if (search.found && !viewer) {
        DWORD id = 0;
        GetWindowThreadProcessId(search.found, &id);
        viewer = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, id);
    }
    return search.found;
}

DWORD ViewerProcess::waitForExit(int timeoutMs)
{
    HANDLE which = viewer ? viewer : process.hProcess;
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(which, DWORD(timeoutMs)) == WAIT_OBJECT_0)
        GetExitCodeProcess(which, &code);
    return code;
}

std::string freshFolder(const std::string& name)
{
    // Long, as a current directory may be: client.ini's path is sized by it.
    static int next = 0;
    return scratchFolder(name + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++next) + "-" +
                         std::string(100, 'x'));
}

void AppSession::openDialog(const std::string& folder, const std::wstring& desktop)
{
    ASSERT_TRUE(viewer.start(folder.empty() ? freshFolder("app") : folder, desktop));
    dialog = viewer.waitForConnectDialog();
    ASSERT_NE(nullptr, dialog);
}

void AppSession::open(const std::string& serverArguments, int shown, const std::wstring& desktop)
{
    ASSERT_TRUE(server.start(serverArguments));
    ASSERT_NO_FATAL_FAILURE(openDialog("", desktop));
    connectTo(dialog, wide(server.address));
    if (shown < 0)
        return;
    ASSERT_TRUE(waitForMain());
    // The first request goes out before any frame.
    ASSERT_TRUE(shown > 0 ? server.waitFor("frame-recv NEXT_FRAME", shown + 1, 30000)
                          : server.waitFor("input-connected"));
}

AppSession::~AppSession()
{
    if (main && IsWindow(main))
        PostMessageW(main, WM_CLOSE, 0, 0);
    viewer.waitForExit(10000);
}

bool AppSession::waitForMain()
{
    main = viewer.waitForWindow(L"Tavimo", L"Tavimo");
    return main && SetWindowPos(main, HWND_TOP, 400, 300, 0, 0, SWP_NOSIZE);
}

bool AppSession::waitForClient(int width, int height, int timeoutMs) const
{
    RECT r;
    return waitUntil([&] { return GetClientRect(main, &r) && r.right == width && r.bottom == height; }, timeoutMs);
}

std::string AppSession::at(int clientX, int clientY) const
{
    POINT p = {clientX, clientY};
    ClientToScreen(main, &p);
    return std::to_string(p.x) + " " + std::to_string(p.y);
}

std::vector<std::string> AppSession::inputs(const std::string& kind) const
{
    std::vector<std::string> found;
    for (const std::string& line : server.log())
        if (line.rfind("input-message " + kind, 0) == 0)
            found.push_back(line);
    return found;
}

std::vector<std::string> AppSession::settle(const std::string& kind, size_t count) const
{
    waitUntil([&] { return inputs(kind).size() >= count; }, 10000);
    pause(400);
    return inputs(kind);
}

std::wstring storedHost(const std::string& folder, const wchar_t* key)
{
    wchar_t value[256] = {};
    GetPrivateProfileStringW(L"host", key, L"", value, 256, wide(windowsPath(folder + "/client.ini")).c_str());
    return value;
}

void xdotool(const std::string& arguments)
{
    runShell("xdotool " + arguments);
    pause(100);  // let Wine hand the events to the window
}
