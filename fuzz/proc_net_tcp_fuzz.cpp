// A /proc/net/tcp or tcp6 file's bytes through the owner lookup's parser.
//
// Input: byte 0 bit 0 picks IPv6; bytes 1-36 are the connection looked for (client
// address 16, port 2, server address 16, port 2); the rest is the file.
#include "session/peer_owner_linux.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kConnectionSize = 1 + 2 * (16 + 2);

const uint8_t* readEnd(const uint8_t* at, bool v6, TcpEnd& end)
{
    end.v6 = v6;
    std::memcpy(end.address, at, 16);
    if (!v6)
        std::memset(end.address + 4, 0, 12);
    end.port = uint16_t(at[16] << 8 | at[17]);
    return at + 18;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kConnectionSize)
        return 0;
    TcpConnection connection;
    const bool v6 = data[0] & 1;
    readEnd(readEnd(data + 1, v6, connection.client), v6, connection.server);
    // An exact copy, so a read past the file is a read past an allocation.
    const std::vector<char> file(data + kConnectionSize, data + size);
    uint32_t uid = 0;
    if (ownerFromProcNetTcp(file.data(), file.size(), connection, uid)) {
        // A found owner was written out in the file.
        if (std::string(file.begin(), file.end()).find(std::to_string(uid)) == std::string::npos)
            std::abort();
    }
    return 0;
}
