#include "input/input_queue.h"

#include <algorithm>

InputQueue::InputQueue(size_t capacity) : ring_(std::max<size_t>(capacity, 1)) {}

bool InputQueue::push(const uint8_t* message, size_t length, uint32_t nowMs)
{
    if (length > ring_.size() - count_)
        return false;
    if (count_ == 0)
        progressAt_ = nowMs;  // the stall clock runs only while something waits
    size_t tail = (head_ + count_) % ring_.size();
    size_t first = std::min(length, ring_.size() - tail);
    std::copy(message, message + first, ring_.begin() + std::ptrdiff_t(tail));
    std::copy(message + first, message + length, ring_.begin());
    count_ += length;
    return true;
}

Drained InputQueue::drain(ByteSink& sink, uint32_t nowMs)
{
    // Offered again after a partial take: only a refusal re-arms the socket's write
    // event, so the sink must be asked until it takes nothing.
    while (count_ > 0) {
        size_t run = std::min(count_, ring_.size() - head_);
        int taken = sink.take(ring_.data() + head_, run);
        if (taken < 0)
            return Drained::Failed;
        if (taken == 0)
            return Drained::Blocked;
        size_t took = std::min(size_t(taken), run);
        head_ = (head_ + took) % ring_.size();
        count_ -= took;
        progressAt_ = nowMs;
    }
    head_ = 0;
    return Drained::Empty;
}

bool InputQueue::stalled(uint32_t nowMs) const
{
    return count_ > 0 && nowMs - progressAt_ >= kInputStallMs;
}

uint32_t InputQueue::msUntilStall(uint32_t nowMs) const
{
    if (count_ == 0)
        return kNoDeadline;
    uint32_t waited = nowMs - progressAt_;
    return waited >= kInputStallMs ? 0 : kInputStallMs - waited;
}

void InputQueue::clear()
{
    head_ = 0;
    count_ = 0;
}
