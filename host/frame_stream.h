// A whole frame made while its picture is still being read: the capture hands over rows as
// they come, they are scaled at once, and a worker thread encodes the frame rows that are
// ready, so that reading the screen, scaling and encoding overlap instead of following one
// another. Portable.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "host/desktop.h"
#include "host/frame_scale.h"
#include "host/jpeg_encoder.h"

class FrameStream final : public RowsListener {
public:
    struct Target {
        int screenWidth = 0;   // the picture expected; rows of any other are left alone
        int screenHeight = 0;
        int width = 0;         // the frame: the screen averaged down to it where smaller
        int height = 0;
        uint8_t* scaled = nullptr;  // where scaled rows go, width * 4 bytes each
        int subsampling = 0;        // as JpegEncoder takes them
        int quality = 0;
    };

    FrameStream() = default;
    ~FrameStream();
    FrameStream(const FrameStream&) = delete;
    FrameStream& operator=(const FrameStream&) = delete;

    // For the next capture. `encoder` and `scaler` are used until finish().
    void arm(const Target& target, JpegEncoder& encoder, PictureScaler& scaler);
    void rowsArrived(const ScreenPicture& picture, int top, int bottom) override;
    // After the capture, always: true when every row came and `encoder` holds the frame
    // (and `scaled` the scaled picture); false otherwise, with `error` set where encoding
    // failed. Disarms.
    bool finish(std::string& error);

private:
    enum class Outcome { Idle, Running, Done, Failed };
    void work();
    void cancel();

    // The capture's thread only.
    Target target_;
    JpegEncoder* encoder_ = nullptr;
    PictureScaler* scaler_ = nullptr;
    bool armed_ = false;
    bool broken_ = false;     // rows came out of order or of another picture
    int screenRows_ = 0;      // screen rows arrived
    int frameRows_ = 0;       // frame rows made of them

    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable change_;  // either way: rows, a frame to begin, its end, quitting
    // Under mutex_.
    Outcome outcome_ = Outcome::Idle;
    bool begin_ = false;     // a frame waits to be begun
    bool cancelled_ = false;
    bool quit_ = false;
    int ready_ = 0;          // frame rows the worker may encode
    const uint8_t* rows_ = nullptr;
    int pitch_ = 0;
    int pixelFormat_ = 0;
    std::string error_;
};
