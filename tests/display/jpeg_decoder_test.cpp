#include "display/jpeg_decoder.h"
#include "tests/support/make_jpeg.h"
#include "tests/support/memory_target.h"

#include <gtest/gtest.h>

#include <glob.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

DecodeResult decode(const Bytes& jpeg, MemoryTarget& target, OutputPath path = OutputPath::BgrRows,
                    PixelFormat format = PixelFormat::Bgrx32, bool quiet = true)
{
    DecodeOptions options;
    options.path = path;
    options.format = format;
    options.quiet = quiet;
    return decodeJpegFrame(jpeg.data(), jpeg.size(), target, options);
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
            EXPECT_EQ(target.calls, 1);
            if (first.empty())
                first = target.pixels;
            EXPECT_TRUE(target.pixels == first) << "path " << int(path) << ", fill " << fill;
        }
    return first;
}

Bytes gradientJpeg(int width, int height)
{
    Bytes rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            rgb.insert(rgb.end(), {uint8_t(x * 4), uint8_t(y * 4), uint8_t((x ^ y) * 4)});
    JpegSettings settings;
    settings.quality = 90;
    return makeJpeg(rgb.data(), width, height, settings);
}

struct LayoutCase {
    PixelFormat format;
    int32_t width, height, stride;
};

class PixelLayout : public testing::TestWithParam<LayoutCase> {};

// Which colour goes where is djpeg's to say (below); here: every byte written, the unused
// byte 0xFF and 24-bit rows padded with zeros.
TEST_P(PixelLayout, EveryByteWrittenAndTheRestFilledIn)
{
    const LayoutCase c = GetParam();
    ASSERT_EQ(bitmapStride(c.width, c.format), c.stride);
    const Bytes ours = decodeAllWays(gradientJpeg(c.width, c.height), c.format);
    ASSERT_EQ(ours.size(), size_t(c.stride) * size_t(c.height));
    const int bytes = bytesPerPixel(c.format);
    for (size_t i = 0; i < ours.size(); ++i) {
        const int column = int(i % size_t(c.stride));
        if (column >= c.width * bytes)
            ASSERT_EQ(ours[i], 0) << "padding at " << i;
        else if (bytes == 4 && column % 4 == 3)
            ASSERT_EQ(ours[i], 0xFF) << "unused byte at " << i;
    }
}

// Heights past one row batch and not a multiple of the block size.
INSTANTIATE_TEST_SUITE_P(Formats, PixelLayout,
                         testing::Values(LayoutCase{PixelFormat::Bgrx32, 1, 13, 4},
                                         LayoutCase{PixelFormat::Bgrx32, 640, 40, 2560},
                                         LayoutCase{PixelFormat::Bgr24, 1, 13, 4},
                                         LayoutCase{PixelFormat::Bgr24, 2, 16, 8},
                                         LayoutCase{PixelFormat::Bgr24, 3, 21, 12}));

// Where each scan's header is.
std::vector<size_t> scanStarts(const Bytes& jpeg)
{
    std::vector<size_t> starts;
    for (size_t i = 2; i + 3 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA)
            starts.push_back(i);
    return starts;
}

TEST(JpegDecoder, FrameCutInItsDataStillDecodesAtFullSize)
{
    const int side = 64;
    const Bytes whole = gradientJpeg(side, side);
    const size_t sos = scanStarts(whole).at(0);
    const size_t data = sos + 2 + size_t(whole[sos + 2] << 8 | whole[sos + 3]);
    const Bytes cut(whole.begin(), whole.begin() + data + (whole.size() - data) / 2);
    const Bytes full = decodeAllWays(whole), partial = decodeAllWays(cut);
    ASSERT_EQ(partial.size(), full.size());
    // The first band of 16 rows came in whole (the top, last in memory); the end did not.
    const size_t band = 16 * size_t(bitmapStride(side));
    EXPECT_TRUE(std::equal(full.end() - band, full.end(), partial.end() - band));
    EXPECT_FALSE(std::equal(full.begin(), full.begin() + band, partial.begin()));
}

// The start-of-frame of a small frame rewritten to announce another size.
Bytes announcing(int width, int height)
{
    Bytes jpeg = gradientJpeg(8, 8);
    const uint8_t sofMarker[] = {0xFF, 0xC0};
    auto sof = std::search(jpeg.begin(), jpeg.end(), std::begin(sofMarker), std::end(sofMarker));
    sof[5] = uint8_t(height >> 8);
    sof[6] = uint8_t(height);
    sof[7] = uint8_t(width >> 8);
    sof[8] = uint8_t(width);
    return jpeg;
}

Bytes cmykJpeg(J_COLOR_SPACE stored)
{
    Bytes cmyk(16 * 16 * 4);
    for (size_t i = 0; i < cmyk.size(); ++i)
        cmyk[i] = uint8_t(i * 31);
    JpegSettings settings;
    settings.input = JCS_CMYK;
    settings.stored = stored;
    return makeJpeg(cmyk.data(), 16, 16, settings);
}

TEST(JpegDecoder, RefusedAndSkippedFrames)
{
    const Bytes small = gradientJpeg(16, 16);
    const uint8_t sofMarker[] = {0xFF, 0xC0};
    const auto sof = std::search(small.begin(), small.end(), std::begin(sofMarker), std::end(sofMarker));
    const int32_t side = 4096;  // 4096 x 4096 x 4 bytes is the cap itself
    struct Case {
        const char* name;
        Bytes jpeg;
        DecodeResult result;
        int calls;  // how often pixel memory is asked for
        bool refuse = false;
    } cases[] = {
        {"empty", {}, DecodeResult::Failed, 0},
        {"GIF", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0}, DecodeResult::Failed, 0},
        {"no marker after SOI", {0xFF, 0xD8, 0x00, 0x11, 0x22, 0x33}, DecodeResult::Failed, 0},
        {"comment of 64 KB in 8 bytes", {0xFF, 0xD8, 0xFF, 0xFE, 0xFF, 0xFF, 'h', 'i'}, DecodeResult::Failed, 0},
        {"start of frame cut", Bytes(small.begin(), sof + 6), DecodeResult::Failed, 0},
        {"CMYK", cmykJpeg(JCS_CMYK), DecodeResult::Skipped, 0},
        {"YCCK", cmykJpeg(JCS_YCCK), DecodeResult::Skipped, 0},
        {"over the byte cap", announcing(side, side + 1), DecodeResult::Skipped, 0},
        {"far over the byte cap", announcing(65000, 65000), DecodeResult::Skipped, 0},
        {"at the byte cap", announcing(side, side), DecodeResult::Skipped, 1, true},
        {"target without memory", small, DecodeResult::Skipped, 1, true},
    };
    for (const Case& c : cases)
        for (OutputPath path : {OutputPath::BgrRows, OutputPath::RgbSwap}) {
            MemoryTarget target;
            target.refuse = c.refuse;
            EXPECT_EQ(decode(c.jpeg, target, path), c.result) << c.name;
            EXPECT_EQ(target.calls, c.calls) << c.name;
        }
}

// A progressive frame with its last scan repeated until it has `scans` in all.
Bytes repeatedScans(int scans)
{
    Bytes rgb(64 * 64 * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = uint8_t(i * 7);
    JpegSettings settings;
    settings.progressive = true;
    const Bytes jpeg = makeJpeg(rgb.data(), 64, 64, settings);
    const std::vector<size_t> starts = scanStarts(jpeg);
    const Bytes last(jpeg.begin() + starts.back(), jpeg.end() - 2);  // up to the end marker
    Bytes frame(jpeg.begin(), jpeg.end() - 2);
    for (int i = int(starts.size()); i < scans; ++i)
        frame.insert(frame.end(), last.begin(), last.end());
    frame.insert(frame.end(), {0xFF, JPEG_EOI});
    EXPECT_EQ(scanStarts(frame).size(), size_t(scans));
    return frame;
}

TEST(JpegDecoder, ProgressiveFrameOverTheScanLimitIsRefusedSayingWhy)
{
    MemoryTarget atLimit;
    EXPECT_EQ(decode(repeatedScans(kMaxScans), atLimit), DecodeResult::Decoded);
    MemoryTarget over;
    testing::internal::CaptureStderr();
    EXPECT_EQ(decode(repeatedScans(kMaxScans + 1), over, OutputPath::BgrRows, PixelFormat::Bgrx32, false),
              DecodeResult::Failed);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("more than 500 scans"), std::string::npos);
}

// --- Against djpeg: pixels written by code nobody here wrote. ---

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

int run(const std::string& command)
{
    int status = std::system((command + " 2>/dev/null").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(JpegDecoder, MatchesDjpegInEveryColourByte)
{
    glob_t found;
    if (glob(TAVIMO_CACHE_DIR "/src/libjpeg-turbo-*/testimages/", 0, nullptr, &found) != 0)
        GTEST_SKIP() << "libjpeg-turbo's source is not unpacked under " TAVIMO_CACHE_DIR "/src";
    const std::string images = found.gl_pathv[0];
    globfree(&found);
    char dirTemplate[] = "/tmp/tavimo-djpeg-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    struct Cleanup {
        fs::path dir;
        ~Cleanup() { fs::remove_all(dir); }
    } cleanup{dirTemplate};

    std::vector<fs::path> frames;
    for (const auto& entry : fs::directory_iterator(images))
        if (entry.path().extension() == ".jpg")
            frames.push_back(entry.path());
    for (const char* switches : {"-progressive", "-restart 1", "-sample 1x1", "-sample 2x1", "-sample 2x2",
                                 "-grayscale"}) {
        frames.push_back(cleanup.dir / ("cjpeg" + std::to_string(frames.size()) + ".jpg"));
        ASSERT_EQ(run(std::string("cjpeg ") + switches + " -outfile '" + frames.back().string() + "' '" +
                      images + "testorig.ppm'"),
                  0);
    }
    int refused = 0;
    for (const fs::path& frame : frames) {
        SCOPED_TRACE(frame.filename().string());
        // Binary PPM or PGM: a text header, then top-down RGB or grey samples.
        const fs::path pnm = cleanup.dir / "out.pnm";
        const bool readable = run("djpeg -pnm -outfile '" + pnm.string() + "' '" + frame.string() + "'") == 0;
        refused += !readable;
        std::ifstream in(pnm, std::ios::binary);
        std::string magic;
        int width = 0, height = 0, maximum = 0;
        in >> magic >> width >> height >> maximum;
        in.get();
        const Bytes samples((std::istreambuf_iterator<char>(in)), {});
        const size_t components = magic == "P6" ? 3 : 1;
        for (OutputPath path : {OutputPath::BgrRows, OutputPath::RgbSwap}) {
            MemoryTarget target;
            ASSERT_EQ(decode(readFile(frame), target, path), readable ? DecodeResult::Decoded : DecodeResult::Failed);
            if (!readable)
                continue;
            ASSERT_EQ(samples.size(), size_t(width) * size_t(height) * components);
            ASSERT_EQ(target.width, width);
            ASSERT_EQ(target.height, height);
            size_t differing = 0;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    const uint8_t* rgb = &samples[(size_t(y) * size_t(width) + size_t(x)) * components];
                    const uint8_t* bgr = target.at(x, y);
                    for (size_t c = 0; c < 3; ++c)
                        differing += bgr[c] != rgb[components == 3 ? 2 - c : 0];
                }
            EXPECT_EQ(differing, 0u) << "path " << int(path);
        }
    }
    EXPECT_EQ(refused, 1);  // the 12-bit frame, which djpeg turns down too
}

}  // namespace
