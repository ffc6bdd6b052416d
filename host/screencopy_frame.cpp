#include "host/screencopy_frame.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// The pool's size goes over the wire as a signed 32-bit number.
constexpr uint64_t kMaxBufferBytes = 0x7FFFFFFF;

PixelRect clipBox(const DamageBox& box, int width, int height)
{
    uint64_t right = std::min<uint64_t>(uint64_t(box.x) + box.width, uint64_t(width));
    uint64_t bottom = std::min<uint64_t>(uint64_t(box.y) + box.height, uint64_t(height));
    if (box.x >= right || box.y >= bottom)
        return {};
    return {int(box.x), int(box.y), int(right - box.x), int(bottom - box.y)};
}

void flipRows(uint8_t* pixels, int height, int stride, size_t rowBytes)
{
    std::vector<uint8_t> row(rowBytes);
    for (int top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = pixels + size_t(top) * size_t(stride);
        uint8_t* b = pixels + size_t(bottom) * size_t(stride);
        std::memcpy(row.data(), a, rowBytes);
        std::memcpy(a, b, rowBytes);
        std::memcpy(b, row.data(), rowBytes);
    }
}

}  // namespace

bool checkShmBuffer(uint32_t format, uint32_t width, uint32_t height, uint32_t stride, ShmLayout& out,
                    std::string& error)
{
    int pixelFormat = format == kShmArgb8888 || format == kShmXrgb8888   ? TJPF_BGRX
                      : format == kShmAbgr8888 || format == kShmXbgr8888 ? TJPF_RGBX
                                                                         : -1;
    if (pixelFormat < 0) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", format);
        error = std::string("the compositor offers the screen only in shared-memory format ") + code +
                ", not a 32-bit RGB one";
        return false;
    }
    if (width == 0 || height == 0 || width > kMaxScreenSide || height > kMaxScreenSide) {
        error = "the compositor offers a screen of " + std::to_string(width) + "x" + std::to_string(height) +
                " pixels (at most " + std::to_string(kMaxScreenSide) + " a side)";
        return false;
    }
    uint64_t bytes = uint64_t(stride) * height;
    if (stride < uint64_t(width) * 4 || bytes > kMaxBufferBytes) {
        error = "the compositor offers a screen buffer with " + std::to_string(stride) + " bytes a row for " +
                std::to_string(width) + "x" + std::to_string(height) + " pixels";
        return false;
    }
    out = {format, int(width), int(height), int(stride), size_t(bytes), pixelFormat};
    return true;
}

void takeCopiedFrame(uint8_t* pixels, const ShmLayout& layout, bool yInvert, const std::vector<DamageBox>& boxes,
                     StreamPicture& picture)
{
    if (yInvert)
        flipRows(pixels, layout.height, layout.stride, size_t(layout.width) * 4);
    std::vector<PixelRect> damage;
    bool anywhere = boxes.empty();
    for (const DamageBox& box : boxes) {
        PixelRect area = clipBox(box, layout.width, layout.height);
        if (area.width == 0)
            continue;
        if (yInvert)
            area.y = layout.height - area.y - area.height;
        // The whole frame said in a box is no finer than no box.
        anywhere = anywhere || (area.width == layout.width && area.height == layout.height);
        damage.push_back(area);
    }
    // Every box outside the frame: nothing there changed.
    if (!anywhere && damage.empty())
        return;
    if (anywhere)
        damage.clear();
    picture.frame(pixels, layout.width, layout.height, layout.stride, damage);
}
