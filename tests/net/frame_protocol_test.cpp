#include "net/frame_protocol.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A socket scripted as a list of receive outcomes: bytes, end of stream, an empty
// non-blocking socket, or a failure. Asking for fewer bytes than a chunk holds leaves
// the rest for the next call, as a stream socket does.
struct ScriptedIo final : FrameChannelIo {
    enum Kind { Data, End, Empty, Error };
    std::deque<std::pair<Kind, Bytes>> steps;
    std::vector<int32_t> asked;
    int pauses = 0, replacements = 0;
    bool refuseMemory = false;

    void add(Kind kind, Bytes bytes = {}) { steps.emplace_back(kind, std::move(bytes)); }
    int32_t receive(uint8_t* into, int32_t length, bool* wouldBlock) override
    {
        asked.push_back(length);
        *wouldBlock = steps.empty() || steps.front().first == Empty;
        if (steps.empty())
            return -1;
        auto& [kind, bytes] = steps.front();
        int32_t n = kind == End ? 0 : kind == Data ? std::min<int32_t>(length, int32_t(bytes.size())) : -1;
        if (n > 0) {
            std::memcpy(into, bytes.data(), size_t(n));
            bytes.erase(bytes.begin(), bytes.begin() + n);
        }
        if (kind != End && (kind != Data || bytes.empty()))  // a closed stream stays closed
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

Bytes le32(int32_t v)
{
    Bytes out(4);
    writeLittleEndian32(out.data(), uint32_t(v));
    return out;
}

Bytes pattern(size_t n)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = uint8_t(i * 7 + i / 251);
    return out;
}

class FrameRead : public ::testing::Test {
protected:
    FrameRead()
    {
        r.frameBuffer = static_cast<uint8_t*>(std::malloc(kFrameBufferSize));
        r.frameCapacity = kFrameBufferSize;
    }
    ~FrameRead() override { std::free(r.frameBuffer); }
    HeaderRead header(int32_t announced)
    {
        io.add(ScriptedIo::Data, le32(announced));
        return readFrameHeaderFrom(r, io);
    }
    Bytes received() const { return Bytes(r.frameBuffer, r.frameBuffer + r.totalReceived); }

    ScriptedIo io;
    FrameReceiver r;
};

TEST(FrameWire, ControlMessagesHeadersAndEvents)
{
    for (uint32_t code : {uint32_t(MSG_NEXT_FRAME), uint32_t(MSG_SEND_BODY)}) {
        Bytes out(kControlMessageSize, 0xAA);
        encodeControlMessage(code, out.data());
        EXPECT_EQ(out, (Bytes{0x01, uint8_t(code >> 8), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    }
    const uint8_t length[4] = {0x20, 0xA1, 0x07, 0x00};
    EXPECT_EQ(500000, decodeFrameHeader(length));
    // A close wins over data that came with it; write readiness alone waits again.
    EXPECT_EQ(ChannelStep::Ended, stepForEvents(kEventClose | kEventRead | kEventWrite));
    EXPECT_EQ(ChannelStep::Read, stepForEvents(kEventRead | kEventWrite));
    EXPECT_EQ(ChannelStep::WaitAgain, stepForEvents(kEventWrite));
    EXPECT_EQ(ChannelStep::WaitAgain, stepForEvents(0));
}

TEST_F(FrameRead, OnlyAWholeHeaderStartsABody)
{
    io.add(ScriptedIo::Empty);
    EXPECT_EQ(HeaderRead::NoData, readFrameHeaderFrom(r, io));
    io.add(ScriptedIo::Error);
    EXPECT_EQ(HeaderRead::Failed, readFrameHeaderFrom(r, io));
    // Two bytes now, the other two with a later read event.
    Bytes h = le32(123456);
    io.add(ScriptedIo::Data, {h[0]});
    io.add(ScriptedIo::Data, {h[1]});
    EXPECT_EQ(HeaderRead::Partial, readFrameHeaderFrom(r, io));
    EXPECT_FALSE(r.bodyPhase);
    io.add(ScriptedIo::Data, {h[2], h[3]});
    EXPECT_EQ(HeaderRead::Complete, readFrameHeaderFrom(r, io));
    EXPECT_EQ(123456, r.remaining);
    EXPECT_TRUE(r.bodyPhase);
    EXPECT_EQ(std::vector<int32_t>({4, 4, 4, 3, 2, 2}), io.asked);

    FrameReceiver cut;
    io.add(ScriptedIo::Data, {1});
    io.add(ScriptedIo::End);
    EXPECT_EQ(HeaderRead::EndOfStream, readFrameHeaderFrom(cut, io));
    EXPECT_FALSE(cut.bodyPhase);
}

TEST_F(FrameRead, LargerBodiesGrowTheBufferUpToTheCap)
{
    // A smaller frame keeps the grown buffer.
    for (auto [announced, result, replacements] :
         {std::tuple{kFrameBufferSize, HeaderRead::Complete, 0}, {2'000'000, HeaderRead::Complete, 1},
          {1'000'000, HeaderRead::Complete, 1}, {kMaxFrameBodySize + 1, HeaderRead::TooLarge, 1}}) {
        EXPECT_EQ(result, header(announced)) << announced;
        EXPECT_EQ(replacements, io.replacements) << announced;
    }
    EXPECT_GE(r.frameCapacity, 2'000'000);
    io.refuseMemory = true;
    EXPECT_EQ(HeaderRead::NoMemory, header(kMaxFrameBodySize));
    EXPECT_GE(r.frameCapacity, 2'000'000);  // the old buffer stays usable
}

TEST_F(FrameRead, ABodyIsExactlyWhatWasAnnouncedAndNothingWhenNoneWas)
{
    // Zero or below: an empty body, for which nothing is asked.
    ASSERT_EQ(HeaderRead::Complete, header(-5));
    EXPECT_EQ(0, readFrameBodyFrom(r, io));
    EXPECT_EQ(1u, io.asked.size());
    EXPECT_FALSE(r.bodyPhase);
    // Bytes beyond the announced length are left for the next header.
    Bytes wire = le32(1000), body = pattern(1000), next = le32(77);
    wire.insert(wire.end(), body.begin(), body.end());
    wire.insert(wire.end(), next.begin(), next.end());
    io.add(ScriptedIo::Data, wire);
    ASSERT_EQ(HeaderRead::Complete, readFrameHeaderFrom(r, io));
    EXPECT_EQ(1000, readFrameBodyFrom(r, io));
    EXPECT_EQ(body, received());
    EXPECT_EQ(HeaderRead::Complete, readFrameHeaderFrom(r, io));
    EXPECT_EQ(77, r.remaining);
}

TEST_F(FrameRead, PiecesAssembleInOrderWithAPauseAfterEach)
{
    for (size_t size : {size_t(300'000), size_t(1'234'567)}) {
        io = ScriptedIo{};
        r.pauses = 0;
        Bytes body = pattern(size);
        ASSERT_EQ(HeaderRead::Complete, header(int32_t(size)));
        int receives = 0, pieces = 0;
        for (size_t offset = 0, n = 1; offset < size; offset += n, n = n * 3 + 1) {
            n = std::min(n, size - offset);
            io.add(ScriptedIo::Data, Bytes(body.begin() + long(offset), body.begin() + long(offset + n)));
            io.add(ScriptedIo::Empty);  // the socket runs dry between pieces
            receives += 1 + int((n - 1) / kFrameBufferSize);
            ++pieces;
        }
        EXPECT_EQ(int32_t(size), readFrameBodyFrom(r, io));
        EXPECT_EQ(0, r.remaining);
        EXPECT_FALSE(r.bodyPhase);
        EXPECT_EQ(body, received());
        EXPECT_EQ(receives + pieces - 1, io.pauses);  // one per chunk and one per empty try
        EXPECT_EQ(io.pauses, r.pauses);
        for (size_t i = 1; i < io.asked.size(); ++i)
            EXPECT_LE(io.asked[i], kFrameBufferSize);
    }
}

TEST_F(FrameRead, CloseOrErrorInTheMiddleKeepsWhatArrived)
{
    for (auto end : {ScriptedIo::End, ScriptedIo::Error}) {
        io = ScriptedIo{};
        Bytes body = pattern(5000);
        ASSERT_EQ(HeaderRead::Complete, header(5000));
        io.add(ScriptedIo::Data, Bytes(body.begin(), body.begin() + 1200));
        io.add(end);
        EXPECT_EQ(1200, readFrameBodyFrom(r, io));
        EXPECT_EQ(3800, r.remaining);
        EXPECT_FALSE(r.bodyPhase);
        EXPECT_EQ(Bytes(body.begin(), body.begin() + 1200), received());
    }
}

}  // namespace
