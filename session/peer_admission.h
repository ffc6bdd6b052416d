// Who may connect to a listener: on a loopback address, only the user the host runs as,
// unless the host is told to let every local user in. How the owner of the connecting
// socket is found is the platform's (a uid on Linux, a user SID on Windows).
#pragma once

#include <cstdint>

enum class PeerOwner {
    SameUser,   // the connecting socket belongs to the user the host runs as
    OtherUser,  // to another user of this machine
    Unknown,    // not found: gone already, or the lookup failed
};

struct Admission {
    bool accept;
    const char* reason;  // one word for the event log
};

// A listener on any other address takes connections from other machines, whose owner
// cannot be known, so only loopback listeners are checked.
Admission admitPeer(bool listenerOnLoopback, PeerOwner owner, bool allowOtherUsers);

// Where owners are numeric user ids.
PeerOwner ownerOfUid(bool found, uint32_t peerUid, uint32_t hostUid);
