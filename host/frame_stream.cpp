#include "host/frame_stream.h"

FrameStream::~FrameStream()
{
    if (!worker_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    change_.notify_all();
    worker_.join();
}

void FrameStream::arm(const Target& target, JpegEncoder& encoder, PictureScaler& scaler)
{
    target_ = target;
    encoder_ = &encoder;
    scaler_ = &scaler;
    armed_ = true;
    broken_ = false;
    screenRows_ = frameRows_ = 0;
    if (!worker_.joinable())
        worker_ = std::thread(&FrameStream::work, this);
}

void FrameStream::rowsArrived(const ScreenPicture& picture, int top, int bottom)
{
    if (!armed_ || broken_)
        return;
    bool scaled = target_.width != target_.screenWidth || target_.height != target_.screenHeight;
    if (picture.width != target_.screenWidth || picture.height != target_.screenHeight || top != screenRows_ ||
        bottom <= top || bottom > picture.height || (scaled && !target_.scaled)) {
        broken_ = true;
        cancel();
        return;
    }
    screenRows_ = bottom;
    // A frame row is ready once every screen row it averages is here.
    int ready = scaled ? int(int64_t(bottom) * target_.height / target_.screenHeight) : bottom;
    if (scaled && ready > frameRows_)
        scaler_->scale(picture.pixels, picture.width, picture.height, picture.pitch, target_.scaled, target_.width,
                       target_.height, target_.width * 4, {0, frameRows_, target_.width, ready - frameRows_});
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (top == 0) {
            begin_ = true;
            cancelled_ = false;
            outcome_ = Outcome::Running;
            rows_ = scaled ? target_.scaled : picture.pixels;
            pitch_ = scaled ? target_.width * 4 : picture.pitch;
            pixelFormat_ = picture.pixelFormat;
        }
        ready_ = ready;
    }
    frameRows_ = ready;
    change_.notify_all();
}

void FrameStream::cancel()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
    }
    change_.notify_all();
}

bool FrameStream::finish(std::string& error)
{
    if (!armed_)
        return false;
    armed_ = false;
    if (broken_ || screenRows_ < target_.screenHeight)
        cancel();
    std::unique_lock<std::mutex> lock(mutex_);
    change_.wait(lock, [this] { return outcome_ != Outcome::Running; });
    bool done = outcome_ == Outcome::Done;
    if (outcome_ == Outcome::Failed && !cancelled_)
        error = error_;
    outcome_ = Outcome::Idle;
    return done;
}

void FrameStream::work()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        change_.wait(lock, [this] { return quit_ || begin_; });
        if (quit_)
            return;
        begin_ = false;
        Target target = target_;
        const uint8_t* rows = rows_;
        int pitch = pitch_, done = 0;
        std::string error;
        lock.unlock();
        bool ok = encoder_->begin(target.width, target.height, pixelFormat_, target.subsampling, target.quality,
                                  error);
        lock.lock();
        while (ok) {
            change_.wait(lock, [&] { return quit_ || cancelled_ || ready_ > done; });
            if (quit_ || cancelled_) {
                ok = false;
                break;
            }
            int ready = ready_;
            lock.unlock();
            ok = encoder_->rows(rows + size_t(done) * size_t(pitch), pitch, ready - done, error);
            if (ok && ready == target.height)
                ok = encoder_->finish(error);
            lock.lock();
            done = ready;
            if (ok && done == target.height)
                break;
        }
        if (!ok)
            encoder_->abandon();
        error_ = error;
        outcome_ = ok ? Outcome::Done : Outcome::Failed;
        change_.notify_all();
    }
}
