// JPEG compression straight from the captured pixel layout, into one buffer kept for the
// whole run: a picture at once, or row by row while it is still being read (libjpeg's
// scanline interface).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class JpegEncoder {
public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // `pixelFormat` is TurboJPEG's TJPF_ value of a 4-byte layout, `subsampling` its TJSAMP_
    // value. False, with `error` set, on failure.
    bool encode(const uint8_t* pixels, int width, int pitch, int height, int pixelFormat, int subsampling,
                int quality, std::string& error);

    // The same in steps: begin, the rows top to bottom in as many pieces as they come, then
    // finish, which leaves the frame in data(). abandon() drops a frame begun.
    bool begin(int width, int height, int pixelFormat, int subsampling, int quality, std::string& error);
    bool rows(const uint8_t* pixels, int pitch, int count, std::string& error);
    bool finish(std::string& error);
    void abandon();

    const uint8_t* data() const { return buffer_.data(); }
    size_t size() const { return size_; }

    struct Codec;  // libjpeg's state, in the source file

private:
    std::unique_ptr<Codec> codec_;
    std::vector<uint8_t> buffer_;
    size_t size_ = 0;
    std::vector<uint8_t*> rowPointers_;  // libjpeg only reads through them
};

// "444", "422", "420" (also "4:2:0" and so on) to a TJSAMP_ value; -1 when unknown.
int subsamplingFromText(const std::string& text);
