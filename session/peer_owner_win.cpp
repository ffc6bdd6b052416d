#include "session/peer_owner_win.h"

#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <cstring>

#include "session/peer_check.h"
#include <memory>
#include <vector>

namespace {

// Either family, as the TCP tables hold addresses: bytes in network order, the port in the
// low 16 bits of a network-order word.
struct Endpoint {
    int family = 0;
    uint8_t address[16] = {};
    DWORD scope = 0;
    DWORD port = 0;
};

bool toEndpoint(const sockaddr* address, Endpoint& out)
{
    if (address->sa_family == AF_INET) {
        auto in = reinterpret_cast<const sockaddr_in*>(address);
        out.family = AF_INET;
        std::memcpy(out.address, &in->sin_addr, 4);
        out.port = in->sin_port;
        return true;
    }
    if (address->sa_family != AF_INET6)
        return false;
    auto in6 = reinterpret_cast<const sockaddr_in6*>(address);
    out.port = in6->sin6_port;
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
        // A dual-stack listener: the peer's row is in the IPv4 table.
        out.family = AF_INET;
        std::memcpy(out.address, &in6->sin6_addr.s6_addr[12], 4);
        return true;
    }
    out.family = AF_INET6;
    std::memcpy(out.address, &in6->sin6_addr, 16);
    out.scope = in6->sin6_scope_id;
    return true;
}

// The whole table of one family; its size changes while connections come and go.
bool readTable(ULONG family, std::vector<uint8_t>& table, std::string& reason)
{
    DWORD size = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        DWORD status = GetExtendedTcpTable(table.empty() ? nullptr : table.data(), &size, FALSE, family,
                                           TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
        if (status == NO_ERROR)
            return true;
        if (status != ERROR_INSUFFICIENT_BUFFER) {
            reason = "GetExtendedTcpTable failed: error " + std::to_string(status);
            return false;
        }
        table.resize(size + 1024);
        size = DWORD(table.size());
    }
    reason = "the TCP table kept growing";
    return false;
}

bool same(const Endpoint& a, const uint8_t* address, DWORD scope, DWORD port, size_t bytes)
{
    // Scope ids tell interfaces apart for link-local addresses only; for others they vary
    // (Wine gives ::1 a scope of 4096 in the table and 0 on the socket).
    bool linkLocal = bytes == 16 && a.address[0] == 0xFE && (a.address[1] & 0xC0) == 0x80;
    return std::memcmp(a.address, address, bytes) == 0 && (!linkLocal || a.scope == scope) &&
           LOWORD(a.port) == LOWORD(port);
}

// The process id of the row that runs from `peer` to `us`; false when there is none.
bool findRow(const Endpoint& us, const Endpoint& peer, DWORD& processId, std::string& reason)
{
    std::vector<uint8_t> table;
    if (!readTable(ULONG(us.family), table, reason))
        return false;
    if (us.family == AF_INET) {
        auto rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
        for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = rows->table[i];
            if (same(peer, reinterpret_cast<const uint8_t*>(&row.dwLocalAddr), 0, row.dwLocalPort, 4) &&
                same(us, reinterpret_cast<const uint8_t*>(&row.dwRemoteAddr), 0, row.dwRemotePort, 4)) {
                processId = row.dwOwningPid;
                return true;
            }
        }
    } else {
        auto rows = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(table.data());
        for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
            const MIB_TCP6ROW_OWNER_PID& row = rows->table[i];
            if (same(peer, row.ucLocalAddr, row.dwLocalScopeId, row.dwLocalPort, 16) &&
                same(us, row.ucRemoteAddr, row.dwRemoteScopeId, row.dwRemotePort, 16)) {
                processId = row.dwOwningPid;
                return true;
            }
        }
    }
    reason = "no connection from the peer on this machine";
    return false;
}

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// The user SID of a process's token, in `buffer`.
bool tokenUser(HANDLE process, std::vector<uint8_t>& buffer, std::string& reason)
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) {
        reason = "OpenProcessToken failed: error " + std::to_string(GetLastError());
        return false;
    }
    Handle token(raw);
    DWORD size = 0;
    GetTokenInformation(raw, TokenUser, nullptr, 0, &size);
    buffer.resize(size);
    if (size == 0 || !GetTokenInformation(raw, TokenUser, buffer.data(), size, &size)) {
        reason = "GetTokenInformation failed: error " + std::to_string(GetLastError());
        return false;
    }
    return true;
}

PSID sidOf(std::vector<uint8_t>& tokenUserBuffer)
{
    return reinterpret_cast<TOKEN_USER*>(tokenUserBuffer.data())->User.Sid;
}

}  // namespace

PeerProcess findPeerProcess(const sockaddr* local, const sockaddr* remote)
{
    PeerProcess owner;
    Endpoint us, peer;
    if (!toEndpoint(local, us) || !toEndpoint(remote, peer) || us.family != peer.family) {
        owner.reason = "not a TCP connection over IPv4 or IPv6";
        return owner;
    }
    if (!findRow(us, peer, owner.processId, owner.reason))
        return owner;
    if (owner.processId == 0) {
        owner.reason = "the TCP table names no process for the connection";  // Wine's, for IPv6
        return owner;
    }
    // The least access there is, which elevated processes still grant.
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owner.processId));
    if (!process) {
        owner.reason = "cannot open process " + std::to_string(owner.processId) + ": error " +
                       std::to_string(GetLastError());
        return owner;
    }
    std::vector<uint8_t> theirs, ours;
    if (!tokenUser(process.get(), theirs, owner.reason) || !tokenUser(GetCurrentProcess(), ours, owner.reason))
        return owner;
    owner.owner = EqualSid(sidOf(theirs), sidOf(ours)) ? PeerOwner::SameUser : PeerOwner::OtherUser;
    return owner;
}

PeerProcess findPeerProcess(SOCKET accepted)
{
    sockaddr_storage local = {}, remote = {};
    int localSize = sizeof local, remoteSize = sizeof remote;
    if (getsockname(accepted, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        getpeername(accepted, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0) {
        PeerProcess owner;
        owner.reason = "the socket's addresses: error " + std::to_string(WSAGetLastError());
        return owner;
    }
    return findPeerProcess(reinterpret_cast<const sockaddr*>(&local), reinterpret_cast<const sockaddr*>(&remote));
}

// Wine's table names a connection's process only once that process has used the socket.
const bool kOwnerKnownLate = true;

PeerOwner ownerOfPeer(SocketHandle fd, std::string& who)
{
    PeerProcess peer = findPeerProcess(SOCKET(fd));
    who = "pid=" + (peer.processId ? std::to_string(peer.processId) : std::string("?"));
    return peer.owner;
}
