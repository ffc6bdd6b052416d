#include "net/frame_protocol.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

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

TEST(FrameWire, ControlMessagesAndHeaders)
{
    for (uint32_t code : {uint32_t(MSG_NEXT_FRAME), uint32_t(MSG_SEND_BODY)}) {
        Bytes out(kControlMessageSize, 0xAA);
        encodeControlMessage(code, out.data());
        EXPECT_EQ(out, (Bytes{0x01, uint8_t(code >> 8), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    }
    const uint8_t length[4] = {0x20, 0xA1, 0x07, 0x00};
    EXPECT_EQ(500000, decodeFrameHeader(length));
}

// The reads against a socket scripted as a list of receive outcomes: bytes, end of stream,
// an empty non-blocking socket, or a failure. Asking for fewer bytes than a chunk holds
// leaves the rest for the next call, as a stream socket does.
class FrameRead : public ::testing::Test, public FrameChannelIo {
protected:
    enum Kind { Data, End, Empty, Error };
    FrameRead() { r.frameBuffer = static_cast<uint8_t*>(std::malloc(r.frameCapacity = kFrameBufferSize)); }
    ~FrameRead() override { std::free(r.frameBuffer); }

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
    void awaitData(bool) override { ++awaits; }
    uint8_t* replaceFrameBuffer(uint8_t* old, int32_t size) override
    {
        if (refuseMemory)
            return nullptr;
        ++replacements;
        std::free(old);
        return static_cast<uint8_t*>(std::malloc(size_t(size)));
    }
    HeaderRead readHeader() { return readFrameHeaderFrom(r, *this); }
    HeaderRead header(int32_t announced)
    {
        steps.clear();
        asked.clear();
        pauses = r.pauses = 0;
        add(Data, le32(announced));
        return readHeader();
    }
    int32_t readBody() { return readFrameBodyFrom(r, *this); }
    Bytes received() const { return Bytes(r.frameBuffer, r.frameBuffer + r.totalReceived); }

    std::deque<std::pair<Kind, Bytes>> steps;
    std::vector<int32_t> asked;
    int pauses = 0, awaits = 0, replacements = 0;
    bool refuseMemory = false;
    FrameReceiver r;
};

TEST_F(FrameRead, OnlyAWholeHeaderStartsABody)
{
    add(Empty);
    EXPECT_EQ(HeaderRead::NoData, readHeader());
    add(Error);
    EXPECT_EQ(HeaderRead::Failed, readHeader());
    // Two bytes now, the other two with a later read event.
    Bytes h = le32(123456);
    add(Data, {h[0]});
    add(Data, {h[1]});
    EXPECT_EQ(HeaderRead::Partial, readHeader());
    EXPECT_FALSE(r.bodyPhase);
    add(Data, {h[2], h[3]});
    EXPECT_EQ(HeaderRead::Complete, readHeader());
    EXPECT_EQ(123456, r.remaining);
    EXPECT_TRUE(r.bodyPhase);
    EXPECT_EQ(std::vector<int32_t>({4, 4, 4, 3, 2, 2}), asked);

    FrameReceiver cut;
    add(Data, {1});
    add(End);
    EXPECT_EQ(HeaderRead::EndOfStream, readFrameHeaderFrom(cut, *this));
    EXPECT_FALSE(cut.bodyPhase);
}

TEST_F(FrameRead, LargerBodiesGrowTheBufferUpToTheCap)
{
    // A smaller frame keeps the grown buffer.
    for (auto [announced, result, grown] :
         {std::tuple{kFrameBufferSize, HeaderRead::Complete, 0}, {2'000'000, HeaderRead::Complete, 1},
          {1'000'000, HeaderRead::Complete, 1}, {kMaxFrameBodySize + 1, HeaderRead::TooLarge, 1}}) {
        EXPECT_EQ(result, header(announced)) << announced;
        EXPECT_EQ(grown, replacements) << announced;
    }
    EXPECT_GE(r.frameCapacity, 2'000'000);
    refuseMemory = true;
    EXPECT_EQ(HeaderRead::NoMemory, header(kMaxFrameBodySize));
    EXPECT_GE(r.frameCapacity, 2'000'000);  // the old buffer stays usable
}

TEST_F(FrameRead, ABodyIsWhatWasAnnouncedInPiecesWithAPauseAfterEach)
{
    // Zero or below: an empty body, for which nothing is asked.
    ASSERT_EQ(HeaderRead::Complete, header(-5));
    EXPECT_EQ(0, readBody());
    EXPECT_EQ(1u, asked.size());
    EXPECT_FALSE(r.bodyPhase);
    // Bytes beyond the announced length are left for the next header.
    Bytes body = pattern(1000), wire = le32(1000), next = le32(77);
    wire.insert(wire.end(), body.begin(), body.end());
    wire.insert(wire.end(), next.begin(), next.end());
    add(Data, wire);
    ASSERT_EQ(HeaderRead::Complete, readHeader());
    EXPECT_EQ(1000, readBody());
    EXPECT_EQ(body, received());
    EXPECT_EQ(HeaderRead::Complete, readHeader());
    EXPECT_EQ(77, r.remaining);

    // Pieces from a byte to more than a buffer's worth, with the socket running dry between them.
    const size_t size = 1'234'567;
    body = pattern(size);
    ASSERT_EQ(HeaderRead::Complete, header(int32_t(size)));
    int receives = 0, pieces = 0;
    for (size_t offset = 0, n = 1; offset < size; offset += n, n = n * 3 + 1) {
        n = std::min(n, size - offset);
        add(Data, Bytes(body.begin() + long(offset), body.begin() + long(offset + n)));
        add(Empty);
        receives += 1 + int((n - 1) / kFrameBufferSize);
        ++pieces;
    }
    EXPECT_EQ(int32_t(size), readBody());
    EXPECT_EQ(0, r.remaining);
    EXPECT_FALSE(r.bodyPhase);
    EXPECT_EQ(body, received());
    EXPECT_EQ(receives + pieces - 1, pauses);  // one per chunk and one per empty try
    EXPECT_EQ(pauses, r.pauses);
    // From a host of the extension: no pause, a wait for data while the body is not all in.
    r.eager = true;
    ASSERT_EQ(HeaderRead::Complete, header(30));
    add(Data, pattern(10));
    add(Empty);
    add(Data, pattern(20));
    EXPECT_EQ(30, readBody());
    EXPECT_EQ(0, pauses);
    EXPECT_EQ(2, awaits);
    r.eager = false;
    for (size_t i = 1; i < asked.size(); ++i)
        EXPECT_LE(asked[i], kFrameBufferSize);
    // A close or an error in the middle keeps what arrived.
    for (Kind end : {End, Error}) {
        ASSERT_EQ(HeaderRead::Complete, header(5000));
        add(Data, Bytes(body.begin(), body.begin() + 1200));
        add(end);
        EXPECT_EQ(1200, readBody());
        EXPECT_EQ(3800, r.remaining);
        EXPECT_FALSE(r.bodyPhase);
        EXPECT_EQ(Bytes(body.begin(), body.begin() + 1200), received());
    }
}

}  // namespace
