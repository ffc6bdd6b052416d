// TavimoHost's Windows parts under Wine: the screen captured with a window of the test's
// own on it, compared in tiles and through TurboJPEG and the viewer's decoder, the
// viewer's clicks and keys played into that window, one monitor shared by name, the
// process behind a loopback connection, the tray menu.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <turbojpeg.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/jpeg_encoder.h"
#include "host/monitor_choice.h"
#include "wire/input_wire.h"
#include "tests/support/memory_target.h"
#include "tests/win/support/test_server.h"
#include "winhost/host_resource.h"
#include "winhost/input_inject_win.h"
#include "session/peer_owner_win.h"
#include "winhost/tray_win.h"
#include "winhost/win_desktop.h"

namespace {

std::vector<MSG> seen;  // the input messages and commands the test window received

// The window's quarters: top left, top right, bottom left, bottom right.
constexpr COLORREF kQuarters[4] = {RGB(200, 30, 40), RGB(20, 180, 60), RGB(30, 40, 220), RGB(250, 250, 250)};
constexpr int kLeft = 100, kTop = 80, kWidth = 400, kHeight = 300;
COLORREF quarterAt(int x, int y) { return kQuarters[(x >= kWidth / 2) + 2 * (y >= kHeight / 2)]; }

LRESULT CALLBACK recordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if ((message >= WM_KEYFIRST && message <= WM_MOUSELAST) || message == WM_COMMAND)
        seen.push_back({window, message, wParam, lParam, 0, {}});
    if (message == WM_HOSTTRAY)
        onHostTrayNotify(window, lParam, {L"127.0.0.1:54321", L"127.0.0.1:50000", L"", L""});
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        for (int i = 0; i < 4; ++i) {
            RECT quarter = {i % 2 * kWidth / 2, i / 2 * kHeight / 2, (i % 2 + 1) * kWidth / 2, (i / 2 + 1) * kHeight / 2};
            HBRUSH brush = CreateSolidBrush(kQuarters[i]);
            FillRect(dc, &quarter, brush);
            DeleteObject(brush);
        }
        EndPaint(window, &paint);
    }
    // No menu mode for Alt.
    bool handled = message == WM_PAINT || message == WM_SYSKEYDOWN || message == WM_SYSKEYUP;
    return handled ? 0 : DefWindowProcW(window, message, wParam, lParam);
}

// A black 32x32 pointer with its hot spot in the middle: drawn without the hot spot taken
// off, it would sit 16 pixels right of and below the pointer's position.
HCURSOR squarePointer()
{
    static BYTE andMask[128] = {}, xorMask[128] = {};
    static HCURSOR pointer = CreateCursor(GetModuleHandleW(nullptr), 16, 16, 32, 32, andMask, xorMask);
    return pointer;
}

// The test's window at kLeft, kTop, on top and with the keyboard.
struct TestWindow {
    HWND window = nullptr;

    TestWindow()
    {
        static WNDCLASSW windowClass = {0, recordingProc, 0, 0, nullptr, nullptr, squarePointer(), nullptr, nullptr,
                                        L"WinhostTest"};
        static ATOM atom = RegisterClassW(&windowClass);
        window = CreateWindowExW(WS_EX_TOPMOST, MAKEINTATOM(atom), L"winhost test", WS_POPUP | WS_VISIBLE, kLeft, kTop,
                                 kWidth, kHeight, nullptr, nullptr, nullptr, nullptr);
        SetForegroundWindow(window);
        SetFocus(window);
        pause(300);
        seen.clear();
    }
    ~TestWindow() { DestroyWindow(window); }
};

// Waits for `count` recorded messages in [first, last], and a little longer so one too
// many would show; takes them all.
std::vector<MSG> received(UINT first, UINT last, size_t count)
{
    std::vector<MSG> out;
    auto take = [&] {
        out.clear();
        std::copy_if(seen.begin(), seen.end(), std::back_inserter(out),
                     [&](const MSG& m) { return m.message >= first && m.message <= last; });
        return out.size() >= count;
    };
    waitUntil(take, 5000);
    pause(100);
    take();
    seen.clear();
    return out;
}

COLORREF pixelAt(const ScreenPicture& picture, int x, int y)
{
    const uint8_t* p = picture.pixels + size_t(y) * size_t(picture.pitch) + size_t(x) * 4;
    return RGB(p[2], p[1], p[0]);
}

TEST(ScreenCaptureTest, TheWindowsPixelsThePointerAtItsHotSpotItsMoveInTilesAndTheRoundTripThroughJpeg)
{
    TestWindow test;
    WinDesktop desktop;
    ScreenPicture first, second, still;
    std::string error;
    SetCursorPos(5, 5);  // off the window
    pause(200);
    ASSERT_TRUE(desktop.capture(first, error)) << error;
    EXPECT_TRUE(first.changed && first.areas.empty());  // all of it: nothing to compare with
    int wrong = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            wrong += pixelAt(first, kLeft + x, kTop + y) != quarterAt(x, y);
    EXPECT_EQ(0, wrong);

    const POINT at = {kLeft + 100, kTop + 75};
    SetCursorPos(at.x, at.y);
    ASSERT_TRUE(waitUntil([] {
        CURSORINFO info = {};
        info.cbSize = sizeof info;
        return GetCursorInfo(&info) && info.hCursor == squarePointer();
    }));
    ASSERT_TRUE(desktop.capture(second, error)) << error;
    int black = 0;
    for (int y = at.y - 16; y < at.y + 16; ++y)
        for (int x = at.x - 16; x < at.x + 16; ++x)
            black += pixelAt(second, x, y) == 0;
    EXPECT_EQ(32 * 32, black);
    EXPECT_EQ(kQuarters[0], pixelAt(second, at.x - 17, at.y - 17));
    EXPECT_EQ(kQuarters[0], pixelAt(second, at.x + 16, at.y + 16));
    // The pointer's move: changed tiles around it, none at the window's far corner; then none.
    auto changedAt = [&](int x, int y) {
        return std::any_of(second.areas.begin(), second.areas.end(), [&](const PixelRect& a) {
            return x >= a.x && x < a.x + a.width && y >= a.y && y < a.y + a.height;
        });
    };
    EXPECT_TRUE(second.changed && changedAt(at.x - 16, at.y - 16) && changedAt(at.x + 15, at.y + 15));
    EXPECT_FALSE(changedAt(kLeft + kWidth - 1, kTop + kHeight - 1));
    ASSERT_TRUE(desktop.capture(still, error)) << error;
    EXPECT_TRUE(!still.changed && still.areas.empty());

    // Encoded from the capture's rows as they are, decoded by the viewer: within JPEG error
    // away from edges, where swapped colours or rows would be far off.
    JpegEncoder encoder;
    ASSERT_TRUE(encoder.encode(second.pixels, second.width, second.pitch, second.height, TJPF_BGRX, TJSAMP_420, 80,
                               error)) << error;
    MemoryTarget decoded;
    ASSERT_EQ(DecodeResult::Decoded, decodeJpegFrame(encoder.data(), encoder.size(), decoded));
    ASSERT_EQ(second.width, decoded.width);
    for (POINT p : {POINT{40, 40}, POINT{360, 40}, POINT{40, 260}, POINT{360, 260}}) {
        const uint8_t* got = decoded.at(kLeft + p.x, kTop + p.y);
        COLORREF want = quarterAt(p.x, p.y);
        EXPECT_TRUE(std::abs(GetRValue(want) - got[2]) <= 16 && std::abs(GetGValue(want) - got[1]) <= 16 &&
                    std::abs(GetBValue(want) - got[0]) <= 16) << p.x << "," << p.y;
    }
}

TEST(InputInjectTest, ClicksLandOnTheirPixelAndKeysComeOnceWithTheirExtendedFlag)
{
    TestWindow test;
    InputInjector injector;
    for (auto [code, x, y, message] : {std::tuple{kMouseLeftUp, 0, 0, WM_LBUTTONDOWN},
                                       {kMouseLeftUp, kWidth - 1, kHeight - 1, WM_LBUTTONDOWN},
                                       {kMouseRightDown, 123, 45, WM_RBUTTONDOWN}, {kMouseRightUp, 77, 201, WM_RBUTTONUP}}) {
        ASSERT_EQ(Injected::Done, injector.mouse(code, kLeft + x, kTop + y));
        std::vector<MSG> buttons = received(WM_LBUTTONDOWN, WM_MBUTTONDBLCLK, 1);
        ASSERT_FALSE(buttons.empty());
        EXPECT_EQ(message, buttons[0].message);
        EXPECT_EQ(MAKELPARAM(x, y), buttons[0].lParam) << x << "," << y;
    }

    // The codes as the viewer sends them, and the one message each key makes down and up.
    // `scan` for Shift: Windows tells right from left by the scan code alone.
    struct Key { std::vector<uint32_t> codes; WPARAM key; bool extended; int scan; };
    const Key keys[] = {
        {{'A'}, 'A', false, 0}, {{VK_LEFT}, VK_LEFT, true, 0}, {{VK_DIVIDE}, VK_DIVIDE, true, 0},
        {{VK_RETURN}, VK_RETURN, false, 0},  // the keypad's Enter comes as the main one
        {{VK_CONTROL, VK_RCONTROL}, VK_CONTROL, true, 0}, {{VK_MENU, VK_RMENU}, VK_MENU, true, 0},
        {{VK_SHIFT, VK_RSHIFT}, VK_SHIFT, false, 0x36}, {{VK_SHIFT, VK_LSHIFT}, VK_SHIFT, false, 0x2A},
    };
    for (const Key& k : keys)
        for (bool down : {true, false}) {
            for (uint32_t code : k.codes)
                ASSERT_EQ(Injected::Done, injector.key(code, down));
            std::vector<MSG> got = received(WM_KEYDOWN, WM_SYSKEYUP, 1);
            ASSERT_EQ(1u, got.size()) << k.key;
            EXPECT_EQ(down, got[0].message == WM_KEYDOWN || got[0].message == WM_SYSKEYDOWN) << k.key;
            EXPECT_EQ(k.key, got[0].wParam);
            EXPECT_EQ(k.extended, (got[0].lParam & (1 << 24)) != 0) << k.key;
            EXPECT_TRUE(!k.scan || k.scan == ((got[0].lParam >> 16) & 0xFF)) << k.key;
        }

    // What the viewer still held goes up when its session ends.
    for (uint32_t code : std::initializer_list<uint32_t>{VK_CONTROL, VK_LCONTROL, 'B'})
        injector.key(code, true);
    injector.mouse(kMouseLeftDrag, kLeft + 10, kTop + 10);
    received(WM_KEYDOWN, WM_LBUTTONDOWN, 3);
    int keysReleased = 0, buttonsReleased = 0;
    EXPECT_EQ(Injected::Done, injector.releaseAll(keysReleased, buttonsReleased));
    EXPECT_EQ(std::pair(2, 1), std::pair(keysReleased, buttonsReleased));
    EXPECT_EQ(1u, received(WM_LBUTTONUP, WM_LBUTTONUP, 1).size());
    for (int key : {VK_LCONTROL, int('B'), VK_LBUTTON})
        EXPECT_EQ(0, GetAsyncKeyState(key) & 0x8000) << key;
}

// Wine shows one monitor however many the X server has: the whole virtual desktop is that
// monitor, and the monitor shared by its name (as --monitor finds it, with or without
// "\\.\") is captured at its size with the window at its place, and takes clicks, kept
// inside it. A monitor that is not there fails the capture, with the list of those that are.
TEST(MonitorTest, TheVirtualDesktopOrOneMonitorIsSharedAndAGoneOneFailsTheCapture)
{
    std::vector<MonitorInfo> monitors = desktopMonitors();
    ASSERT_FALSE(monitors.empty());
    const MonitorInfo& first = monitors[0];
    PixelRect desk = virtualDesktop();
    EXPECT_TRUE(monitors.size() > 1 || desk == first.rect);
    ASSERT_EQ(0u, first.name.find("\\\\.\\")) << first.name;
    MonitorChoice byName;
    int index = -1;
    std::string error;
    EXPECT_TRUE(parseMonitorChoice(first.name.substr(4), byName) && chooseMonitor(byName, monitors, index, error) &&
                index == 0) << error;

    TestWindow test;
    SetCursorPos(first.rect.x + 5, first.rect.y + 5);
    pause(200);
    ScreenPicture whole, one;
    WinDesktop all, monitor(SharedArea{first.name});
    ASSERT_TRUE(all.capture(whole, error)) << error;
    EXPECT_EQ(std::pair(desk.width, desk.height), std::pair(whole.width, whole.height));
    ASSERT_TRUE(monitor.capture(one, error)) << error;
    ASSERT_EQ(std::pair(first.rect.width, first.rect.height), std::pair(one.width, one.height));
    for (POINT p : {POINT{0, 0}, POINT{kWidth - 1, kHeight - 1}, POINT{kWidth / 2, kHeight / 4}})
        EXPECT_EQ(quarterAt(p.x, p.y), pixelAt(one, kLeft - first.rect.x + p.x, kTop - first.rect.y + p.y));

    InputInjector injector;
    injector.share(SharedArea{first.name});
    ASSERT_EQ(Injected::Done, injector.mouse(kMouseLeftUp, kLeft - first.rect.x + 7, kTop - first.rect.y + 9));
    std::vector<MSG> buttons = received(WM_LBUTTONDOWN, WM_LBUTTONDOWN, 1);
    EXPECT_TRUE(buttons.size() == 1 && buttons[0].lParam == MAKELPARAM(7, 9));
    ASSERT_EQ(Injected::Done, injector.mouse(kMouseLeftUp, 100000, 100000));  // kept at the corner
    POINT corner = {first.rect.x + first.rect.width - 1, first.rect.y + first.rect.height - 1}, at;
    EXPECT_TRUE(waitUntil([&] { return GetCursorPos(&at) && at.x == corner.x && at.y == corner.y; }));

    WinDesktop gone(SharedArea{"\\\\.\\DISPLAY9"});
    EXPECT_FALSE(gone.capture(one, error));
    EXPECT_EQ("monitor \\\\.\\DISPLAY9 is gone; the monitors now: " + listMonitors(monitors), error);
}

// The test program again as the peer: it connects, sends (Wine names a socket's process
// only once the process has used the socket itself), and waits until the test hangs up.
int connectAndWait(const char* address, const char* port)
{
    WSADATA wsa;
    addrinfo* found = nullptr;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0 || getaddrinfo(address, port, nullptr, &found) != 0)
        return 2;
    SOCKET s = socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
    char byte = 1;
    if (connect(s, found->ai_addr, int(found->ai_addrlen)) != 0 || send(s, &byte, 1, 0) != 1)
        return 3;
    recv(s, &byte, 1, 0);
    return 0;
}

TEST(PeerOwnerTest, TheConnectingProcessIsFoundAsTheSameUser)
{
    WSADATA wsa;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
    // IPv4, IPv6, and IPv4 through a dual-stack listener (addresses mapped into IPv6).
    for (auto [listenAt, connectTo] : {std::pair{"127.0.0.1", "127.0.0.1"}, {"::1", "::1"}, {"::", "127.0.0.1"}}) {
        addrinfo hints = {}, *found = nullptr;
        hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
        ASSERT_EQ(0, getaddrinfo(listenAt, "0", &hints, &found));
        SOCKET listener = socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
        DWORD v6only = 0;
        setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<char*>(&v6only), sizeof v6only);
        ASSERT_EQ(0, bind(listener, found->ai_addr, int(found->ai_addrlen))) << listenAt;
        freeaddrinfo(found);
        listen(listener, 1);
        sockaddr_storage bound = {};
        int size = sizeof bound;
        getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &size);
        auto& port = reinterpret_cast<sockaddr_in*>(&bound)->sin_port;  // where IPv6 has it too

        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(self) + L"\" --connect " + wide(connectTo) + L" " +
                               std::to_wstring(ntohs(port));
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION peer = {};
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &peer));
        fd_set readable = {1, {listener}};
        timeval wait = {30, 0};
        ASSERT_EQ(1, select(0, &readable, nullptr, nullptr, &wait)) << listenAt;
        SOCKET accepted = accept(listener, nullptr, nullptr);
        char byte;
        ASSERT_EQ(1, recv(accepted, &byte, 1, 0)) << listenAt;

        PeerProcess owner = findPeerProcess(accepted);
        // Wine's IPv6 table has the row but names no process for it.
        bool wineIpv6 = std::string(listenAt) == "::1" && owner.reason.find("names no process") != std::string::npos;
        EXPECT_TRUE(wineIpv6 || (owner.owner == PeerOwner::SameUser && owner.processId == peer.dwProcessId))
            << listenAt << ": " << owner.reason;
        port = htons(9);  // from and to a port with no connection
        owner = findPeerProcess(reinterpret_cast<sockaddr*>(&bound), reinterpret_cast<sockaddr*>(&bound));
        EXPECT_NE(std::string::npos, owner.reason.find("no connection")) << owner.reason;

        closesocket(accepted);
        closesocket(listener);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(peer.hProcess, 20000));
        CloseHandle(peer.hProcess);
        CloseHandle(peer.hThread);
    }
}

std::wstring itemText(HMENU menu, int index)
{
    wchar_t text[128] = {};
    GetMenuStringW(menu, UINT(index), text, 128, MF_BYPOSITION);
    return text;
}

TEST(HostTrayTest, TheMenuShowsTheStatusAndExitComesAsItsCommand)
{
    EXPECT_TRUE(IsProcessDPIAware());  // the host's manifest, linked into this program
    TestWindow test;
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_HOST));
    HostStatus status = {L"127.0.0.1:54321", L"", L"", L"\\\\.\\DISPLAY2 1920x1080"};
    ASSERT_TRUE(addHostTrayIcon(test.window, icon, status));
    EXPECT_EQ(L"Tavimo ホスト\n共有：\\\\.\\DISPLAY2 1920x1080\n待ち受け中：127.0.0.1:54321\n接続なし",
              hostTrayTip(status));
    status.viewer = L"127.0.0.1:50000";
    EXPECT_TRUE(updateHostTrayIcon(test.window, status));
    // The menu's loop runs on this thread; another one reads the menu and picks its last item.
    std::wstring shown;
    std::thread picker([&] {
        HWND opened = nullptr;
        for (int i = 0; i < 250 && !(opened = FindWindowW(L"#32768", nullptr)); ++i)
            Sleep(20);
        HMENU menu = HMENU(SendMessageW(opened, MN_GETHMENU, 0, 0));
        shown = itemText(menu, 0) + L"|" + itemText(menu, 1) + L"|" + itemText(menu, 3);
        shown += GetMenuState(menu, 1, MF_BYPOSITION) & MF_GRAYED ? L"" : L" (not greyed)";
        PostMessageW(opened, WM_KEYDOWN, VK_UP, 0);
        PostMessageW(opened, WM_KEYDOWN, VK_RETURN, 0);
    });
    PostMessageW(test.window, WM_HOSTTRAY, 1, WM_RBUTTONUP);
    std::vector<MSG> commands = received(WM_COMMAND, WM_COMMAND, 1);
    picker.join();
    removeHostTrayIcon(test.window);
    EXPECT_EQ(L"待ち受け中：127.0.0.1:54321|接続中：127.0.0.1:50000|終了", shown);
    EXPECT_TRUE(commands.size() == 1 && LOWORD(commands[0].wParam) == IDM_HOST_EXIT);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--connect")
        return connectAndWait(argv[2], argv[3]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
