// tavimo-server: the counterpart of the Tavimo viewer, for tests and the demo. Not shipped.
//
// It listens on ADDRESS:54321 (FrameChannel) and ADDRESS:54322 (InputChannel) and serves one
// session at a time: a FrameChannel connection plus the InputChannel connection that comes
// while it lasts. On the FrameChannel it answers the client's 12-byte ControlMessages in
// strict lock-step: MSG_NEXT_FRAME (0x0101) with a 4-byte little-endian FrameHeader (the next
// body's length), MSG_SEND_BODY (0x0201) with exactly the announced body. On the InputChannel
// it only reads and logs. See usageText() in options.cpp (or --help) for the options.
//
// Exit status: 0 after the --once session, or after SIGINT/SIGTERM; 1 when it cannot start
// (address in use, unreadable frames, log or ready file not writable); 2 on a bad command line.
//
// ---------------------------------------------------------------------------------------------
// The event log (--log FILE; to stderr as well with --verbose, or only there without --log)
//
// One event per line, each line written with a single write() when it happens, so the file
// always holds a prefix of the events in the order the server handled them on both channels.
// A reader treats a line as there once its '\n' is. Every line is EVENT, then fields separated
// by single spaces; match on the first word (and the second for frame-recv/frame-send), never
// on the whole line, as fields may be added. Numbers are decimal unless they start with 0x.
// Hex byte strings are upper-case, two digits a byte, no separators.
//
//   listening ADDR frame-port=P input-port=Q|none   listeners up (ports as bound: 0 resolved)
//   listen-failed TEXT                   the listeners could not be set up (the address in
//                                        use, say); the only line, and the server exits with 1
//   frame-connected PEER keepalive=I,N,C a FrameChannel connection is accepted: session start;
//                                        TCP keepalive idle, interval (s) and probes, or off
//   input-connected PEER keepalive=...   an InputChannel connection is accepted
//   frame-recv NEXT_FRAME                a well-formed, expected ControlMessage
//   frame-recv SEND_BODY
//   frame-recv unexpected 0xCODE 0xW2 0xW3
//                                        a ControlMessage that is unknown, has non-zero padding
//                                        words or comes out of turn; the session ends
//   frame-recv partial HEX               the client closed with part of a ControlMessage sent
//   frame-recv-error TEXT                recv failed (e.g. a reset); frame-closed-by-client follows
//   frame-send header N frame=I          written just before the 4 header bytes go out; N is the
//                                        announced length, signed; I the frame index (0-based,
//                                        per connection)
//   frame-send body N frame=I            written just before the N body bytes go out (0 when the
//                                        header announced 0 or less and the client asked anyway)
//   frame-send extra N                   N bytes 0xEE follow the body in the same send
//   frame-send body-partial N of M frame=I
//                                        --close-mid-body: N of the M body bytes, then the close
//   frame-send-error TEXT                send failed or timed out (60 s); the server closes
//   frame-closed-by-client               the client closed the FrameChannel (or reset it)
//   frame-closed-by-server REASON        REASON: unexpected, close-after, close-mid-body,
//                                        send-error, signal
//   input-recv HEX                       the bytes of one receive on the InputChannel, as they came
//   input-message MOUSE arg=0xA pos=0xPPPPPPPP x=X y=Y width=W height=H
//                                        x, y: pos's low and high 16 bits, signed
//   input-message KEY arg=0xA key=0xKKKKKKKK width=W height=H
//   input-message SERVER_EXIT            (only logged: the server does not exit on it)
//   input-message TELNET
//   input-message UNKNOWN type=0xT       an unknown type word; its 4 bytes are skipped
//   input-recv-error TEXT                recv failed; input-closed-by-client follows
//   input-trailing HEX                   the InputChannel closed with part of a message pending
//   input-closed-by-client               the client closed the InputChannel
//   input-closed-by-server               the session ended with the InputChannel still open
//   session-end                          the session is over, every line about it is written
//   signal SIGINT|SIGTERM                a stop was asked for
//   server-exit                          the last line
//
// A session's lines run: frame-connected, then the frame and input events interleaved as they
// were handled, then exactly one of frame-closed-by-client / frame-closed-by-server, then
// input-closed-by-server if the InputChannel was still open, then session-end. Input the client
// sent before the session ended is read and logged before the frame-closed line.
//
// Readiness: with --ready FILE the server writes FILE (via a rename, so it appears whole) once
// its listeners listen; it holds the listening line. With --once, wait for session-end (and
// then server-exit and the process's exit).
// ---------------------------------------------------------------------------------------------

#include <signal.h>

#include <cstdio>
#include <string>

#include "session/event_log.h"
#include "server/options.h"
#include "server/picture_source.h"
#include "server/server.h"

int main(int argc, char** argv)
{
    ServerOptions options;
    std::string error;
    switch (parseOptions(argc, argv, options, error)) {
    case ParseResult::Help:
        std::fputs(usageText(argv[0]).c_str(), stdout);
        return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "tavimo-server: %s\n%s", error.c_str(), usageText(argv[0]).c_str());
        return 2;
    case ParseResult::Ok:
        break;
    }

    takeStopSignals();

    EventLog log;
    if (!options.logPath.empty()) {
        if (!log.open(options.logPath, error)) {
            std::fprintf(stderr, "tavimo-server: %s\n", error.c_str());
            return 1;
        }
        log.setEcho(options.verbose);
    } else {
        log.setEcho(true);
    }

    std::unique_ptr<PictureSource> source;
    if (!options.framePaths.empty()) {
        source = makeFileSource(options.framePaths, error);
        if (!source) {
            std::fprintf(stderr, "tavimo-server: %s\n", error.c_str());
            return 1;
        }
    } else {
        source = makePatternSource(options.pattern, options.quality, options.sizeChangeSet,
                                   uint64_t(options.sizeChangeAt), options.sizeChangeTo);
    }

    Server server(options, std::move(source), log);
    if (!server.listen(error)) {
        log.line("listen-failed " + error);
        std::fprintf(stderr, "tavimo-server: %s\n", error.c_str());
        return 1;
    }
    return server.run();
}
