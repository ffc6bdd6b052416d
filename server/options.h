// The server's command line: what it serves, where, and how it misbehaves on request.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PictureSize {
    int width = 640;
    int height = 480;
};

struct ServerOptions {
    std::string address = "127.0.0.1";
    int framePort = 54321;  // 0: any free port (the log and the ready file tell which)
    int inputPort = 54322;

    // Picture source: the generated pattern unless framePaths is not empty.
    PictureSize pattern;
    int quality = 80;
    std::vector<std::string> framePaths;

    std::string logPath;    // empty: no log file
    std::string readyPath;  // empty: no ready file
    bool once = false;
    bool verbose = false;   // also echo the events to stderr

    // Misbehaviour for tests.
    bool splitHeader = false;
    int pieceDelayMs = 50;
    int bodyPieces = 1;
    bool closeMidBody = false;
    int64_t closeAfter = -1;  // below 0: never
    bool noInputListener = false;
    bool inputUnread = false;  // accept the input connection, never read it, small buffer
    bool announceSet = false;
    int32_t announce = 0;
    bool notJpeg = false;
    bool sizeChangeSet = false;
    int64_t sizeChangeAt = 0;
    PictureSize sizeChangeTo;
    int extraBytes = 0;
};

enum class ParseResult { Ok, Help, Error };

// Fills `out` from argv; on Error, `error` says what was wrong.
ParseResult parseOptions(int argc, char** argv, ServerOptions& out, std::string& error);
std::string usageText(const char* program);
