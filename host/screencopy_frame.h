// What a wlroots compositor says about a copied screen frame, made safe to use: the shared
// memory buffer it asks for (format, size, stride), the boxes it says changed, and rows it
// may have written upside down. The compositor is another process and none of its numbers
// is trusted. Portable: no Wayland connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/desktop.h"
#include "host/stream_picture.h"

// wl_shm's format codes for the 32-bit layouts the host takes as they are.
constexpr uint32_t kShmArgb8888 = 0;
constexpr uint32_t kShmXrgb8888 = 1;
constexpr uint32_t kShmAbgr8888 = 0x34324241;
constexpr uint32_t kShmXbgr8888 = 0x34324258;

// Larger screens are not taken: 16384 x 16384 is already 1 GiB of buffer.
constexpr uint32_t kMaxScreenSide = 16384;

struct ShmLayout {
    uint32_t format = 0;
    int width = 0;
    int height = 0;
    int stride = 0;
    size_t bytes = 0;     // stride * height: the pool's size
    int pixelFormat = 0;  // TurboJPEG's TJPF_ value

    bool operator==(const ShmLayout& other) const
    {
        return format == other.format && width == other.width && height == other.height && stride == other.stride;
    }
};

// The buffer event's values. False with `error` when the host cannot or will not take them.
bool checkShmBuffer(uint32_t format, uint32_t width, uint32_t height, uint32_t stride, ShmLayout& out,
                    std::string& error);

struct DamageBox {
    uint32_t x, y, width, height;
};

// A copied frame into `picture`: rows put right way up when `yInvert`, and the damage
// boxes clipped to the frame (and turned with it). No box: changed anywhere.
void takeCopiedFrame(uint8_t* pixels, const ShmLayout& layout, bool yInvert, const std::vector<DamageBox>& boxes,
                     StreamPicture& picture);
