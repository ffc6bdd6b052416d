// Where the frame bodies come from: a generated moving picture encoded with libjpeg, or
// JPEG files served byte for byte.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/options.h"

class PictureSource {
public:
    virtual ~PictureSource() = default;
    // The body of frame `index` of a connection, 0-based; empty on failure.
    virtual std::vector<uint8_t> frame(uint64_t index) = 0;
};

// The test picture of frame `index`: rows top-down of red, green, blue bytes. The same
// index always gives the same picture.
std::vector<uint8_t> renderPattern(int width, int height, uint64_t index);

// Baseline JPEG of three components, 4:2:0. False (and `error` set) when libjpeg fails.
bool encodeJpeg(const uint8_t* rgb, int width, int height, int quality, std::vector<uint8_t>& out,
                std::string& error);

// The generated pattern at `size`; with a size change, frames from `changeAt` on are `changedTo`.
std::unique_ptr<PictureSource> makePatternSource(PictureSize size, int quality, bool sizeChange,
                                                 uint64_t changeAt, PictureSize changedTo);

// The files' bytes, cycling. A directory stands for its *.jpg (and *.jpeg) files in name order.
// Null, with `error` set, when a path cannot be read or nothing is left to serve.
std::unique_ptr<PictureSource> makeFileSource(const std::vector<std::string>& paths, std::string& error);
