#include "host/jpeg_encoder.h"

#include <turbojpeg.h>

#include <algorithm>

JpegEncoder::JpegEncoder() : handle_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder()
{
    tjFree(buffer_);
    if (handle_)
        tjDestroy(handle_);
}

bool JpegEncoder::encode(const uint8_t* pixels, int width, int pitch, int height, int pixelFormat,
                         int subsampling, int quality, std::string& error)
{
    if (!handle_) {
        error = "TurboJPEG did not start";
        return false;
    }
    // The worst case for this size, so TurboJPEG never has to grow the buffer mid-frame.
    unsigned long needed = tjBufSize(width, height, subsampling);
    if (needed > capacity_) {
        tjFree(buffer_);
        buffer_ = tjAlloc(int(needed));
        capacity_ = buffer_ ? needed : 0;
        if (!buffer_) {
            error = "no memory for the JPEG buffer";
            return false;
        }
    }
    unsigned long size = capacity_;
    if (tjCompress2(handle_, pixels, width, pitch, height, pixelFormat, &buffer_, &size, subsampling, quality,
                    TJFLAG_NOREALLOC) != 0) {
        error = std::string("TurboJPEG: ") + tjGetErrorStr2(handle_);
        return false;
    }
    size_ = size;
    return true;
}

int subsamplingFromText(const std::string& text)
{
    std::string digits;
    std::copy_if(text.begin(), text.end(), std::back_inserter(digits), [](char c) { return c != ':'; });
    if (digits == "444")
        return TJSAMP_444;
    if (digits == "422")
        return TJSAMP_422;
    if (digits == "420")
        return TJSAMP_420;
    return -1;
}
