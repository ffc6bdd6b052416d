#include "display/jpeg_decoder.h"
#include "tests/support/make_jpeg.h"
#include "tests/support/memory_target.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

DecodeResult decode(const Bytes& jpeg, MemoryTarget& target, OutputPath path, PixelFormat format = PixelFormat::Bgrx32)
{
    return decodeJpegFrame(jpeg.data(), jpeg.size(), target, {path, format, true});
}

// Both output paths, each into memory filled two ways beforehand: the four agree only if
// every byte is written and the paths write the same bytes.
Bytes decodeAllWays(const Bytes& jpeg, PixelFormat format = PixelFormat::Bgrx32)
{
    Bytes first;
    for (OutputPath path : {OutputPath::BgrRows, OutputPath::RgbSwap})
        for (int fill : {0xA5, 0x5A}) {
            MemoryTarget target;
            target.fill = fill;
            EXPECT_EQ(decode(jpeg, target, path, format), DecodeResult::Decoded);
            if (first.empty())
                first = target.pixels;
            EXPECT_TRUE(target.pixels == first) << "path " << int(path) << ", fill " << fill;
        }
    return first;
}

// Where each marker of that kind is: 0xC0 starts a frame, 0xDA a scan.
std::vector<size_t> markers(const Bytes& jpeg, uint8_t kind)
{
    std::vector<size_t> found;
    for (size_t i = 2; i + 3 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == kind)
            found.push_back(i);
    return found;
}

// A small frame whose start-of-frame announces another size.
Bytes announcing(int width, int height)
{
    Bytes jpeg = patternJpeg(8, 8);
    const uint8_t size[] = {uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8), uint8_t(width)};
    std::copy(std::begin(size), std::end(size), jpeg.begin() + long(markers(jpeg, 0xC0).at(0)) + 5);
    return jpeg;
}

// A progressive frame with its last scan repeated until it has `scans` in all.
Bytes repeatedScans(int scans)
{
    JpegSettings settings;
    settings.progressive = true;
    const Bytes jpeg = patternJpeg(64, 64, settings);
    const size_t last = markers(jpeg, 0xDA).back();
    Bytes frame(jpeg.begin(), jpeg.end() - 2);  // up to the end marker
    for (size_t i = markers(jpeg, 0xDA).size(); i < size_t(scans); ++i)
        frame.insert(frame.end(), jpeg.begin() + long(last), jpeg.end() - 2);
    frame.insert(frame.end(), {0xFF, JPEG_EOI});
    EXPECT_EQ(markers(frame, 0xDA).size(), size_t(scans));
    return frame;
}

TEST(JpegDecoder, RefusedAndSkippedFrames)
{
    const Bytes small = patternJpeg(16, 16);
    const size_t sof = markers(small, 0xC0).at(0);
    const uint8_t cmyk[8 * 8 * 4] = {};
    JpegSettings asCmyk;
    asCmyk.input = JCS_CMYK;
    const int32_t side = 4096;  // 4096 x 4096 x 4 bytes is the cap itself
    const Bytes overScans = repeatedScans(kMaxScans + 1);
    const struct {
        const char* name;
        Bytes jpeg;
        DecodeResult result;
        int calls;  // how often pixel memory is asked for
        bool refuse;
    } cases[] = {
        {"empty", {}, DecodeResult::Failed, 0, false},
        {"comment of 64 KB in 8 bytes", {0xFF, 0xD8, 0xFF, 0xFE, 0xFF, 0xFF, 'h', 'i'}, DecodeResult::Failed, 0, false},
        {"start of frame cut", Bytes(small.begin(), small.begin() + long(sof) + 6), DecodeResult::Failed, 0, false},
        {"CMYK", makeJpeg(cmyk, 8, 8, asCmyk), DecodeResult::Skipped, 0, false},
        {"over the byte cap", announcing(side, side + 1), DecodeResult::Skipped, 0, false},
        {"far over the byte cap", announcing(65000, 65000), DecodeResult::Skipped, 0, false},
        {"at the byte cap", announcing(side, side), DecodeResult::Skipped, 1, true},
        {"target without memory", small, DecodeResult::Skipped, 1, true},
        {"at the scan limit", repeatedScans(kMaxScans), DecodeResult::Decoded, 1, false},
        {"over the scan limit", overScans, DecodeResult::Failed, 1, false},
    };
    for (const auto& c : cases)
        for (OutputPath path : {OutputPath::BgrRows, OutputPath::RgbSwap}) {
            MemoryTarget target;
            target.refuse = c.refuse;
            EXPECT_EQ(decode(c.jpeg, target, path), c.result) << c.name;
            EXPECT_EQ(target.calls, c.calls) << c.name;
        }
    // The scan limit's own message follows the library's way of saying why.
    MemoryTarget over;
    testing::internal::CaptureStderr();
    decodeJpegFrame(overScans.data(), overScans.size(), over);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("more than 500 scans"), std::string::npos);
}

// Against djpeg: pixels written by code nobody here wrote.
Bytes output(const std::string& command)
{
    Bytes out;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    for (int c; (c = fgetc(pipe)) != EOF;)
        out.push_back(uint8_t(c));
    pclose(pipe);
    return out;
}

// The library's own frames (Huffman and arithmetic coded, one cut off in its data: the
// rest comes out grey) and cjpeg's, in both formats: every colour byte as djpeg writes
// it, 24-bit rows padded with zeros and the unused byte 0xFF.
TEST(JpegDecoder, MatchesDjpegInEveryByte)
{
    for (std::string source :
         {"cat testorig.jpg", "cat testimgari.jpg", "cat testimgint.jpg", "head -c 3000 testorig.jpg",
          "cjpeg -progressive testorig.ppm", "cjpeg -restart 1 testorig.ppm", "cjpeg -sample 1x1 testorig.ppm",
          "cjpeg -sample 2x1 testorig.ppm", "cjpeg -grayscale testorig.ppm"}) {
        SCOPED_TRACE(source);
        source = "cd '" TAVIMO_CACHE_DIR "'/src/libjpeg-turbo-*/testimages && " + source;
        const Bytes jpeg = output(source), pnm = output(source + " | djpeg -pnm");
        ASSERT_FALSE(pnm.empty());
        // Binary PPM or PGM: a text header, then top-down RGB or grey samples.
        std::istringstream in(std::string(pnm.begin(), pnm.end()));
        std::string magic;
        size_t width = 0, height = 0, maximum = 0;
        in >> magic >> width >> height >> maximum;
        const size_t components = magic == "P6" ? 3 : 1, start = size_t(in.tellg()) + 1;
        ASSERT_EQ(pnm.size() - start, width * height * components);
        for (PixelFormat format : {PixelFormat::Bgrx32, PixelFormat::Bgr24}) {
            const Bytes ours = decodeAllWays(jpeg, format);
            const size_t stride = size_t(bitmapStride(int32_t(width), format)), bytes = size_t(bytesPerPixel(format));
            ASSERT_EQ(ours.size(), stride * height);
            size_t differing = 0;
            for (size_t i = 0; i < ours.size(); ++i) {
                const size_t y = height - 1 - i / stride, x = i % stride / bytes, c = i % stride % bytes;
                const size_t sample = start + (y * width + x) * components + (components == 3 ? 2 - c : 0);
                differing += ours[i] != (x >= width ? 0 : c == 3 ? 0xFF : pnm[sample]);
            }
            EXPECT_EQ(differing, 0u) << "format " << int(format);
        }
    }
}

}  // namespace
