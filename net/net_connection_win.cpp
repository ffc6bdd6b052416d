#include "net/net_connection_win.h"

#include "app/message_box.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

NetConnection::NetConnection(bool receivesFrames)
{
    InitializeCriticalSection(&sockLock);
    WSADATA wsaData;
    if (WSAStartup(MAKEWORD(2, 0), &wsaData) != 0)
        showMessage(nullptr, L"WinSock初期化失敗(*_*)");
    if (receivesFrames) {
        frameBuffer = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, kFrameBufferSize));
        frameCapacity = frameBuffer ? kFrameBufferSize : 0;
    }
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    netEvent = WSACreateEvent();
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

// The lock stays: at exit another thread may still be about to take it.
NetConnection::~NetConnection()
{
    closeSocket(*this);
    EnterCriticalSection(&sockLock);
    HeapFree(GetProcessHeap(), 0, frameBuffer);
    frameBuffer = nullptr;
    frameCapacity = 0;
    LeaveCriticalSection(&sockLock);
    WSACleanup();
}

bool openSocket(NetConnection& conn)
{
    SOCKET made = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EnterCriticalSection(&conn.sockLock);
    conn.sock = made;
    LeaveCriticalSection(&conn.sockLock);
    if (made == INVALID_SOCKET) {
        showMessage(nullptr, L"socket_error");
        return true;
    }
    return false;
}

static void showLookupError(HWND owner, int code)
{
    const wchar_t* text = L"接続エラー";
    if (code == WSANO_DATA)
        text = L"接続エラー\r\n存在しないアドレスです(*_*)";
    else if (code == WSAHOST_NOT_FOUND)
        text = L"接続エラー\r\nこのホスト名は存在しません(*_*)";
    showMessage(owner, text);
}

// The destination as the resolver takes it. ASCII goes as typed; anything else through
// IDNA, so that a Japanese name resolves and full-width digits become the address they
// show, and never by dropping the high bytes, which turned "\u0131\u0132\u0137..." into
// "127...". False when it cannot be converted or does not fit.
static bool toHostText(const wchar_t* destination, char (&hostText)[256])
{
    size_t length = wcslen(destination);
    bool ascii = std::all_of(destination, destination + length, [](wchar_t c) { return c < 0x80; });
    wchar_t converted[256];
    const wchar_t* text = destination;
    if (!ascii) {
        int units = IdnToAscii(0, destination, -1, converted, 256);
        if (units <= 0)
            return false;
        text = converted;
        length = wcslen(converted);
    }
    if (length >= sizeof hostText)
        return false;
    for (size_t i = 0; i <= length; ++i)
        hostText[i] = char(text[i]);
    return true;
}

static bool connectTo(NetConnection& conn, HWND owner)
{
    if (connect(conn.sock, reinterpret_cast<sockaddr*>(&conn.address), sizeof conn.address) == 0)
        return false;
    int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK)
        return false;
    // A socket whose connect failed does not always connect again; the retry gets a new one.
    SOCKET fresh = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    closeSocket(conn);
    EnterCriticalSection(&conn.sockLock);
    conn.sock = fresh;
    LeaveCriticalSection(&conn.sockLock);
    showMessage(owner, code == WSAECONNREFUSED ? L"接続が拒否されました(+_+)" : L"connect_err (+_+)");
    return true;
}

bool resolveAndConnect(NetConnection& conn, HWND owner, const wchar_t* destination, unsigned short port)
{
    conn.address = sockaddr_in{};
    conn.address.sin_family = AF_INET;
    conn.address.sin_port = htons(port);

    if (!toHostText(destination, conn.hostText)) {
        conn.hostText[0] = 0;
        showMessage(owner, L"接続エラー\r\n接続先に使えない文字が含まれています(*_*)");
        return true;
    }

    conn.address.sin_addr.s_addr = inet_addr(conn.hostText);
    if (conn.address.sin_addr.s_addr == INADDR_NONE) {
        // A typed address is the address: only names are looked up, since a reverse
        // lookup would refuse the many hosts that have no reverse name.
        hostent* found = gethostbyname(conn.hostText);
        if (!found) {
            showLookupError(owner, WSAGetLastError());
            return true;
        }
        memcpy(&conn.address.sin_addr, found->h_addr_list[0],
               std::min<size_t>(size_t(found->h_length), sizeof conn.address.sin_addr));
    }
    return connectTo(conn, owner);
}

bool connectToAddress(NetConnection& conn, HWND owner, in_addr to, unsigned short port)
{
    conn.address = sockaddr_in{};
    conn.address.sin_family = AF_INET;
    conn.address.sin_port = htons(port);
    conn.address.sin_addr = to;
    return connectTo(conn, owner);
}

void closeSocket(NetConnection& conn)
{
    EnterCriticalSection(&conn.sockLock);
    if (conn.sock != INVALID_SOCKET) {
        shutdown(conn.sock, SD_BOTH);
        closesocket(conn.sock);
        conn.sock = INVALID_SOCKET;
    }
    LeaveCriticalSection(&conn.sockLock);
}

int sendOn(NetConnection& conn, const void* data, int length)
{
    EnterCriticalSection(&conn.sockLock);
    int sent = SOCKET_ERROR;
    if (conn.sock != INVALID_SOCKET)
        sent = send(conn.sock, static_cast<const char*>(data), length, 0);
    else
        WSASetLastError(WSAENOTSOCK);
    LeaveCriticalSection(&conn.sockLock);
    return sent;
}
