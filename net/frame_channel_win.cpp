#include "net/frame_channel_win.h"

#include <cstdio>

#include "app/globals.h"
#include "app/message_box.h"

static_assert(kEventRead == FD_READ && kEventWrite == FD_WRITE && kEventClose == FD_CLOSE,
              "event bits as Winsock has them");

namespace {

struct WinsockIo final : FrameChannelIo {
    SOCKET sock;
    HANDLE stopEvent;
    WinsockIo(SOCKET s, HANDLE stop) : sock(s), stopEvent(stop) {}

    int32_t receive(uint8_t* into, int32_t length, bool* wouldBlock) override
    {
        *wouldBlock = false;
        if (WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0)
            return 0;  // the program is ending: take it as the end of the stream
        int got = recv(sock, reinterpret_cast<char*>(into), length, 0);
        *wouldBlock = got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK;
        return got == SOCKET_ERROR ? -1 : got;
    }
    void pause() override { Sleep(10); }
    void awaitData(bool gather) override
    {
        if (gather)
            Sleep(3);
        // select leaves the socket's recorded network events as they are, so the frame
        // loop's wait still sees a close.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(sock, &readable);
        timeval wait = {0, 10000};
        select(0, &readable, nullptr, nullptr, &wait);
    }
    uint8_t* replaceFrameBuffer(uint8_t* old, int32_t size) override
    {
        auto* fresh = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, SIZE_T(size)));
        if (fresh)
            HeapFree(GetProcessHeap(), 0, old);
        return fresh;
    }
};

}  // namespace

void sendControl(uint32_t code, uint32_t second, uint32_t third)
{
    encodeControlMessage(code, frameChannel.controlMessage, second, third);
    if (sendOn(frameChannel, frameChannel.controlMessage, kControlMessageSize) == SOCKET_ERROR)
        WSAGetLastError();  // the exchange goes on; the next wait tells whether it can
}

void sendBodyAndNextRequest(uint32_t second, uint32_t third)
{
    uint8_t both[2 * kControlMessageSize];
    encodeControlMessage(MSG_SEND_BODY, both);
    encodeControlMessage(MSG_NEXT_FRAME, both + kControlMessageSize, second, third);
    if (sendOn(frameChannel, both, sizeof both) == SOCKET_ERROR)
        WSAGetLastError();
}

bool waitForRead(NetConnection& conn)
{
    for (;;) {
        if (conn.sock == INVALID_SOCKET)
            return true;  // ended by a read, which has told the user why
        WSAEVENT events[2] = {conn.netEvent, conn.stopEvent};
        DWORD woken = WSAWaitForMultipleEvents(2, events, FALSE, WSA_INFINITE, FALSE);
        if (woken == WSA_WAIT_EVENT_0 + 1)
            return true;  // the program is ending; nobody is left to tell
        if (woken == WSA_WAIT_FAILED ||
            WSAEnumNetworkEvents(conn.sock, conn.netEvent, &conn.netEvents) == SOCKET_ERROR) {
            showMessage(nullptr, L"events_error");
            return true;
        }
        switch (stepForEvents(uint32_t(conn.netEvents.lNetworkEvents))) {
        case ChannelStep::Ended:
            closeSocket(conn);
            showMessage(nullptr, L"切断されました(+_+)");
            return true;
        case ChannelStep::Read:
            return false;
        case ChannelStep::WaitAgain:
            break;
        }
    }
}

HeaderRead readFrameHeader(NetConnection& conn)
{
    WinsockIo io(conn.sock, conn.stopEvent);
    HeaderRead result = readFrameHeaderFrom(conn, io);
    switch (result) {
    case HeaderRead::Failed:
        showMessage(nullptr, L"recv_error");
        break;
    case HeaderRead::TooLarge:
        closeSocket(conn);
        showMessage(nullptr, L"受信エラー\r\nフレームが大きすぎます(*_*)");
        break;
    case HeaderRead::NoMemory:
        closeSocket(conn);
        showMessage(nullptr, L"受信エラー\r\nメモリが足りません(*_*)");
        break;
    default:
        break;
    }
    return result;
}

int32_t readFrameBody(NetConnection& conn)
{
    WinsockIo io(conn.sock, conn.stopEvent);
    return readFrameBodyFrom(conn, io);
}

void refuseFrame(NetConnection& conn, const char* problem)
{
    std::fprintf(stderr, "Frame refused: %s\n", problem);
    std::fflush(stderr);
    closeSocket(conn);
    showMessage(nullptr, L"受信エラー\r\nフレームの内容が正しくありません(*_*)");
}
