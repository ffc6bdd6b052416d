#include "session/peer_admission.h"

Admission admitPeer(bool listenerOnLoopback, PeerOwner owner, bool allowOtherUsers)
{
    if (allowOtherUsers)
        return {true, "other-users-allowed"};
    if (!listenerOnLoopback)
        return {true, "not-loopback"};
    switch (owner) {
    case PeerOwner::SameUser: return {true, "same-user"};
    case PeerOwner::OtherUser: return {false, "other-user"};
    case PeerOwner::Unknown: break;
    }
    // Failing open here would let in whoever can make the lookup fail.
    return {false, "owner-unknown"};
}

PeerOwner ownerOfUid(bool found, uint32_t peerUid, uint32_t hostUid)
{
    if (!found)
        return PeerOwner::Unknown;
    return peerUid == hostUid ? PeerOwner::SameUser : PeerOwner::OtherUser;
}
