// TavimoHost's Windows parts under Wine: the screen captured with a window of the test's
// own on it, the viewer's clicks and keys played into that window, the process behind a
// loopback connection, the tray menu, and a capture through TurboJPEG and back through
// the viewer's decoder.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "input/input_message.h"
#include "host/jpeg_encoder.h"
#include "tests/support/memory_target.h"
#include "tests/win/support/test_server.h"
#include "winhost/host_resource.h"
#include "winhost/input_inject_win.h"
#include "winhost/peer_owner_win.h"
#include "winhost/screen_capture_win.h"
#include "winhost/tile_changes.h"
#include "winhost/tray_win.h"

namespace {

struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Seen> seen;  // the input messages the test window received

// The window's four quarters, top left, top right, bottom left, bottom right.
constexpr COLORREF kQuarters[4] = {RGB(200, 30, 40), RGB(20, 180, 60), RGB(30, 40, 220), RGB(250, 250, 250)};
constexpr int kLeft = 100, kTop = 80, kWidth = 400, kHeight = 300;

COLORREF quarterAt(int x, int y) { return kQuarters[(x >= kWidth / 2) + 2 * (y >= kHeight / 2)]; }

LRESULT CALLBACK recordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if ((message >= WM_KEYFIRST && message <= WM_KEYLAST) || (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) ||
        message == WM_COMMAND)
        seen.push_back({message, wParam, lParam});
    if (message == WM_SYSKEYDOWN || message == WM_SYSKEYUP)
        return 0;  // no menu mode for Alt
    if (message == WM_HOSTTRAY)
        onHostTrayNotify(window, lParam, {L"127.0.0.1:54321", L"127.0.0.1:50000"});
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
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
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
        static ATOM atom = [] {
            WNDCLASSW windowClass = {};
            windowClass.lpfnWndProc = recordingProc;
            windowClass.hInstance = GetModuleHandleW(nullptr);
            windowClass.hCursor = squarePointer();
            windowClass.lpszClassName = L"WinhostTest";
            return RegisterClassW(&windowClass);
        }();
        window = CreateWindowExW(WS_EX_TOPMOST, MAKEINTATOM(atom), L"winhost test", WS_POPUP | WS_VISIBLE, kLeft, kTop,
                                 kWidth, kHeight, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        SetForegroundWindow(window);
        SetFocus(window);
        UpdateWindow(window);
        pause(300);
        seen.clear();
    }
    ~TestWindow() { DestroyWindow(window); }
};

void capture(ScreenCapture& screen, ScreenFrame& frame)
{
    std::string error;
    EXPECT_TRUE(screen.capture(frame, error)) << error;
}

COLORREF pixelAt(const ScreenFrame& frame, int x, int y)
{
    const uint8_t* p = frame.pixels + size_t(y) * size_t(frame.pitch) + size_t(x) * 4;
    return RGB(p[2], p[1], p[0]);
}

TEST(ScreenCaptureTest, TheWindowsPixelsAndThePointerAtItsHotSpot)
{
    TestWindow test;
    ScreenCapture screen;
    ScreenFrame first, second;
    SetCursorPos(5, 5);  // off the window
    pause(200);
    capture(screen, first);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), first.width);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), first.height);
    EXPECT_EQ(nullptr, first.previous);
    int wrong = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            wrong += pixelAt(first, kLeft + x, kTop + y) != quarterAt(x, y);
    EXPECT_EQ(0, wrong);

    const POINT at = {kLeft + 100, kTop + 75};  // inside the top left quarter
    SetCursorPos(at.x, at.y);
    ASSERT_TRUE(waitUntil([] {
        CURSORINFO info = {};
        info.cbSize = sizeof info;
        return GetCursorInfo(&info) && info.hCursor == squarePointer();
    }));
    capture(screen, second);
    EXPECT_EQ(first.pixels, second.previous);
    int black = 0;
    for (int y = at.y - 20; y < at.y + 20; ++y)
        for (int x = at.x - 20; x < at.x + 20; ++x)
            black += pixelAt(second, x, y) == RGB(0, 0, 0);
    EXPECT_EQ(32 * 32, black);
    EXPECT_EQ(RGB(0, 0, 0), pixelAt(second, at.x - 16, at.y - 16));
    EXPECT_EQ(RGB(0, 0, 0), pixelAt(second, at.x + 15, at.y + 15));
    ChangedRows rows = findChangedRows(second.previous, second.pixels, size_t(second.width) * 4, second.height,
                                       second.pitch);
    EXPECT_TRUE(rows.changed);
    EXPECT_LE(rows.top, at.y - 16);
    EXPECT_GE(rows.bottom, at.y + 16);

    // Through TurboJPEG from the capture's own rows, and back through the viewer's decoder.
    JpegEncoder encoder;
    std::string error;
    ASSERT_TRUE(encoder.encode(second.pixels, second.width, second.pitch, second.height, TJPF_BGRX, TJSAMP_420, 80,
                               error)) << error;
    MemoryTarget decoded;
    ASSERT_EQ(DecodeResult::Decoded, decodeJpegFrame(encoder.data(), encoder.size(), decoded));
    ASSERT_EQ(second.width, decoded.width);
    ASSERT_EQ(second.height, decoded.height);
    // Within JPEG error of q80 4:2:0, away from the edges between colours and the pointer,
    // where it rings; swapped colours or a wrong row order would be far off.
    int off = 0;
    for (int y = 16; y < kHeight - 16; ++y)
        for (int x = 16; x < kWidth - 16; ++x) {
            if (std::abs(x - kWidth / 2) < 16 || std::abs(y - kHeight / 2) < 16 ||
                (std::abs(kLeft + x - at.x) < 40 && std::abs(kTop + y - at.y) < 40))
                continue;
            const uint8_t* p = decoded.at(kLeft + x, kTop + y);
            COLORREF want = quarterAt(x, y);
            off += std::abs(p[2] - GetRValue(want)) > 16 || std::abs(p[1] - GetGValue(want)) > 16 ||
                   std::abs(p[0] - GetBValue(want)) > 16;
        }
    EXPECT_EQ(0, off);
}

// Waits for `count` recorded messages of the kinds in [first, last].
std::vector<Seen> received(UINT first, UINT last, size_t count)
{
    std::vector<Seen> out;
    waitUntil([&] {
        out.clear();
        for (const Seen& s : seen)
            if (s.message >= first && s.message <= last)
                out.push_back(s);
        return out.size() >= count;
    }, 5000);
    pause(100);  // one too many would show
    seen.clear();
    return out;
}

TEST(InputInjectTest, ClicksLandOnTheirPixelAndKeysComeWithTheirExtendedFlag)
{
    TestWindow test;
    InputInjector injector;
    struct Click {
        uint32_t code;
        int x, y;
        UINT message;
    };
    for (Click c : {Click{kMouseLeftUp, 0, 0, WM_LBUTTONDOWN}, Click{kMouseLeftUp, kWidth - 1, kHeight - 1, WM_LBUTTONDOWN},
                    Click{kMouseRightDown, 123, 45, WM_RBUTTONDOWN}, Click{kMouseRightUp, 77, 201, WM_RBUTTONUP}}) {
        ASSERT_EQ(Injected::Done, injector.mouse(c.code, kLeft + c.x, kTop + c.y));
        std::vector<Seen> buttons = received(WM_LBUTTONDOWN, WM_MBUTTONDBLCLK, 1);
        ASSERT_FALSE(buttons.empty());
        EXPECT_EQ(c.message, buttons[0].message);
        EXPECT_EQ(MAKELPARAM(c.x, c.y), buttons[0].lParam) << c.x << "," << c.y;
    }

    // The codes as the viewer sends them, and the one message each key makes down and up.
    struct Key {
        std::vector<uint32_t> codes;
        WPARAM key;
        bool extended;
        int scan;  // for Shift, which key: Windows tells right from left by the scan code alone
    };
    const Key keys[] = {
        {{'A'}, 'A', false, 0},
        {{VK_LEFT}, VK_LEFT, true, 0},
        {{VK_DELETE}, VK_DELETE, true, 0},
        {{VK_RETURN}, VK_RETURN, false, 0},  // the keypad's Enter comes as the main one
        {{VK_DIVIDE}, VK_DIVIDE, true, 0},
        {{VK_CONTROL, VK_RCONTROL}, VK_CONTROL, true, 0},
        {{VK_SHIFT, VK_RSHIFT}, VK_SHIFT, false, 0x36},
        {{VK_SHIFT, VK_LSHIFT}, VK_SHIFT, false, 0x2A},
        {{VK_MENU, VK_RMENU}, VK_MENU, true, 0},
    };
    for (const Key& k : keys) {
        for (bool down : {true, false}) {
            for (uint32_t code : k.codes)
                ASSERT_EQ(Injected::Done, injector.key(code, down));
            std::vector<Seen> got = received(WM_KEYDOWN, WM_SYSKEYUP, 1);
            ASSERT_EQ(1u, got.size()) << k.key;
            EXPECT_EQ(down, got[0].message == WM_KEYDOWN || got[0].message == WM_SYSKEYDOWN) << k.key;
            EXPECT_EQ(k.key, got[0].wParam);
            EXPECT_EQ(k.extended, (got[0].lParam & (1 << 24)) != 0) << k.key;
            if (k.scan) {
                EXPECT_EQ(k.scan, (got[0].lParam >> 16) & 0xFF) << k.key;
            }
        }
    }

    // What the viewer still held goes up when its session ends.
    injector.key(VK_CONTROL, true);
    injector.key(VK_LCONTROL, true);
    injector.key('B', true);
    injector.mouse(kMouseLeftDrag, kLeft + 10, kTop + 10);
    received(WM_KEYDOWN, WM_LBUTTONDOWN, 3);
    int keysReleased = 0, buttonsReleased = 0;
    EXPECT_EQ(Injected::Done, injector.releaseAll(keysReleased, buttonsReleased));
    EXPECT_EQ(2, keysReleased);
    EXPECT_EQ(1, buttonsReleased);
    EXPECT_EQ(1u, received(WM_LBUTTONUP, WM_LBUTTONUP, 1).size());
    for (int key : {VK_LCONTROL, int('B'), VK_LBUTTON})
        EXPECT_EQ(0, GetAsyncKeyState(key) & 0x8000) << key;
}

// The test program started again as the peer: it connects, says so, and waits until the
// test hangs up. Wine finds a socket's process among the sockets the process has used
// itself, and a connect alone is done by its server.
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
    struct Case {
        const char* listen;
        const char* connect;
    };
    // IPv4, IPv6, and IPv4 through a dual-stack listener (addresses mapped into IPv6).
    for (Case c : {Case{"127.0.0.1", "127.0.0.1"}, Case{"::1", "::1"}, Case{"::", "127.0.0.1"}}) {
        addrinfo hints = {}, *found = nullptr;
        hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
        ASSERT_EQ(0, getaddrinfo(c.listen, "0", &hints, &found));
        SOCKET listener = socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
        DWORD v6only = 0;
        setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<char*>(&v6only), sizeof v6only);
        ASSERT_EQ(0, bind(listener, found->ai_addr, int(found->ai_addrlen))) << c.listen;
        freeaddrinfo(found);
        listen(listener, 1);
        sockaddr_storage bound = {};
        int size = sizeof bound;
        getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &size);
        std::string port = std::to_string(ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port));

        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(self) + L"\" --connect " + wide(c.connect) + L" " + wide(port);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION peer = {};
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &peer));
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        timeval wait = {30, 0};
        ASSERT_EQ(1, select(0, &readable, nullptr, nullptr, &wait)) << c.listen;
        SOCKET accepted = accept(listener, nullptr, nullptr);
        char byte;
        ASSERT_EQ(1, recv(accepted, &byte, 1, 0));

        PeerOwner owner = findPeerOwner(accepted);
        if (owner.processId == 0 && std::string(c.listen) == "::1") {
            // Wine's IPv6 table has the row but names no process for it.
            EXPECT_EQ(PeerUser::Unknown, owner.user);
            EXPECT_NE(std::string::npos, owner.reason.find("names no process")) << owner.reason;
        } else {
            EXPECT_EQ(PeerUser::Same, owner.user) << c.listen << ": " << owner.reason;
            EXPECT_EQ(peer.dwProcessId, owner.processId) << c.listen;
        }
        // A peer with no connection here: no process, and the reason says so.
        sockaddr_storage nobody = bound;
        reinterpret_cast<sockaddr_in*>(&nobody)->sin_port = htons(9);
        owner = findPeerOwner(reinterpret_cast<sockaddr*>(&bound), reinterpret_cast<sockaddr*>(&nobody));
        EXPECT_EQ(PeerUser::Unknown, owner.user);
        EXPECT_EQ(0u, owner.processId);
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
    for (const wchar_t* viewer : {L"", L"[::1]:50000"}) {
        HMENU menu = makeHostTrayMenu({L"127.0.0.1:54321", viewer});
        EXPECT_EQ(L"待ち受け中：127.0.0.1:54321", itemText(menu, 0));
        EXPECT_EQ(*viewer ? L"接続中：" + std::wstring(viewer) : L"接続なし", itemText(menu, 1));
        EXPECT_EQ(MF_GRAYED, GetMenuState(menu, 1, MF_BYPOSITION) & MF_GRAYED);
        EXPECT_EQ(IDM_HOST_EXIT, GetMenuItemID(menu, 3));
        EXPECT_EQ(L"終了", itemText(menu, 3));
        DestroyMenu(menu);
    }

    TestWindow test;
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_HOST));
    ASSERT_NE(nullptr, icon);
    ASSERT_TRUE(addHostTrayIcon(test.window, icon, {L"127.0.0.1:54321", L""}));
    EXPECT_TRUE(updateHostTrayIcon(test.window, {L"127.0.0.1:54321", L"127.0.0.1:50000"}));
    // The menu's loop runs on this thread; another one finds the menu and picks its last item.
    std::wstring shownStatus;
    std::thread picker([&] {
        HWND menu = nullptr;
        for (int i = 0; i < 250 && !(menu = FindWindowW(L"#32768", nullptr)); ++i)
            Sleep(20);
        shownStatus = itemText(HMENU(SendMessageW(menu, MN_GETHMENU, 0, 0)), 1);
        PostMessageW(menu, WM_KEYDOWN, VK_UP, 0);
        PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    });
    PostMessageW(test.window, WM_HOSTTRAY, 1, WM_RBUTTONUP);
    std::vector<Seen> commands = received(WM_COMMAND, WM_COMMAND, 1);
    picker.join();
    removeHostTrayIcon(test.window);
    EXPECT_EQ(L"接続中：127.0.0.1:50000", shownStatus);
    ASSERT_EQ(1u, commands.size());
    EXPECT_EQ(IDM_HOST_EXIT, LOWORD(commands[0].wParam));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--connect")
        return connectAndWait(argv[2], argv[3]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
