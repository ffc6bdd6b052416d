// The frame channel's side of the lock-step exchange, on the Winsock socket.
#pragma once

#include <cstdint>

#include "net/net_connection_win.h"

// Sends MSG_NEXT_FRAME or MSG_SEND_BODY on the frame channel, with the two words that are
// zero unless MSG_NEXT_FRAME accepts the frame extension; a failed send is ignored.
void sendControl(uint32_t code, uint32_t second = 0, uint32_t third = 0);
// MSG_SEND_BODY and, behind it, an accepting MSG_NEXT_FRAME in one send: apart, the second
// would wait for the host's acknowledgement of the first (the socket delays small sends).
void sendBodyAndNextRequest(uint32_t second, uint32_t third);

// Waits for the next read event. True when the channel has ended (closed by the server,
// a failed wait, or ended by a read: the user has been told; or the program is ending).
bool waitForRead(NetConnection& conn);

// Reads what has arrived of a FrameHeader; reports failures to the user and ends the
// channel for a body it will not take.
HeaderRead readFrameHeader(NetConnection& conn);

// Receives the announced body into frameBuffer; returns totalReceived.
int32_t readFrameBody(NetConnection& conn);

// A frame whose extension records are broken: the server cannot be followed any further,
// so the channel ends and the user is told. `problem` goes to standard error.
void refuseFrame(NetConnection& conn, const char* problem);
