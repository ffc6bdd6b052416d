#include "server/options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxPatternSide = 8192;

bool parseInteger(const std::string& text, int64_t min, int64_t max, int64_t& out)
{
    if (text.empty() || text.size() > 20)
        return false;
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0')
        return false;
    if (value < min || value > max)
        return false;
    out = value;
    return true;
}

bool parseSize(const std::string& text, PictureSize& out)
{
    size_t x = text.find_first_of("xX");
    if (x == std::string::npos)
        return false;
    int64_t w = 0, h = 0;
    if (!parseInteger(text.substr(0, x), 1, kMaxPatternSide, w) ||
        !parseInteger(text.substr(x + 1), 1, kMaxPatternSide, h))
        return false;
    out.width = int(w);
    out.height = int(h);
    return true;
}

bool validAddress(const std::string& text)
{
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, text.c_str(), &v4) == 1 || inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

}  // namespace

std::string usageText(const char* program)
{
    std::string p = program ? program : "tavimo-server";
    return "usage: " + p + " [options]\n"
           "  --address A            listen on A (default 127.0.0.1)\n"
           "  --frame-port P         FrameChannel port (default 54321; 0: any free port)\n"
           "  --input-port P         InputChannel port (default 54322; 0: any free port)\n"
           "  --pattern WxH          generated moving test picture (default 640x480)\n"
           "  --quality Q            JPEG quality of the pattern, 1..100 (default 80)\n"
           "  --frames PATH...       serve these JPEG files (a directory: its *.jpg in name order), cycling\n"
           "  --log FILE             event log, one line per event, flushed at once\n"
           "  --ready FILE           create FILE once the listeners listen\n"
           "  --once                 serve one FrameChannel connection, then exit 0\n"
           "  --verbose              also write the events to stderr\n"
           "misbehaviour:\n"
           "  --split-header         send each FrameHeader in two 2-byte pieces\n"
           "  --piece-delay-ms MS    pause between pieces (default 50)\n"
           "  --body-pieces N        send each body in N pieces\n"
           "  --close-mid-body       send about half of the first body, then close\n"
           "  --close-after N        after N frames, close on the next MSG_NEXT_FRAME\n"
           "  --no-input-listener    do not listen on the input port\n"
           "  --input-unread         accept the input connection but never read it (4 KiB receive buffer)\n"
           "  --announce N           every FrameHeader announces N; bodies are min(N, real) bytes\n"
           "  --not-jpeg             bodies are text, not JPEG\n"
           "  --size-change-at K:WxH pattern frames from index K on are WxH\n"
           "  --extra-bytes N        send N bytes 0xEE after each body, in the same send\n"
           "  --help                 this text\n";
}

ParseResult parseOptions(int argc, char** argv, ServerOptions& out, std::string& error)
{
    bool patternGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            error = "unexpected argument '" + arg + "'";
            return ParseResult::Error;
        }
        std::string name = arg;
        std::string value;
        bool hasInlineValue = false;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasInlineValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (hasInlineValue)
                return true;
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto noValue = [&]() -> bool {
            if (hasInlineValue) {
                error = name + " takes no value";
                return false;
            }
            return true;
        };
        auto integer = [&](int64_t min, int64_t max, int64_t& result) -> bool {
            if (!takeValue())
                return false;
            if (!parseInteger(value, min, max, result)) {
                error = name + ": '" + value + "' is not a number in " + std::to_string(min) + ".." +
                        std::to_string(max);
                return false;
            }
            return true;
        };
        int64_t n = 0;

        if (name == "--help") {
            return ParseResult::Help;
        } else if (name == "--address") {
            if (!takeValue())
                return ParseResult::Error;
            if (!validAddress(value)) {
                error = "--address: '" + value + "' is not a numeric IPv4 or IPv6 address";
                return ParseResult::Error;
            }
            out.address = value;
        } else if (name == "--frame-port") {
            if (!integer(0, 65535, n))
                return ParseResult::Error;
            out.framePort = int(n);
        } else if (name == "--input-port") {
            if (!integer(0, 65535, n))
                return ParseResult::Error;
            out.inputPort = int(n);
        } else if (name == "--pattern") {
            if (!takeValue())
                return ParseResult::Error;
            if (!parseSize(value, out.pattern)) {
                error = "--pattern: '" + value + "' is not WxH with sides 1.." + std::to_string(kMaxPatternSide);
                return ParseResult::Error;
            }
            patternGiven = true;
        } else if (name == "--quality") {
            if (!integer(1, 100, n))
                return ParseResult::Error;
            out.quality = int(n);
        } else if (name == "--frames") {
            if (hasInlineValue) {
                if (value.empty()) {
                    error = "--frames: empty path";
                    return ParseResult::Error;
                }
                out.framePaths.push_back(value);
            }
            size_t before = out.framePaths.size();
            while (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0 && argv[i + 1][0] != '\0')
                out.framePaths.push_back(argv[++i]);
            if (!hasInlineValue && out.framePaths.size() == before) {
                error = "--frames needs at least one path";
                return ParseResult::Error;
            }
        } else if (name == "--log") {
            if (!takeValue())
                return ParseResult::Error;
            out.logPath = value;
        } else if (name == "--ready") {
            if (!takeValue())
                return ParseResult::Error;
            out.readyPath = value;
        } else if (name == "--once") {
            if (!noValue())
                return ParseResult::Error;
            out.once = true;
        } else if (name == "--verbose") {
            if (!noValue())
                return ParseResult::Error;
            out.verbose = true;
        } else if (name == "--split-header") {
            if (!noValue())
                return ParseResult::Error;
            out.splitHeader = true;
        } else if (name == "--piece-delay-ms") {
            if (!integer(0, 60000, n))
                return ParseResult::Error;
            out.pieceDelayMs = int(n);
        } else if (name == "--body-pieces") {
            if (!integer(1, 1000000, n))
                return ParseResult::Error;
            out.bodyPieces = int(n);
        } else if (name == "--close-mid-body") {
            if (!noValue())
                return ParseResult::Error;
            out.closeMidBody = true;
        } else if (name == "--close-after") {
            if (!integer(0, INT64_MAX / 2, n))
                return ParseResult::Error;
            out.closeAfter = n;
        } else if (name == "--no-input-listener") {
            if (!noValue())
                return ParseResult::Error;
            out.noInputListener = true;
        } else if (name == "--input-unread") {
            if (!noValue())
                return ParseResult::Error;
            out.inputUnread = true;
        } else if (name == "--announce") {
            if (!integer(INT32_MIN, INT32_MAX, n))
                return ParseResult::Error;
            out.announceSet = true;
            out.announce = int32_t(n);
        } else if (name == "--not-jpeg") {
            if (!noValue())
                return ParseResult::Error;
            out.notJpeg = true;
        } else if (name == "--size-change-at") {
            if (!takeValue())
                return ParseResult::Error;
            size_t colon = value.find(':');
            int64_t k = 0;
            if (colon == std::string::npos || !parseInteger(value.substr(0, colon), 0, INT64_MAX / 2, k) ||
                !parseSize(value.substr(colon + 1), out.sizeChangeTo)) {
                error = "--size-change-at: '" + value + "' is not K:WxH";
                return ParseResult::Error;
            }
            out.sizeChangeSet = true;
            out.sizeChangeAt = k;
        } else if (name == "--extra-bytes") {
            if (!integer(0, 16 * 1024 * 1024, n))
                return ParseResult::Error;
            out.extraBytes = int(n);
        } else {
            error = "unknown option '" + name + "'";
            return ParseResult::Error;
        }
    }
    if (patternGiven && !out.framePaths.empty()) {
        error = "--pattern and --frames exclude each other";
        return ParseResult::Error;
    }
    if (out.sizeChangeSet && !out.framePaths.empty()) {
        error = "--size-change-at works with the generated pattern only, not with --frames";
        return ParseResult::Error;
    }
    return ParseResult::Ok;
}
