// The session loop's check of each accepted connection against who may connect.
#pragma once

#include <string>

#include "session/peer_admission.h"
#include "session/socket_io.h"

struct SessionConfig;
class EventLog;

// True when `fd` may stay. Otherwise it is closed at once, before a byte is read or sent,
// and "peer-refused CHANNEL uid=N|? PEER REASON" is logged.
bool admitConnection(SocketHandle fd, const char* channel, const std::string& peer, const SessionConfig& config,
                     EventLog& log);

// The platform's: whose socket is at the other end of the accepted loopback connection
// `fd`, against the user this process runs as; `who` names that user for the log.
PeerOwner ownerOfPeer(SocketHandle fd, std::string& who);
