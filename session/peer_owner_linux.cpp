#include "session/peer_owner_linux.h"

#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "session/peer_check.h"

namespace {

bool endOf(const sockaddr_storage& address, TcpEnd& end)
{
    end = TcpEnd{};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        std::memcpy(end.address, &v4.sin_addr, 4);
        end.port = ntohs(v4.sin_port);
        return true;
    }
    if (address.ss_family != AF_INET6)
        return false;
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    end.v6 = !IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr);
    std::memcpy(end.address, v6.sin6_addr.s6_addr + (end.v6 ? 0 : 12), end.v6 ? 16 : 4);
    end.port = ntohs(v6.sin6_port);
    return true;
}

// An IPv4 end as an IPv6 socket connected to a v4-mapped address shows it in tcp6.
TcpEnd mapped(const TcpEnd& end)
{
    TcpEnd wide = end;
    wide.v6 = true;
    std::memset(wide.address, 0, sizeof wide.address);
    wide.address[10] = wide.address[11] = 0xFF;
    std::memcpy(wide.address + 12, end.address, 4);
    return wide;
}

bool readWhole(const char* path, std::string& text)
{
    text.clear();
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[16384];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))
        if (got > 0)
            text.append(buffer, size_t(got));
    ::close(fd);
    return got == 0;
}

// Table parsing over [at, end): every step checks the bytes it reads.
int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool parseHex(const char* text, size_t digits, uint32_t& value)
{
    value = 0;
    for (size_t i = 0; i < digits; ++i) {
        int digit = hexDigit(text[i]);
        if (digit < 0)
            return false;
        value = value << 4 | uint32_t(digit);
    }
    return true;
}

// "ADDRESS:PORT": the address as 32-bit words in the kernel's own byte order, 8 hex
// digits each; the port as 4 hex digits.
bool parseEnd(const char* text, size_t length, TcpEnd& end)
{
    if (length != 8 + 5 && length != 32 + 5)
        return false;
    end.v6 = length == 32 + 5;
    size_t digits = length - 5;
    if (text[digits] != ':')
        return false;
    for (size_t word = 0; word < digits / 8; ++word) {
        uint32_t value;
        if (!parseHex(text + 8 * word, 8, value))
            return false;
        std::memcpy(end.address + 4 * word, &value, 4);
    }
    uint32_t port;
    if (!parseHex(text + digits + 1, 4, port))
        return false;
    end.port = uint16_t(port);
    return true;
}

bool parseDecimal(const char* text, size_t length, uint64_t& value)
{
    value = 0;
    if (length == 0 || length > 19)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + uint64_t(text[i] - '0');
    }
    return true;
}

bool sameEnd(const TcpEnd& a, const TcpEnd& b)
{
    return a.v6 == b.v6 && a.port == b.port && std::memcmp(a.address, b.address, a.v6 ? 16 : 4) == 0;
}

// Fields: sl local remote st tx:rx tr:when retrnsmt uid timeout inode ...
bool ownerOnLine(const char* at, const char* end, const TcpConnection& connection, uint32_t& uid)
{
    constexpr int kLocal = 1, kRemote = 2, kUid = 7, kInode = 9;
    const char* field[kInode + 1];
    size_t length[kInode + 1];
    int count = 0;
    while (count <= kInode) {
        while (at < end && (*at == ' ' || *at == '\t'))
            ++at;
        if (at == end)
            return false;
        field[count] = at;
        while (at < end && *at != ' ' && *at != '\t')
            ++at;
        length[count] = size_t(at - field[count]);
        ++count;
    }
    TcpEnd local, remote;
    uint64_t owner = 0, inode = 0;
    if (!parseEnd(field[kLocal], length[kLocal], local) || !parseEnd(field[kRemote], length[kRemote], remote) ||
        !parseDecimal(field[kUid], length[kUid], owner) || !parseDecimal(field[kInode], length[kInode], inode))
        return false;
    if (!sameEnd(local, connection.client) || !sameEnd(remote, connection.server) || owner > UINT32_MAX || inode == 0)
        return false;
    uid = uint32_t(owner);
    return true;
}

void fillEnd(const TcpEnd& end, __be32 address[4], __be16& port)
{
    std::memcpy(address, end.address, end.v6 ? 16 : 4);
    port = htons(end.port);
}

}  // namespace

bool connectionOf(int fd, TcpConnection& connection)
{
    sockaddr_storage local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
           ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
           endOf(local, connection.server) && endOf(peer, connection.client) &&
           connection.server.v6 == connection.client.v6;
}

bool ownerFromProcNetTcp(const char* text, size_t size, const TcpConnection& connection, uint32_t& uid)
{
    const char* end = text + size;
    for (const char* line = text; line < end;) {
        const char* stop = static_cast<const char*>(std::memchr(line, '\n', size_t(end - line)));
        if (!stop)
            stop = end;
        if (ownerOnLine(line, stop, connection, uid))
            return true;
        line = stop + 1;
    }
    return false;
}

bool ownerByProcFiles(const TcpConnection& connection, uint32_t& uid)
{
    std::string text;
    if (!connection.client.v6 && readWhole("/proc/net/tcp", text) &&
        ownerFromProcNetTcp(text.data(), text.size(), connection, uid))
        return true;
    TcpConnection wide = connection;
    if (!connection.client.v6)
        wide = {mapped(connection.client), mapped(connection.server)};
    return readWhole("/proc/net/tcp6", text) && ownerFromProcNetTcp(text.data(), text.size(), wide, uid);
}

bool ownerByNetlink(const TcpConnection& connection, uint32_t& uid)
{
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return false;
    // The kernel answers while the request is sent; the limit is only against a surprise.
    timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    // One exact socket, not a dump: its local end is the client, its remote end the server.
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = 1;
    message.request.sdiag_family = connection.client.v6 ? AF_INET6 : AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    fillEnd(connection.client, message.request.id.idiag_src, message.request.id.idiag_sport);
    fillEnd(connection.server, message.request.id.idiag_dst, message.request.id.idiag_dport);
    message.request.id.idiag_cookie[0] = message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    bool found = false;
    if (::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        ssize_t(sizeof message)) {
        alignas(nlmsghdr) char reply[8192];
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        ssize_t got = ::recvfrom(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        // The one answer: the socket, or NLMSG_ERROR (no such socket, or no TCP diagnostics).
        size_t have = got > 0 && from.nl_pid == 0 ? size_t(got) : 0;
        const auto* header = reinterpret_cast<const nlmsghdr*>(reply);
        const size_t wanted = NLMSG_LENGTH(sizeof(inet_diag_msg));
        if (have >= wanted && header->nlmsg_len >= wanted && header->nlmsg_len <= have &&
            header->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
            const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            // A socket no process holds open any more (closed, or time-wait) has no inode.
            found = socket->idiag_inode != 0 && socket->id.idiag_sport == htons(connection.client.port) &&
                    socket->id.idiag_dport == htons(connection.server.port);
            if (found)
                uid = socket->idiag_uid;
        }
    }
    ::close(fd);
    return found;
}

bool findPeerOwner(int fd, uint32_t& uid)
{
    TcpConnection connection;
    return connectionOf(fd, connection) && (ownerByNetlink(connection, uid) || ownerByProcFiles(connection, uid));
}

// The kernel knows a socket's owner from its creation.
const bool kOwnerKnownLate = false;

PeerOwner ownerOfPeer(SocketHandle fd, std::string& who)
{
    uint32_t uid = 0;
    bool found = findPeerOwner(int(fd), uid);
    who = found ? "uid=" + std::to_string(uid) : "uid=?";
    return ownerOfUid(found, uid, uint32_t(::geteuid()));
}
