// One TCP channel to the remote host: its socket, the resolved address and, for the
// frame channel, the receive counters and frame buffer of the lock-step exchange.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "net/frame_protocol.h"

constexpr unsigned short kFramePort = 54321;
constexpr unsigned short kInputPort = 54322;

struct NetConnection : FrameReceiver {
    // Only the frame channel receives, so only it gets a frame buffer.
    explicit NetConnection(bool receivesFrames);
    ~NetConnection();
    NetConnection(const NetConnection&) = delete;
    NetConnection& operator=(const NetConnection&) = delete;

    // INVALID_SOCKET before openSocket and once closed, so a closed handle that the
    // system may hand out again is never shut down, closed or sent on a second time.
    SOCKET sock = INVALID_SOCKET;
    sockaddr_in address = {};
    char hostText[256] = {};  // the destination as the resolver takes it: ASCII, IDNA for the rest
    WSAEVENT netEvent = WSA_INVALID_EVENT;
    WSANETWORKEVENTS netEvents = {};
    uint8_t controlMessage[kControlMessageSize] = {};  // composed here, sent from here
    // Set when the program ends: waits and receives on the channel give up at once.
    HANDLE stopEvent = nullptr;
    // Closing and sending come from different threads.
    CRITICAL_SECTION sockLock;
};

// Both return true on failure, after the user has been told.
bool openSocket(NetConnection& conn);
bool resolveAndConnect(NetConnection& conn, HWND owner, const wchar_t* destination, unsigned short port);
// Connects to an address already looked up (the input channel goes where the frame
// channel went), with resolveAndConnect's messages for a failed connect.
bool connectToAddress(NetConnection& conn, HWND owner, in_addr to, unsigned short port);

// Shuts down and closes the socket once; later calls do nothing.
void closeSocket(NetConnection& conn);
// send() that fails with WSAENOTSOCK instead of touching a closed handle.
int sendOn(NetConnection& conn, const void* data, int length);
