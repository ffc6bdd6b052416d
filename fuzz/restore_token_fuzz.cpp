// The portal's restore token as read back from the state folder, where anything may have
// been written: what is taken must be one line of printable ASCII the portal can be sent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/restore_token.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size), token, why;
    if (!parseRestoreToken(bytes, token, why)) {
        if (why.empty())  // a refusal says why, for the log
            std::abort();
        return 0;
    }
    if (token.empty() || token.size() > 256 || bytes.compare(0, token.size(), token) != 0)
        std::abort();
    for (unsigned char c : token)
        if (c <= ' ' || c > '~')
            std::abort();
    return 0;
}
