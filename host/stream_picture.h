// A compositor's screen stream made into the host's pictures: each frame's pixels and the
// damage it reports kept in one picture, and the pointer, which the stream reports beside
// the frames (place and image), drawn in. The metadata come from another process, so
// they are read here with every size and offset checked. Portable: SPA's header-only
// structures, no PipeWire connection and no D-Bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/desktop.h"

// What one buffer's cursor metadata said.
struct StreamPointer {
    bool moved = false;     // x, y: where the hotspot is now
    int x = 0;
    int y = 0;
    bool newImage = false;  // the image below; 0x0: no pointer to draw
    int width = 0;
    int height = 0;
    int hotX = 0;
    int hotY = 0;
    std::vector<uint8_t> bgra;  // premultiplied, width * 4 bytes a row
};

// SPA_META_Cursor's `size` bytes. False when they do not hold what they claim; `out` then
// says nothing new.
bool readStreamCursor(const void* meta, size_t size, StreamPointer& out);
// SPA_META_VideoDamage's regions, clipped to the picture. Empty when none is valid, which
// is taken as a change anywhere.
std::vector<PixelRect> readStreamDamage(const void* meta, size_t size, int width, int height);

class StreamPicture {
public:
    // A whole frame of the stream, 4 bytes a pixel; `damage` where it differs from the one
    // before, empty: not said (the frames are then compared).
    void frame(const uint8_t* pixels, int width, int height, int stride, const std::vector<PixelRect>& damage);
    // The same, but the frame is read where it is, not copied: `pixels` must stay as they
    // are until the next frame or hold, or release(); earlier ones are not read again.
    void hold(const uint8_t* pixels, int width, int height, int stride, const std::vector<PixelRect>& damage);
    // Copies a held frame in, so its memory may go.
    void release();
    void pointer(const StreamPointer& news);
    bool hasFrame() const { return width_ > 0; }
    // Whether the picture or the pointer changed since the last take.
    bool changed() const { return news_; }
    // The picture with the pointer drawn in, valid until the next take (frames that come
    // meanwhile do not touch it), and where it changed since the last one.
    void take(ScreenPicture& out);

private:
    PixelRect pointerRect() const;
    void resize(int width, int height);
    bool changes(const uint8_t* pixels, int stride, const std::vector<PixelRect>& damage,
                 std::vector<PixelRect>& out) const;
    void note(const std::vector<PixelRect>& changed);
    void copyClean(const PixelRect& area);

    std::vector<uint8_t> clean_;  // the stream's picture, without the pointer, unless one is held
    const uint8_t* source_ = nullptr;  // the stream's picture: clean_ or the held frame
    int sourceStride_ = 0;
    bool held_ = false;
    std::vector<uint8_t> shown_;  // what take hands out: the pointer drawn in
    int width_ = 0;
    int height_ = 0;
    bool news_ = false;
    bool whole_ = true;           // the next take says "anywhere"
    std::vector<PixelRect> damage_;
    bool pointerMoved_ = false;
    int pointerX_ = 0;
    int pointerY_ = 0;
    StreamPointer image_;         // the pointer's last image
    PixelRect drawn_;             // where it is drawn in shown_
};
