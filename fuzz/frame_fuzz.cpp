// A peer's byte stream through the frame reads, the decoder with its extension records,
// and the laying of areas into the viewer's two bitmaps, taking the extension up as the
// viewer does once a frame offered it.
//
// Input: byte 0 holds flags (bits 0-2: how many chunk-size bytes follow; bit 3: start
// with a small frame buffer rather than none; bit 4: decode by swapping RGB scanlines;
// bit 5: 24-bit rows; bit 6: the window takes only every other frame).
// The chunk sizes then cut the rest of the input, the stream, into receives: 0 is an
// empty non-blocking socket, 255 a failed receive, anything else at most that many bytes.
#include "display/frame_assembly.h"
#include "net/frame_protocol.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Bodies and bitmaps above these are refused only to keep each input quick: the code
// paths are the same at any size, and every allocation is exact, so ASan sees overruns.
constexpr int32_t kLargestFrameBuffer = 1 << 20;
constexpr size_t kLargestFuzzedBitmap = 1 << 20;

struct StreamIo final : FrameChannelIo {
    const uint8_t* chunks = nullptr;
    size_t chunkCount = 0;
    size_t nextChunk = 0;
    const uint8_t* stream = nullptr;
    size_t left = 0;

    int32_t receive(uint8_t* into, int32_t length, bool* wouldBlock) override
    {
        *wouldBlock = false;
        size_t n = size_t(length);
        if (chunkCount > 0) {
            const uint8_t chunk = chunks[nextChunk++ % chunkCount];
            if (chunk == 0) {
                *wouldBlock = true;
                return -1;
            }
            if (chunk == 255) return -1;
            n = std::min<size_t>(n, chunk);
        }
        n = std::min(n, left);
        std::memcpy(into, stream, n);
        stream += n;
        left -= n;
        return int32_t(n);
    }
    void pause() override { }
    uint8_t* replaceFrameBuffer(uint8_t* old, int32_t size) override
    {
        if (size > kLargestFrameBuffer) return nullptr;  // as a viewer out of memory would answer
        auto* grown = static_cast<uint8_t*>(std::malloc(size_t(size)));
        if (grown) std::free(old);
        return grown;
    }
};

// The two bitmaps in exactly sized memory, so ASan sees a write outside either.
struct ExactBitmaps final : PictureBitmaps {
    struct Bitmap {
        std::vector<uint8_t> memory;
        int32_t width = 0, height = 0, stride = 0;
        uint64_t number = 0;
    } next, onScreen;
    PixelFormat format;
    explicit ExactBitmaps(PixelFormat f) : format(f) {}

    HeldPicture held(Bitmap& b) const
    {
        return {{b.memory.data(), b.width, b.height, b.stride, bytesPerPixel(format)}, b.number};
    }
    HeldPicture nextAt(int32_t width, int32_t height) override
    {
        const int64_t stride = bitmapStride(width, format), bytes = stride * height;
        // The decoder must not ask for a frame it then would not draw.
        if (width <= 0 || height <= 0 || bytes > kMaxBitmapBytes)
            std::abort();
        if (bytes > int64_t(kLargestFuzzedBitmap))
            return {};
        if (width != next.width || height != next.height)
            next = {std::vector<uint8_t>(size_t(bytes)), width, height, int32_t(stride), 0};
        return held(next);
    }
    HeldPicture shown() const override { return held(const_cast<Bitmap&>(onScreen)); }
    void nextHolds(uint64_t number) override { next.number = number; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    StreamIo io;
    io.chunkCount = std::min<size_t>(flags & 7, size - 1);
    io.chunks = data + 1;
    // Only empty sockets would never end; read whatever is asked for instead.
    if (std::all_of(io.chunks, io.chunks + io.chunkCount, [](uint8_t c) { return c == 0; }))
        io.chunkCount = 0;
    io.stream = io.chunks + std::min<size_t>(flags & 7, size - 1);
    io.left = size_t(data + size - io.stream);

    DecodeOptions options;
    options.quiet = true;
    options.path = (flags & 0x10) ? OutputPath::RgbSwap : OutputPath::BgrRows;
    options.format = (flags & 0x20) ? PixelFormat::Bgr24 : PixelFormat::Bgrx32;

    FrameAssembly assembly;
    ExactBitmaps bitmaps(options.format);
    ExtensionUptake uptake;
    int decoded = 0;
    FrameReceiver receiver;
    if (flags & 0x08) {
        receiver.frameBuffer = static_cast<uint8_t*>(std::malloc(64));
        receiver.frameCapacity = 64;
    }
    for (;;) {
        const HeaderRead header = readFrameHeaderFrom(receiver, io);
        if (header == HeaderRead::Partial || header == HeaderRead::NoData)
            continue;  // as on the next read event
        if (header != HeaderRead::Complete) break;
        const int32_t announced = receiver.remaining;
        const int32_t got = readFrameBodyFrom(receiver, io);
        if (got < 0 || got > std::max(announced, 0) || got > receiver.frameCapacity
            || receiver.bodyPhase)
            std::abort();
        if (got > 0) {
            // An exact copy, so a read past the body is a read past an allocation.
            const std::vector<uint8_t> body(receiver.frameBuffer, receiver.frameBuffer + got);
            FrameExtension extension;
            const DecodeResult result =
                assembly.decode(body.data(), body.size(), bitmaps, uptake.version, extension, options);
            if (result == DecodeResult::BadRecord && extension.problem.empty())
                std::abort();
            if (result == DecodeResult::BadRecord)
                break;  // the viewer ends the connection
            if (result == DecodeResult::Decoded) {
                if (bitmaps.next.number != assembly.newest() || bitmaps.next.memory.empty())
                    std::abort();
                uptake.frameDecoded(extension.records);
                if (!(flags & 0x40) || ++decoded % 2)
                    std::swap(bitmaps.next, bitmaps.onScreen);
            }
        }
        if (receiver.remaining > 0) break;  // the stream ended or failed inside the body
    }
    std::free(receiver.frameBuffer);
    return 0;
}
