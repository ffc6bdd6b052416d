#include "session/peer_check.h"

#include "session/event_log.h"
#include "session/session_loop.h"

PeerCheck checkConnection(SocketHandle fd, const char* channel, const std::string& peer, const SessionConfig& config,
                          EventLog& log, bool final)
{
    bool loopback = isLoopbackAddress(config.address);
    std::string who = "uid=?";
    PeerOwner owner = config.ownUserOnly && loopback ? ownerOfPeer(fd, who) : PeerOwner::Unknown;
    Admission admission = admitPeer(loopback, owner, !config.ownUserOnly);
    if (admission.accept)
        return PeerCheck::Admitted;
    if (owner == PeerOwner::Unknown && kOwnerKnownLate && !final)
        return PeerCheck::Unsettled;
    closeSocket(fd);
    log.event("peer-refused %s %s %s %s", channel, who.c_str(), peer.c_str(), admission.reason);
    return PeerCheck::Refused;
}
