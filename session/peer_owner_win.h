// Which user runs the process at the other end of an accepted TCP connection from this
// machine: its row in the system's TCP table names the process, the process's token the user.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "session/peer_admission.h"

struct PeerProcess {
    PeerOwner owner = PeerOwner::Unknown;
    DWORD processId = 0;  // from the connection's row; 0 when there is none or it names none
    std::string reason;   // why Unknown
};

// `local` and `remote` as the accepted socket has them (IPv4, IPv6, or IPv6 carrying
// mapped IPv4 addresses); the peer's row is the one with the two swapped.
PeerProcess findPeerProcess(const sockaddr* local, const sockaddr* remote);
// The same for an accepted socket.
PeerProcess findPeerProcess(SOCKET accepted);
