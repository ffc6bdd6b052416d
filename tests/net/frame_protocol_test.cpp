#include "net/frame_protocol.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace {

// A socket scripted as a list of receive outcomes: bytes, end of stream, an empty
// non-blocking socket, or a failure. Asking for fewer bytes than a chunk holds leaves
// the rest for the next call, as a stream socket does.
struct ScriptedIo final : FrameChannelIo {
    struct Step {
        enum Kind { Bytes, End, Empty, Error } kind;
        std::vector<uint8_t> bytes;
    };
    std::deque<Step> steps;
    std::vector<int32_t> asked;
    int pauses = 0;
    int replacements = 0;
    bool refuseMemory = false;

    void bytes(std::vector<uint8_t> b) { steps.push_back({Step::Bytes, std::move(b)}); }
    void end() { steps.push_back({Step::End, {}}); }
    void empty() { steps.push_back({Step::Empty, {}}); }
    void error() { steps.push_back({Step::Error, {}}); }

    int32_t receive(uint8_t* into, int32_t length, bool* wouldBlock) override
    {
        asked.push_back(length);
        *wouldBlock = false;
        if (steps.empty()) {
            *wouldBlock = true;
            return -1;
        }
        Step& step = steps.front();
        switch (step.kind) {
        case Step::End:
            return 0;
        case Step::Empty:
            steps.pop_front();
            *wouldBlock = true;
            return -1;
        case Step::Error:
            steps.pop_front();
            return -1;
        case Step::Bytes:
            break;
        }
        int32_t n = std::min<int32_t>(length, int32_t(step.bytes.size()));
        std::memcpy(into, step.bytes.data(), size_t(n));
        step.bytes.erase(step.bytes.begin(), step.bytes.begin() + n);
        if (step.bytes.empty())
            steps.pop_front();
        return n;
    }
    void pause() override { ++pauses; }
    uint8_t* replaceFrameBuffer(uint8_t* old, int32_t size) override
    {
        if (refuseMemory)
            return nullptr;
        ++replacements;
        std::free(old);
        return static_cast<uint8_t*>(std::malloc(size_t(size)));
    }
};

struct Receiver : FrameReceiver {
    Receiver()
    {
        frameBuffer = static_cast<uint8_t*>(std::malloc(kFrameBufferSize));
        frameCapacity = kFrameBufferSize;
    }
    ~Receiver() { std::free(frameBuffer); }
};

std::vector<uint8_t> le32(int32_t v)
{
    std::vector<uint8_t> out(4);
    writeLittleEndian32(out.data(), uint32_t(v));
    return out;
}

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = uint8_t(i * 7 + i / 251);
    return out;
}

TEST(ControlMessage, BothCodesAreTwelveBytesWithZeroTail)
{
    uint8_t out[kControlMessageSize];
    std::memset(out, 0xAA, sizeof out);
    encodeControlMessage(MSG_NEXT_FRAME, out);
    const uint8_t next[12] = {0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(out, next, 12));
    std::memset(out, 0xAA, sizeof out);
    encodeControlMessage(MSG_SEND_BODY, out);
    const uint8_t body[12] = {0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(out, body, 12));
}

TEST(NetworkEvents, CloseWinsOverDataAndWriteAloneWaitsAgain)
{
    EXPECT_EQ(ChannelStep::Ended, stepForEvents(kEventClose | kEventRead));
    EXPECT_EQ(ChannelStep::Ended, stepForEvents(kEventClose | kEventRead | kEventWrite));
    EXPECT_EQ(ChannelStep::Read, stepForEvents(kEventRead | kEventWrite));
    EXPECT_EQ(ChannelStep::WaitAgain, stepForEvents(kEventWrite));
    EXPECT_EQ(ChannelStep::WaitAgain, stepForEvents(0));
}

TEST(FrameHeader, ReadsSignedLittleEndian)
{
    const uint8_t len[4] = {0x20, 0xA1, 0x07, 0x00};
    EXPECT_EQ(500000, decodeFrameHeader(len));
    const uint8_t negative[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(-1, decodeFrameHeader(negative));
}

TEST(FrameHeader, AssembledFromTwoPlusTwoBytesEvenAcrossReadEvents)
{
    // In one read event.
    ScriptedIo io;
    Receiver r;
    auto h = le32(123456);
    io.bytes({h[0], h[1]});
    io.bytes({h[2], h[3]});
    EXPECT_EQ(HeaderRead::Complete, readFrameHeaderFrom(r, io));
    EXPECT_EQ(123456, r.remaining);
    EXPECT_TRUE(r.bodyPhase);

    // The second half arrives only with a later read event: stay in the header phase.
    ScriptedIo later;
    Receiver s;
    later.bytes({h[0], h[1]});
    EXPECT_EQ(HeaderRead::Partial, readFrameHeaderFrom(s, later));
    EXPECT_FALSE(s.bodyPhase);
    later.bytes({h[2], h[3]});
    EXPECT_EQ(HeaderRead::Complete, readFrameHeaderFrom(s, later));
    EXPECT_EQ(123456, s.remaining);
    EXPECT_EQ(std::vector<int32_t>({4, 2, 2}), later.asked);
}

TEST(FrameHeader, NothingToReadOrEndOrFailureKeepsTheHeaderPhase)
{
    ScriptedIo io;
    Receiver r;
    io.empty();
    EXPECT_EQ(HeaderRead::NoData, readFrameHeaderFrom(r, io));
    io.error();
    EXPECT_EQ(HeaderRead::Failed, readFrameHeaderFrom(r, io));
    io.bytes({1});
    io.end();
    EXPECT_EQ(HeaderRead::EndOfStream, readFrameHeaderFrom(r, io));
    EXPECT_FALSE(r.bodyPhase);
}

TEST(FrameHeader, ZeroOrNegativeLengthStillStartsAnEmptyBody)
{
    ScriptedIo io;
    Receiver r;
    io.bytes(le32(-5));
    EXPECT_EQ(HeaderRead::Complete, readFrameHeaderFrom(r, io));
    EXPECT_TRUE(r.bodyPhase);
    EXPECT_EQ(0, readFrameBodyFrom(r, io));
    EXPECT_TRUE(io.asked.size() == 1);  // the body read asked for nothing
    EXPECT_FALSE(r.bodyPhase);
}

TEST(FrameHeader, OversizedLengthsGrowTheBufferUpToTheCap)
{
    ScriptedIo io;
    Receiver r;
    io.bytes(le32(kFrameBufferSize));
    EXPECT_EQ(HeaderRead::Complete, readFrameHeaderFrom(r, io));
    EXPECT_EQ(0, io.replacements);

    io.bytes(le32(2'000'000));
    EXPECT_EQ(HeaderRead::Complete, readFrameHeaderFrom(r, io));
    EXPECT_EQ(1, io.replacements);
    EXPECT_GE(r.frameCapacity, 2'000'000);
    // A smaller frame after a large one keeps the grown buffer.
    io.bytes(le32(1'000'000));
    EXPECT_EQ(HeaderRead::Complete, readFrameHeaderFrom(r, io));
    EXPECT_EQ(1, io.replacements);

    io.bytes(le32(kMaxFrameBodySize + 1));
    EXPECT_EQ(HeaderRead::TooLarge, readFrameHeaderFrom(r, io));
    io.bytes(le32(kMaxFrameBodySize));
    io.refuseMemory = true;
    EXPECT_EQ(HeaderRead::NoMemory, readFrameHeaderFrom(r, io));
    EXPECT_GE(r.frameCapacity, 2'000'000);  // the old buffer stays usable
}

TEST(FrameBody, ManyPiecesAssembleInOrderWithAPauseAfterEach)
{
    ScriptedIo io;
    Receiver r;
    auto body = pattern(300'000);
    io.bytes(le32(int32_t(body.size())));
    ASSERT_EQ(HeaderRead::Complete, readFrameHeaderFrom(r, io));
    size_t offset = 0;
    int pieces = 0;
    for (size_t n = 1; offset < body.size(); n = n * 3 + 1, ++pieces) {
        size_t take = std::min(n, body.size() - offset);
        io.bytes(std::vector<uint8_t>(body.begin() + long(offset), body.begin() + long(offset + take)));
        io.empty();  // the socket runs dry between pieces
        offset += take;
    }
    EXPECT_EQ(int32_t(body.size()), readFrameBodyFrom(r, io));
    EXPECT_EQ(0, r.remaining);
    EXPECT_FALSE(r.bodyPhase);
    EXPECT_EQ(0, std::memcmp(body.data(), r.frameBuffer, body.size()));
    EXPECT_EQ(2 * pieces - 1, io.pauses);  // one per chunk and one per empty try
    EXPECT_EQ(io.pauses, r.pauses);
}

TEST(FrameBody, NeverAsksForMoreThanAnnounced)
{
    ScriptedIo io;
    Receiver r;
    auto body = pattern(1000);
    auto wire = le32(1000);
    wire.insert(wire.end(), body.begin(), body.end());
    auto next = le32(77);
    wire.insert(wire.end(), next.begin(), next.end());  // the next header, already sent
    io.bytes(wire);
    ASSERT_EQ(HeaderRead::Complete, readFrameHeaderFrom(r, io));
    EXPECT_EQ(1000, readFrameBodyFrom(r, io));
    for (size_t i = 1; i < io.asked.size(); ++i)
        EXPECT_LE(io.asked[i], 1000);
    EXPECT_EQ(HeaderRead::Complete, readFrameHeaderFrom(r, io));
    EXPECT_EQ(77, r.remaining);
}

TEST(FrameBody, CloseOrErrorInTheMiddleKeepsWhatArrived)
{
    for (bool closeIt : {true, false}) {
        ScriptedIo io;
        Receiver r;
        auto body = pattern(5000);
        io.bytes(le32(5000));
        io.bytes(std::vector<uint8_t>(body.begin(), body.begin() + 1200));
        if (closeIt)
            io.end();
        else
            io.error();
        ASSERT_EQ(HeaderRead::Complete, readFrameHeaderFrom(r, io));
        EXPECT_EQ(1200, readFrameBodyFrom(r, io));
        EXPECT_EQ(3800, r.remaining);
        EXPECT_FALSE(r.bodyPhase);
        EXPECT_EQ(0, std::memcmp(body.data(), r.frameBuffer, 1200));
    }
}

TEST(FrameBody, LargeBodyFillsTheGrownBuffer)
{
    ScriptedIo io;
    Receiver r;
    auto body = pattern(1'234'567);
    io.bytes(le32(int32_t(body.size())));
    io.bytes(body);
    ASSERT_EQ(HeaderRead::Complete, readFrameHeaderFrom(r, io));
    EXPECT_EQ(int32_t(body.size()), readFrameBodyFrom(r, io));
    EXPECT_EQ(0, std::memcmp(body.data(), r.frameBuffer, body.size()));
    for (size_t i = 1; i < io.asked.size(); ++i)
        EXPECT_LE(io.asked[i], kFrameBufferSize);
}

}  // namespace
