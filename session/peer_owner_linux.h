// The user that owns the client end of an accepted TCP connection between two sockets of
// this machine, from the kernel's socket tables: sock_diag netlink, and the /proc/net/tcp
// and tcp6 files where netlink fails.
#pragma once

#include <cstddef>
#include <cstdint>

// One end of a TCP connection: an IPv4 address in the first 4 bytes, in network order.
struct TcpEnd {
    bool v6 = false;
    uint8_t address[16] = {};
    uint16_t port = 0;
};

struct TcpConnection {
    TcpEnd client;
    TcpEnd server;
};

// The two ends of accepted socket `fd`; a v4-mapped IPv6 end comes back as IPv4.
bool connectionOf(int fd, TcpConnection& connection);

// The uid that owns the client's socket while a process still holds it open; false when
// there is no such socket (a client that has closed its end has no owner any more).
bool ownerByNetlink(const TcpConnection& connection, uint32_t& uid);
bool ownerByProcFiles(const TcpConnection& connection, uint32_t& uid);
// Netlink, then the /proc files.
bool findPeerOwner(int fd, uint32_t& uid);

// One /proc/net/tcp (IPv4 connection) or tcp6 (IPv6) file's bytes, which are not trusted:
// the uid on the first line whose local end is the client and remote end the server, and
// whose socket is still open (a non-zero inode).
bool ownerFromProcNetTcp(const char* text, size_t size, const TcpConnection& connection, uint32_t& uid);
