#include "display/frame_image_win.h"

#include "app/globals.h"
#include "display/jpeg_decoder.h"

namespace {

void deleteBitmap(FrameImage& image)
{
    if (!image.created)
        return;
    DeleteDC(image.memoryDC);
    DeleteObject(image.bitmap);
    image.memoryDC = nullptr;
    image.bitmap = nullptr;
    image.pixels = nullptr;
    image.created = false;
}

// Pixel memory for a width x height frame: the bitmap as it is when the size is the
// same, a new one otherwise; null when none can be made.
uint8_t* bitmapFor(FrameImage& image, int32_t width, int32_t height)
{
    if (image.created && width == image.width && height == image.height)
        return image.pixels;

    EnterCriticalSection(&image.bitmapLock);
    deleteBitmap(image);
    image.width = width;
    image.height = height;
    BITMAPINFOHEADER& header = image.bitmapInfo.bmiHeader;
    header = BITMAPINFOHEADER{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;  // positive: rows bottom-up
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = DWORD(bitmapStride(width)) * DWORD(height);
    void* memory = nullptr;
    image.bitmap = CreateDIBSection(nullptr, &image.bitmapInfo, DIB_RGB_COLORS, &memory, nullptr, 0);
    if (image.bitmap)
        image.memoryDC = CreateCompatibleDC(nullptr);
    if (image.bitmap && image.memoryDC) {
        SelectObject(image.memoryDC, image.bitmap);
        image.pixels = static_cast<uint8_t*>(memory);
        image.created = true;
    } else {
        if (image.bitmap)
            DeleteObject(image.bitmap);
        image.bitmap = nullptr;
        image.memoryDC = nullptr;
    }
    LeaveCriticalSection(&image.bitmapLock);
    return image.created ? image.pixels : nullptr;
}

struct DibTarget final : FrameTarget {
    FrameImage& image;
    explicit DibTarget(FrameImage& i) : image(i) {}
    uint8_t* pixelsFor(int32_t width, int32_t height) override { return bitmapFor(image, width, height); }
};

}  // namespace

FrameImage::FrameImage()
{
    InitializeCriticalSection(&bitmapLock);
}

// The lock stays: at exit the painting thread may still be about to take it.
FrameImage::~FrameImage()
{
    releaseFrameImage(*this);
}

bool decodeFrame(FrameImage& image, const uint8_t* data, int32_t size)
{
    DibTarget target(image);
    if (decodeJpegFrame(data, size_t(size > 0 ? size : 0), target) != DecodeResult::Decoded)
        return false;
    InvalidateRgn(mainWindow, nullptr, FALSE);
    UpdateWindow(mainWindow);
    return true;
}

void releaseFrameImage(FrameImage& image)
{
    EnterCriticalSection(&image.bitmapLock);
    deleteBitmap(image);
    LeaveCriticalSection(&image.bitmapLock);
}
