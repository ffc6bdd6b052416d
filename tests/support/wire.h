// The viewer's side of the wire over plain sockets, for tests on either platform: POSIX
// descriptors natively, Winsock sockets under Wine (started by the caller).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using Socket = SOCKET;
#else
#include <arpa/inet.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using Socket = int;
#endif

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "wire/frame_wire.h"

using Bytes = std::vector<uint8_t>;

// A connected socket whose receives give up after 60 s; -1 or INVALID_SOCKET if it failed.
inline Socket connectTo(const std::string& address, int port)
{
#ifdef _WIN32
    Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    DWORD timeout = 60000;
#else
    Socket s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{60, 0};
#endif
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (connect(s, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0)
        return s;
#ifdef _WIN32
    closesocket(s);
    return INVALID_SOCKET;
#else
    close(s);
    return -1;
#endif
}

inline bool sendBytes(Socket s, const Bytes& bytes)
{
#ifdef _WIN32
    const int flags = 0;
#else
    const int flags = MSG_NOSIGNAL;
#endif
    return send(s, reinterpret_cast<const char*>(bytes.data()), int(bytes.size()), flags) == int(bytes.size());
}

inline bool sendControl(Socket s, uint32_t code, uint8_t paddingByte = 0)
{
    Bytes message(kControlMessageSize);
    encodeControlMessage(code, message.data());
    message[8] = paddingByte;
    return sendBytes(s, message);
}

// Up to `size` bytes, without one everything until the peer closes: fewer only when it
// closed, failed or went quiet for too long.
inline Bytes receive(Socket s, size_t size = SIZE_MAX)
{
    Bytes out;
    char buffer[65536];
    for (int n; out.size() < size &&
                (n = int(recv(s, buffer, int(std::min(sizeof buffer, size - out.size())), 0))) > 0;)
        out.insert(out.end(), buffer, buffer + n);
    return out;
}

// Whether the socket has something to read within `ms`: used only to show that nothing
// comes (what comes late fails it, a slow machine cannot).
inline bool readable(Socket s, int ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{ms / 1000, ms % 1000 * 1000};
    return select(int(s) + 1, &set, nullptr, nullptr, &wait) > 0;
}

// The rest of a lock-step exchange whose MSG_NEXT_FRAME went out already: the body, or
// empty when it went wrong.
inline Bytes finishFrame(Socket s)
{
    Bytes header = receive(s, kFrameHeaderSize);
    int32_t length = header.size() == kFrameHeaderSize ? decodeFrameHeader(header.data()) : 0;
    if (length <= 0 || length > kMaxFrameBodySize || !sendControl(s, MSG_SEND_BODY))
        return {};
    Bytes body = receive(s, size_t(length));
    return body.size() == size_t(length) ? body : Bytes{};
}

inline Bytes fetchFrame(Socket s) { return sendControl(s, MSG_NEXT_FRAME) ? finishFrame(s) : Bytes{}; }

// Five little-endian words, or the first of them alone for the commands.
inline Bytes inputMessage(uint32_t type, uint32_t argument = 0, uint32_t position = 0, uint32_t width = 0,
                          uint32_t height = 0)
{
    Bytes out(type == 0x0301 || type == 0x0401 ? 20 : 4);
    const uint32_t words[] = {type, argument, position, width, height};
    for (size_t at = 0; at < out.size(); at += 4)
        writeLittleEndian32(&out[at], words[at / 4]);
    return out;
}
