// What a wlroots compositor says of a copied frame, as a hostile one may say it: the
// buffer's format, size and stride, the flags, then damage boxes, all taken into a picture.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/screencopy_frame.h"

namespace {

uint32_t word(const uint8_t* data, size_t at)
{
    uint32_t out;
    std::memcpy(&out, data + at, sizeof out);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 17)
        return 0;
    // Small sides, so that accepted buffers stay small; the formats as often as not.
    uint32_t formats[] = {kShmArgb8888, kShmXrgb8888, kShmAbgr8888, kShmXbgr8888, word(data, 0)};
    uint32_t width = word(data, 4), height = word(data, 8), stride = word(data, 12);
    if (data[16] & 0x80) {
        width %= 64;
        height %= 64;
        stride = width * 4 + stride % 16;
    }
    ShmLayout layout;
    std::string error;
    if (!checkShmBuffer(formats[data[16] % 5], width, height, stride, layout, error))
        return 0;
    if (layout.bytes < size_t(layout.stride) * layout.height || layout.stride < layout.width * 4)
        __builtin_trap();  // accepted, but not what its numbers say
    if (layout.bytes > (1u << 20))
        return 0;
    std::vector<uint8_t> pixels(layout.bytes, 0x33);
    std::vector<DamageBox> boxes;
    for (size_t at = 17; at + 16 <= size; at += 16)
        boxes.push_back({word(data, at), word(data, at + 4), word(data, at + 8), word(data, at + 12)});
    StreamPicture picture;
    takeCopiedFrame(pixels.data(), layout, data[16] & 0x40, {}, picture);
    std::fill(pixels.begin(), pixels.end(), 0x77);
    takeCopiedFrame(pixels.data(), layout, data[16] & 0x40, boxes, picture);
    ScreenPicture out;
    picture.take(out);
    return 0;
}
