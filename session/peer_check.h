// The session loop's check of each accepted connection against who may connect.
#pragma once

#include <string>

#include "session/peer_admission.h"
#include "session/socket_io.h"

struct SessionConfig;
class EventLog;

enum class PeerCheck {
    Admitted,
    Refused,    // closed at once, before a byte is read or sent, and logged:
                // "peer-refused CHANNEL uid=N|pid=N|? PEER REASON"
    Unsettled,  // the owner is not known yet: check again once the peer has sent something
};

// At accept, `final` false: where the platform's tables may name a connection's process
// only once it has used the socket, an unknown owner leaves the connection Unsettled
// rather than Refused. Checked again with `final` true, it is Admitted or Refused.
PeerCheck checkConnection(SocketHandle fd, const char* channel, const std::string& peer, const SessionConfig& config,
                          EventLog& log, bool final);

// The platform's: whose socket is at the other end of the accepted loopback connection
// `fd`, against the user this process runs as; `who` names that user or process for the log.
PeerOwner ownerOfPeer(SocketHandle fd, std::string& who);
// Whether ownerOfPeer may say Unknown for a connection whose owner has not used it yet.
extern const bool kOwnerKnownLate;
