#include "display/frame_image_win.h"

#include <utility>

namespace {

void deleteBitmap(FrameBitmap& frame)
{
    if (frame.bitmap)
        DeleteObject(frame.bitmap);
    frame = FrameBitmap{};
}

FrameBitmap makeBitmap(int32_t width, int32_t height, int32_t stride, PixelFormat format)
{
    BITMAPINFO info = {};
    BITMAPINFOHEADER& header = info.bmiHeader;
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;  // positive: rows bottom-up
    header.biPlanes = 1;
    header.biBitCount = WORD(8 * bytesPerPixel(format));
    header.biCompression = BI_RGB;
    header.biSizeImage = DWORD(stride) * DWORD(height);
    FrameBitmap frame;
    void* memory = nullptr;
    frame.bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &memory, nullptr, 0);
    if (!frame.bitmap)
        return FrameBitmap{};
    frame.pixels = static_cast<uint8_t*>(memory);
    frame.width = width;
    frame.height = height;
    frame.format = format;
    return frame;
}

PixelPlane planeOf(const FrameBitmap& frame)
{
    return {frame.pixels, frame.width, frame.height, bitmapStride(frame.width, frame.format),
            bytesPerPixel(frame.format)};
}

struct TwoBitmaps final : PictureBitmaps {
    FrameImage& image;
    explicit TwoBitmaps(FrameImage& i) : image(i) {}

    HeldPicture nextAt(int32_t width, int32_t height) override
    {
        FrameBitmap& next = image.next;
        if (!next.bitmap || next.width != width || next.height != height || next.format != image.format) {
            FrameBitmap made = makeBitmap(width, height, bitmapStride(width, image.format), image.format);
            if (!made.bitmap)
                return {};
            deleteBitmap(next);
            next = made;
        }
        return {planeOf(next), next.picture};
    }
    HeldPicture shown() const override { return {planeOf(image.shown), image.shown.picture}; }
    void nextHolds(uint64_t number) override { image.next.picture = number; }
};

}  // namespace

// At exit the receiver thread has stopped, or the process ended without running this.
FrameImage::~FrameImage()
{
    releaseFrameImage(*this);
}

DecodeResult decodeFrame(FrameImage& image, const uint8_t* data, int32_t size, uint16_t accepted,
                         FrameExtension* extension)
{
    FrameExtension own;
    TwoBitmaps bitmaps(image);
    DecodeOptions options;
    options.format = image.format;
    DecodeResult result = image.assembly.decode(data, size_t(size > 0 ? size : 0), bitmaps, accepted,
                                                extension ? *extension : own, options);
    // The library's message is out. Nothing may run the global objects' destructors
    // under the window thread, which is still painting from them.
    if (result == DecodeResult::Failed)
        TerminateProcess(GetCurrentProcess(), 1);
    return result;
}

bool showNextFrame(FrameImage& image)
{
    if (!image.next.bitmap)
        return false;
    // No blit from the bitmap that goes back to the decoder is left waiting in a batch.
    GdiFlush();
    if (!image.memoryDC)
        image.memoryDC = CreateCompatibleDC(nullptr);
    if (!image.memoryDC)
        return false;
    std::swap(image.shown, image.next);
    SelectObject(image.memoryDC, image.shown.bitmap);
    return true;
}

void releaseFrameImage(FrameImage& image)
{
    if (image.memoryDC)
        DeleteDC(image.memoryDC);  // first: a bitmap still selected cannot be deleted
    image.memoryDC = nullptr;
    deleteBitmap(image.shown);
    deleteBitmap(image.next);
    image.assembly.clear();
}
