// TurboJPEG compression straight from the captured pixel layout, into one buffer kept
// for the whole run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // `subsampling` is TurboJPEG's TJSAMP_ value. False, with `error` set, on failure.
    bool encode(const uint8_t* pixels, int width, int pitch, int height, int pixelFormat, int subsampling,
                int quality, std::string& error);
    const uint8_t* data() const { return buffer_; }
    size_t size() const { return size_; }

private:
    void* handle_ = nullptr;
    unsigned char* buffer_ = nullptr;
    unsigned long capacity_ = 0;
    size_t size_ = 0;
};

// "444", "422", "420" (also "4:2:0" and so on) to a TJSAMP_ value; -1 when unknown.
int subsamplingFromText(const std::string& text);
