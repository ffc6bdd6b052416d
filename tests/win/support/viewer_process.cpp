#include "tests/win/support/viewer_process.h"

#include <fstream>
#include <sstream>
#include <vector>

#include "tests/win/support/test_server.h"

namespace {

// Runs a Linux shell command on the tests' display. Wine starts it, but its end is known
// only by the file it leaves.
void runShell(const std::string& script)
{
    static int next = 0;
    std::string done = scratchFolder("xdotool") + "/done-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(++next);
    std::string command = "/bin/sh -c \"" + script + " >/dev/null 2>&1; touch '" + done + "'\"";
    std::vector<char> line(command.begin(), command.end());
    line.push_back(0);
    STARTUPINFOA startup = {sizeof startup};
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    waitUntil([&] { return GetFileAttributesA(windowsPath(done).c_str()) != INVALID_FILE_ATTRIBUTES; });
}

struct Search {
    DWORD processId;  // 0: any
    const wchar_t* className;
    const wchar_t* caption;
    int wantCombo;  // -1 any, 0 without, 1 with the connect dialog's combo box
    HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<Search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    // The style, not IsWindowVisible: that one says no for windows of another desktop.
    if ((search->processId && owner != search->processId) || !(GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE))
        return TRUE;
    wchar_t name[64] = {}, title[64] = {};
    GetClassNameW(window, name, 64);
    GetWindowTextW(window, title, 64);
    bool hasCombo = GetDlgItem(window, 1002) != nullptr;
    if (wcscmp(name, search->className) != 0 || wcscmp(title, search->caption) != 0 ||
        (search->wantCombo >= 0 && hasCombo != (search->wantCombo == 1)))
        return TRUE;
    search->found = window;
    return FALSE;
}

HANDLE nullDevice()
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       OPEN_EXISTING, 0, nullptr);
}

void endProcess(HANDLE process)
{
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
        TerminateProcess(process, 99);
    CloseHandle(process);
}

}  // namespace

ViewerProcess::~ViewerProcess()
{
    if (!desktop.empty()) {
        // A virtual desktop leaves the X keyboard focus nowhere when it closes; give it
        // back to the root window, so keys go to whatever window is under the pointer.
        if (process.hProcess && WaitForSingleObject(process.hProcess, 5000) == WAIT_TIMEOUT)
            TerminateProcess(process.hProcess, 0);
        giveKeyboardToPointer();
    }
    if (viewer && viewer != process.hProcess)
        endProcess(viewer);
    if (process.hProcess) {
        endProcess(process.hProcess);
        CloseHandle(process.hThread);
    }
}

bool ViewerProcess::start(const std::string& where)
{
    folder = where;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE errors = CreateFileA(windowsPath(folder + "/stderr.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOA startup = {sizeof startup};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = errors;
    startup.hStdError = errors;
    std::string command = "\"" + windowsPath(TAVIMO_EXE_PATH) + "\"";
    BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  windowsPath(folder).c_str(), &startup, &process);
    CloseHandle(errors);
    return started != FALSE;
}

bool ViewerProcess::startOnDesktop(const std::string& where, const std::wstring& desktopName)
{
    folder = where;
    desktop = desktopName;
    // Explorer and the viewer must not hold this program's output open after it ends.
    HANDLE quiet = nullDevice();
    STARTUPINFOW startup = {sizeof startup};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = quiet;
    std::string exe = windowsPath(TAVIMO_EXE_PATH), dir = windowsPath(folder);
    std::wstring command = L"explorer.exe /desktop=" + desktopName + L",1280x1024 \"" +
                           std::wstring(exe.begin(), exe.end()) + L"\"";
    BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  std::wstring(dir.begin(), dir.end()).c_str(), &startup, &process);
    CloseHandle(quiet);
    return started != FALSE;
}

// Windows of the process, or with a desktop named, of whatever process shows on it.
static HWND findWindow(const ViewerProcess& v, const wchar_t* className, const wchar_t* caption, int wantCombo,
                       int timeoutMs)
{
    Search search = {v.desktop.empty() ? v.process.dwProcessId : 0, className, caption, wantCombo, nullptr};
    waitUntil(
        [&] {
            if (v.desktop.empty()) {
                EnumWindows(matchWindow, LPARAM(&search));
            } else if (HDESK handle = OpenDesktopW(v.desktop.c_str(), 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE)) {
                EnumDesktopWindows(handle, matchWindow, LPARAM(&search));
                CloseDesktop(handle);
            }
            return search.found != nullptr;
        },
        timeoutMs);
    return search.found;
}

HWND ViewerProcess::waitForWindow(const wchar_t* className, const wchar_t* caption, int timeoutMs)
{
    return attach(findWindow(*this, className, caption, -1, timeoutMs));
}

HWND ViewerProcess::waitForConnectDialog(int timeoutMs)
{
    return attach(findWindow(*this, L"#32770", L"Tavimo", 1, timeoutMs));
}

HWND ViewerProcess::waitForMessageBox(int timeoutMs)
{
    return attach(findWindow(*this, L"#32770", L"Tavimo", 0, timeoutMs));
}

HWND ViewerProcess::attach(HWND window)
{
    if (window && !viewer) {
        DWORD id = 0;
        GetWindowThreadProcessId(window, &id);
        viewer = desktop.empty() ? process.hProcess
                                 : OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                                               FALSE, id);
    }
    return window;
}

DWORD ViewerProcess::waitForExit(int timeoutMs)
{
    HANDLE which = viewer ? viewer : process.hProcess;
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(which, DWORD(timeoutMs)) == WAIT_OBJECT_0)
        GetExitCodeProcess(which, &code);
    return code;
}

std::string ViewerProcess::standardError() const
{
    std::ifstream in(windowsPath(folder + "/stderr.txt"));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void connectTo(HWND dialog, const TestServer& server)
{
    std::wstring address(server.address.begin(), server.address.end());
    SetDlgItemTextW(dialog, 1002, address.c_str());
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
}

std::wstring messageBoxText(HWND box)
{
    wchar_t text[256] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 256);
    return text;
}

void xdotool(const std::string& arguments)
{
    runShell("xdotool " + arguments);
    Sleep(100);  // let Wine hand the events to the window
}

void moveClearOfWinesTray(HWND window)
{
    SetWindowPos(window, HWND_TOP, 400, 300, 0, 0, SWP_NOSIZE);
}

void giveKeyboardToPointer()
{
    runShell("xdotool windowfocus $(xwininfo -root | awk '/Window id/ {print $4}')");
}
