// A compositor's screen stream metadata as another process may write them: the cursor's
// bytes, then the damage regions, drawn into a small picture whatever they say.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/stream_picture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    size_t cut = data[0] * size / 256 + 1;
    if (cut > size)
        cut = size;
    const int width = 40, height = 30;
    static std::vector<uint8_t> pixels(size_t(width) * height * 4, 0x55);
    StreamPicture picture;
    picture.frame(pixels.data(), width, height, width * 4, {});
    StreamPointer pointer;
    std::vector<uint8_t> cursor(data + 1, data + cut);  // aligned, as in a buffer's metadata
    readStreamCursor(cursor.data(), cursor.size(), pointer);
    picture.pointer(pointer);
    std::vector<uint8_t> regions(data + cut, data + size);
    picture.frame(pixels.data(), width, height, width * 4,
                  readStreamDamage(regions.data(), regions.size(), width, height));
    ScreenPicture out;
    picture.take(out);
    return 0;
}
