// The input channel as the server sees it: whole messages whatever runs meanwhile, a
// window that stays alive when the server stops reading, no key left held remotely, and
// one address per connection, also for destinations outside ASCII.
#include <gtest/gtest.h>

#include "tests/win/support/app_fixture.h"

namespace {

constexpr int kIdmAbout = 40002, kIdmTelnet = 40003;
const wchar_t kStalled[] = L"入力の送信が止まりました(*_*)\r\nサーバーが入力を受け取っていません。";

bool exists(const std::string& unixPath)
{
    return GetFileAttributesA(windowsPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool answers(HWND window)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result) != 0;
}

// The input messages the server parsed, kind and fields, in order.
std::vector<std::string> parsed(const AppSession& s)
{
    std::vector<std::string> lines;
    for (const std::string& line : s.inputs(""))
        lines.push_back(line.substr(line.find(' ') + 1));
    return lines;
}

TEST(InputChannel, AServerThatStopsReadingEndsTheChannelWhileFramesGoOn)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 320x240 --input-unread"));
    moveClearOfWinesTray(s.main);
    xdotool("mousemove " + s.at(30, 30) + " click 1");
    // Real typing until the buffers are full and the queue has waited its time; the
    // window answers throughout.
    HWND box = nullptr;
    for (DWORD start = GetTickCount(); !box && GetTickCount() - start < 90000;) {
        xdotool("type --delay 1 abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz");
        ASSERT_TRUE(answers(s.main));
        box = s.viewer.waitForMessageBox(0);
    }
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(kStalled, messageBoxText(box));
    int frames = s.server.count("frame-send body");
    EXPECT_TRUE(s.waitForFramesSent(frames + 3));
    EXPECT_EQ(0, s.server.count("input-recv"));

    // Closed with the box still open and messages waiting: a normal end. (Under Wine
    // closing a window with a tray icon costs about 4 s whatever the channel does.)
    PostMessageW(s.main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, s.viewer.waitForExit(10000));
}

// The box waits in a modal loop while the user clicks and types on the main window; what
// the server reads stays whole and ends with one MSG_TELNET. A telnet.exe in the current
// directory is not the system's client and is not started.
TEST(InputChannel, TelnetAfterClicksAndKeysInItsBoxIsWholeAndNoPlantedProgramRuns)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 320x240"));
    moveClearOfWinesTray(s.main);
    ASSERT_TRUE(CopyFileA(windowsPath(TAVIMO_PLANTED_TELNET).c_str(),
                          windowsPath(s.viewer.folder + "/telnet.exe").c_str(), FALSE));
    xdotool("mousemove " + s.at(30, 30) + " click 1");
    PostMessageW(s.main, WM_COMMAND, kIdmTelnet, 0);
    HWND box = s.viewer.waitForMessageBox();
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"TELNETクライアントが見当たりません(+_+)", messageBoxText(box));
    xdotool("mousemove " + s.at(40, 50) + " click 1");
    xdotool("key b");
    s.settle("KEY", 2);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(s.server.waitFor("input-message TELNET"));
    Sleep(400);  // one too many would show

    std::vector<std::string> expected = {
        "MOUSE arg=0x0202 pos=0x001E001E x=30 y=30 width=320 height=240",
        "MOUSE arg=0x0202 pos=0x00320028 x=40 y=50 width=320 height=240",
        "KEY arg=0x0000 key=0x00000042 width=0 height=0",
        "KEY arg=0x0001 key=0x00000042 width=0 height=0",
        "TELNET",
    };
    EXPECT_EQ(expected, parsed(s)) << s.server.rawInput();
    EXPECT_FALSE(exists(s.viewer.folder + "/planted-telnet-ran"));
}

// A window of another program, at the screen's lower right, for the keyboard to go to.
struct OtherProgram {
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    HANDLE shown = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    static DWORD WINAPI run(LPVOID context)
    {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.lpszClassName = L"OtherProgram";
        RegisterClassW(&windowClass);
        CreateWindowExW(0, L"OtherProgram", L"elsewhere", WS_POPUP | WS_VISIBLE | WS_BORDER, 1000, 800, 200, 150, nullptr,
                        nullptr, nullptr, nullptr);
        SetEvent(static_cast<OtherProgram*>(context)->shown);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0)
            DispatchMessageW(&msg);
        return 0;
    }
    OtherProgram()
    {
        thread = CreateThread(nullptr, 0, run, this, 0, &threadId);
        WaitForSingleObject(shown, 10000);
    }
    ~OtherProgram()
    {
        PostThreadMessageW(threadId, WM_QUIT, 0, 0);
        WaitForSingleObject(thread, 5000);
        CloseHandle(thread);
        CloseHandle(shown);
    }
};

// Keys held when the window loses the keyboard go up remotely then, and only then.
TEST(InputChannel, FocusLostWithKeysHeldReleasesThemOnce)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 320x240"));
    moveClearOfWinesTray(s.main);
    OtherProgram other;
    xdotool("mousemove " + s.at(30, 30) + " click 1");
    xdotool("keydown Shift_L keydown a");
    s.settle("KEY", 3);
    xdotool("mousemove 1100 875 click 1");  // the keyboard goes to the other program
    s.settle("KEY", 6);
    xdotool("keyup a keyup Shift_L");
    xdotool("mousemove " + s.at(30, 30) + " click 1");  // and comes back
    xdotool("key b");
    std::vector<std::string> keys = s.settle("KEY", 8);
    std::vector<std::string> expected;
    for (const char* change : {"0000 key=0x00000010", "0000 key=0x000000A0", "0000 key=0x00000041",
                               "0001 key=0x00000010", "0001 key=0x00000041", "0001 key=0x000000A0",
                               "0000 key=0x00000042", "0001 key=0x00000042"})
        expected.push_back(std::string("input-message KEY arg=0x") + change + " width=0 height=0");
    EXPECT_EQ(expected, keys);
}

// The address with each digit moved to `zero` onwards and each dot to `dot`.
std::wstring spelled(const std::string& address, wchar_t zero, wchar_t dot)
{
    std::wstring text;
    for (char c : address)
        text += c == '.' ? dot : wchar_t(zero + (c - '0'));
    return text;
}

// The most recent destination in the viewer's client.ini.
std::wstring remembered(const std::string& folder)
{
    wchar_t text[256] = {};
    std::string path = windowsPath(folder + "/client.ini");
    GetPrivateProfileStringW(L"host", L"00", L"", text, 256, std::wstring(path.begin(), path.end()).c_str());
    return text;
}

// Both channels reach the one address the server listens on, or the dialog refuses with
// its message and stays, and nothing reaches the server.
TEST(InputChannel, DestinationsReachOneAddressOrAreRefused)
{
    const struct {
        const char* name;
        bool onLocalhost;
        std::wstring (*destination)(const std::string& address);
        const wchar_t* refusal;  // null: connects
    } cases[] = {
        {"name", true, [](const std::string&) { return std::wstring(L"localhost"); }, nullptr},
        // Full-width digits and ideographic full stops, as an input method types them.
        {"full-width", false, [](const std::string& a) { return spelled(a, L'\xFF10', L'\x3002'); }, nullptr},
        // Digits as U+0130.. and dots as U+012E: their low bytes are the address itself.
        {"disguised", false, [](const std::string& a) { return spelled(a, L'\x0130', L'\x012E'); },
         L"接続エラー\r\nこのホスト名は存在しません(*_*)"},
        {"unconvertible", false, [](const std::string& a) { return spelled(a, L'0', L'.') + L"\xE000"; },
         L"接続エラー\r\n接続先に使えない文字が含まれています(*_*)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AppSession s;
        // On localhost only while no other test holds its ports.
        ASSERT_TRUE(waitUntil([&] { return s.server.start(c.onLocalhost ? "--address 127.0.0.1" : ""); }, 60000));
        std::string address = c.onLocalhost ? "127.0.0.1" : s.server.address;
        ASSERT_TRUE(s.viewer.start(freshFolder("destination")));
        s.dialog = s.viewer.waitForConnectDialog();
        ASSERT_NE(nullptr, s.dialog);
        std::wstring typed = c.destination(address);
        SetDlgItemTextW(s.dialog, 1002, typed.c_str());
        PostMessageW(s.dialog, WM_COMMAND, IDOK, 0);
        if (!c.refusal) {
            s.main = s.viewer.waitForWindow(L"Tavimo", L"Tavimo");
            EXPECT_TRUE(s.server.waitFor("input-connected"));
            EXPECT_EQ(1, s.server.count("frame-connected"));
            EXPECT_EQ(typed, remembered(s.viewer.folder));  // as typed
            continue;
        }
        HWND box = s.viewer.waitForMessageBox();
        ASSERT_NE(nullptr, box);
        EXPECT_EQ(c.refusal, messageBoxText(box));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(waitUntil([&] { return IsWindowEnabled(GetDlgItem(s.dialog, IDOK)) != FALSE; }));
        EXPECT_EQ(0, s.server.count("frame-connected"));
        EXPECT_EQ(L"", remembered(s.viewer.folder));
        PostMessageW(s.dialog, WM_COMMAND, IDCANCEL, 0);
    }
}

BOOL CALLBACK countAboutBoxes(HWND window, LPARAM count)
{
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    *reinterpret_cast<int*>(count) += wcscmp(name, L"#32770") == 0 && GetDlgItem(window, 1005) != nullptr;
    return TRUE;
}

TEST(InputChannel, AboutChosenAgainDoesNotOpenASecondBox)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 320x240"));
    moveClearOfWinesTray(s.main);
    PostMessageW(s.main, WM_COMMAND, kIdmAbout, 0);
    HWND about = s.viewer.waitForWindow(L"#32770", L"");
    ASSERT_NE(nullptr, about);
    PostMessageW(s.main, WM_COMMAND, kIdmAbout, 0);
    Sleep(700);  // a second box would show by now
    int boxes = 0;
    EnumWindows(countAboutBoxes, LPARAM(&boxes));
    EXPECT_EQ(1, boxes);
    PostMessageW(about, WM_COMMAND, IDOK, 0);
}

}  // namespace
