#include "host/stream_picture.h"

#include "winhost/tile_changes.h"

#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <algorithm>
#include <cstring>

namespace {

// Larger pointer images are not pointers.
constexpr uint32_t kMaxPointerSide = 1024;
// Past this many damaged areas between two takes, the next take says "anywhere".
constexpr size_t kMaxDamage = 256;

PixelRect clip(int64_t x, int64_t y, int64_t width, int64_t height, int pictureWidth, int pictureHeight)
{
    int64_t left = std::max<int64_t>(x, 0), top = std::max<int64_t>(y, 0);
    int64_t right = std::min<int64_t>(x + width, pictureWidth), bottom = std::min<int64_t>(y + height, pictureHeight);
    if (right <= left || bottom <= top)
        return {};
    return {int(left), int(top), int(right - left), int(bottom - top)};
}

bool readBitmap(const uint8_t* bytes, size_t size, uint32_t at, StreamPointer& out)
{
    if (at < sizeof(spa_meta_cursor) || at > size || size - at < sizeof(spa_meta_bitmap))
        return false;
    spa_meta_bitmap bitmap;
    std::memcpy(&bitmap, bytes + at, sizeof bitmap);
    if (bitmap.format == SPA_VIDEO_FORMAT_UNKNOWN)
        return true;  // the image stays as it was
    out.newImage = true;
    if (bitmap.offset == 0 || bitmap.size.width == 0 || bitmap.size.height == 0)
        return true;  // no pointer to see
    bool rgb = bitmap.format == SPA_VIDEO_FORMAT_RGBA || bitmap.format == SPA_VIDEO_FORMAT_RGBx;
    bool bgr = bitmap.format == SPA_VIDEO_FORMAT_BGRA || bitmap.format == SPA_VIDEO_FORMAT_BGRx;
    bool opaque = bitmap.format == SPA_VIDEO_FORMAT_RGBx || bitmap.format == SPA_VIDEO_FORMAT_BGRx;
    uint32_t width = bitmap.size.width, height = bitmap.size.height;
    if ((!rgb && !bgr) || width > kMaxPointerSide || height > kMaxPointerSide || bitmap.stride < int32_t(width * 4))
        return false;
    uint64_t start = uint64_t(at) + bitmap.offset;
    if (start + uint64_t(bitmap.stride) * (height - 1) + width * 4 > size)
        return false;
    out.width = int(width);
    out.height = int(height);
    out.bgra.resize(size_t(width) * height * 4);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* from = bytes + start + uint64_t(bitmap.stride) * y;
        uint8_t* to = &out.bgra[size_t(y) * width * 4];
        for (uint32_t x = 0; x < width; ++x, from += 4, to += 4) {
            to[0] = from[rgb ? 2 : 0];
            to[1] = from[1];
            to[2] = from[rgb ? 0 : 2];
            to[3] = opaque ? 255 : from[3];
        }
    }
    return true;
}

}  // namespace

bool readStreamCursor(const void* meta, size_t size, StreamPointer& out)
{
    out = StreamPointer();
    spa_meta_cursor cursor;
    if (!meta || size < sizeof cursor)
        return false;
    std::memcpy(&cursor, meta, sizeof cursor);
    if (cursor.id == 0)
        return true;  // nothing new
    out.moved = true;
    out.x = cursor.position.x;
    out.y = cursor.position.y;
    if (cursor.bitmap_offset == 0)
        return true;
    out.hotX = cursor.hotspot.x;
    out.hotY = cursor.hotspot.y;
    if (readBitmap(static_cast<const uint8_t*>(meta), size, cursor.bitmap_offset, out))
        return true;
    out = StreamPointer();
    return false;
}

std::vector<PixelRect> readStreamDamage(const void* meta, size_t size, int width, int height)
{
    std::vector<PixelRect> out;
    const uint8_t* bytes = static_cast<const uint8_t*>(meta);
    for (size_t at = 0; bytes && at <= size && size - at >= sizeof(spa_meta_region); at += sizeof(spa_meta_region)) {
        spa_meta_region region;
        std::memcpy(&region, bytes + at, sizeof region);
        if (!spa_meta_region_is_valid(&region))
            break;
        PixelRect area = clip(region.region.position.x, region.region.position.y, region.region.size.width,
                              region.region.size.height, width, height);
        if (area.width > 0)
            out.push_back(area);
    }
    return out;
}

void StreamPicture::resize(int width, int height)
{
    width_ = width;
    height_ = height;
    source_ = nullptr;
    held_ = false;
    whole_ = true;
}

// Where the frame differs from the last one: the stream's damage, else the tiles that
// differ; empty: anywhere. False when nothing changed.
bool StreamPicture::changes(const uint8_t* pixels, int stride, const std::vector<PixelRect>& damage,
                            std::vector<PixelRect>& out) const
{
    out.clear();
    if (!damage.empty()) {
        out = damage;
        return true;
    }
    if (whole_ || !source_ || stride != sourceStride_)
        return true;
    return findChangedTiles(source_, pixels, width_, height_, stride, out);
}

void StreamPicture::note(const std::vector<PixelRect>& changed)
{
    news_ = true;
    if (changed.empty() || whole_) {
        whole_ = true;
        damage_.clear();
        return;
    }
    damage_.insert(damage_.end(), changed.begin(), changed.end());
    if (damage_.size() > kMaxDamage) {
        whole_ = true;
        damage_.clear();
    }
}

void StreamPicture::frame(const uint8_t* pixels, int width, int height, int stride,
                          const std::vector<PixelRect>& damage)
{
    release();
    if (width != width_ || height != height_) {
        resize(width, height);
        clean_.assign(size_t(width) * height * 4, 0);
        source_ = clean_.data();
        sourceStride_ = width * 4;
    }
    std::vector<PixelRect> changed;
    if (!changes(pixels, stride, damage, changed))
        return;
    note(changed);
    std::vector<PixelRect> all = {{0, 0, width, height}};
    for (const PixelRect& area : whole_ ? all : changed)
        for (int y = area.y; y < area.y + area.height; ++y)
            std::memcpy(&clean_[(size_t(y) * width + area.x) * 4], pixels + size_t(y) * stride + size_t(area.x) * 4,
                        size_t(area.width) * 4);
}

void StreamPicture::hold(const uint8_t* pixels, int width, int height, int stride,
                         const std::vector<PixelRect>& damage)
{
    if (width != width_ || height != height_)
        resize(width, height);
    std::vector<PixelRect> changed;
    if (changes(pixels, stride, damage, changed))
        note(changed);
    source_ = pixels;
    sourceStride_ = stride;
    held_ = true;
}

void StreamPicture::release()
{
    if (!held_)
        return;
    clean_.resize(size_t(width_) * height_ * 4);
    for (int y = 0; y < height_; ++y)
        std::memcpy(&clean_[size_t(y) * width_ * 4], source_ + size_t(y) * sourceStride_, size_t(width_) * 4);
    source_ = clean_.data();
    sourceStride_ = width_ * 4;
    held_ = false;
}

void StreamPicture::pointer(const StreamPointer& news)
{
    if (news.moved && (news.x != pointerX_ || news.y != pointerY_)) {
        pointerX_ = news.x;
        pointerY_ = news.y;
        pointerMoved_ = news_ = true;
    }
    if (news.newImage) {
        image_ = news;
        pointerMoved_ = news_ = true;
    }
}

PixelRect StreamPicture::pointerRect() const
{
    if (image_.width == 0)
        return {};
    return clip(int64_t(pointerX_) - image_.hotX, int64_t(pointerY_) - image_.hotY, image_.width, image_.height,
                width_, height_);
}

void StreamPicture::copyClean(const PixelRect& area)
{
    for (int y = area.y; y < area.y + area.height; ++y)
        std::memcpy(&shown_[(size_t(y) * width_ + area.x) * 4], source_ + size_t(y) * sourceStride_ + size_t(area.x) * 4,
                    size_t(area.width) * 4);
}

void StreamPicture::take(ScreenPicture& out)
{
    if (whole_) {
        shown_.resize(size_t(width_) * height_ * 4);
        copyClean({0, 0, width_, height_});
        drawn_ = {};
    }
    for (const PixelRect& area : damage_)
        copyClean(area);
    PixelRect before = drawn_;
    copyClean(before);
    drawn_ = pointerRect();
    int64_t left = int64_t(pointerX_) - image_.hotX, top = int64_t(pointerY_) - image_.hotY;
    for (int y = drawn_.y; y < drawn_.y + drawn_.height; ++y) {
        uint8_t* to = &shown_[(size_t(y) * width_ + drawn_.x) * 4];
        const uint8_t* from = &image_.bgra[size_t(((y - top) * image_.width + (drawn_.x - left)) * 4)];
        for (int x = 0; x < drawn_.width; ++x, to += 4, from += 4)
            for (int k = 0; k < 3; ++k)
                to[k] = uint8_t(std::min(255, from[k] + to[k] * (255 - from[3]) / 255));
    }
    out.pixels = shown_.data();
    out.width = width_;
    out.height = height_;
    out.pitch = width_ * 4;
    out.changed = news_;
    out.areas.clear();
    if (!whole_ && news_) {
        out.areas = damage_;
        for (const PixelRect& area : {before, drawn_})
            if (pointerMoved_ && area.width > 0)
                out.areas.push_back(area);
    }
    news_ = whole_ = pointerMoved_ = false;
    damage_.clear();
}
