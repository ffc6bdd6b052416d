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

// Blocks of one colour, 8x8 aligned, so a quality 100 RGB frame gives back exactly these.
const uint8_t kPalette[7][3] = {{200, 30, 60}, {10, 220, 90}, {40, 70, 250}, {255, 255, 255},
                                {0, 0, 0},     {128, 64, 192}, {90, 180, 20}};
const uint8_t* blockColour(int x, int y) { return kPalette[(x / 8 + 5 * (y / 8)) % 7]; }

Bytes blockJpeg(int width, int height)
{
    Bytes rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            rgb.insert(rgb.end(), blockColour(x, y), blockColour(x, y) + 3);
    JpegSettings exact;
    exact.stored = JCS_RGB;
    return makeJpeg(rgb.data(), width, height, exact);
}

struct LayoutCase {
    PixelFormat format;
    int32_t width, height, stride;
};

class PixelLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(PixelLayout, RowsBottomUpInBgrOrder)
{
    const LayoutCase c = GetParam();
    const int bytes = bytesPerPixel(c.format);
    ASSERT_EQ(bitmapStride(c.width, c.format), c.stride);
    const Bytes ours = decodeAllWays(blockJpeg(c.width, c.height), c.format);
    ASSERT_EQ(ours.size(), size_t(c.stride) * size_t(c.height));
    for (int y = 0; y < c.height; ++y) {
        const uint8_t* row = &ours[size_t(c.height - 1 - y) * size_t(c.stride)];
        for (int x = 0; x < c.width; ++x) {
            const uint8_t* want = blockColour(x, y);
            const uint8_t* got = row + bytes * x;
            ASSERT_EQ(Bytes(got, got + 3), (Bytes{want[2], want[1], want[0]})) << x << "," << y;
            if (bytes == 4)
                ASSERT_EQ(got[3], 0xFF) << x << "," << y;
        }
        for (int pad = c.width * bytes; pad < c.stride; ++pad)
            ASSERT_EQ(row[pad], 0) << "padding of row " << y;
    }
}

// Heights past one row batch and not a multiple of the block size; 24-bit rows padded.
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
    Bytes rgb;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            rgb.insert(rgb.end(), {uint8_t(x * 4), uint8_t(y * 4), uint8_t((x ^ y) * 4)});
    JpegSettings settings;
    settings.quality = 90;
    const Bytes whole = makeJpeg(rgb.data(), side, side, settings);
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
    Bytes jpeg = blockJpeg(8, 8);
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
    const Bytes small = blockJpeg(16, 16);
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

TEST(MemorySource, SkipPastTheEndEmptiesItAndEndOfImageFollows)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&cinfo);
    // Start of image, then a comment whose length runs 14 bytes past the frame's end.
    const Bytes frame = {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x15, 'a', 'b', 'c'};
    setMemorySource(&cinfo, frame.data(), frame.size());
    jpeg_source_mgr* source = cinfo.src;
    source->skip_input_data(&cinfo, 6);
    EXPECT_EQ(source->next_input_byte, frame.data() + 6);
    source->skip_input_data(&cinfo, -1);
    EXPECT_EQ(source->bytes_in_buffer, 3u);
    source->skip_input_data(&cinfo, 0x15 - 2);
    EXPECT_EQ(source->bytes_in_buffer, 0u);
    for (int read = 0; read < 2; ++read) {  // as often as asked
        ASSERT_TRUE(source->fill_input_buffer(&cinfo));
        ASSERT_EQ(Bytes(source->next_input_byte, source->next_input_byte + source->bytes_in_buffer),
                  (Bytes{0xFF, JPEG_EOI}));
        source->skip_input_data(&cinfo, 5);
        EXPECT_EQ(source->bytes_in_buffer, 0u);
    }
    jpeg_destroy_decompress(&cinfo);
}

// --- Against djpeg -bmp: pixels written by code nobody here wrote. ---

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

// A bottom-up 24-bit or 8-bit palette BMP as blue, green, red per pixel, top row first.
Bytes bmpColours(const Bytes& bmp, int32_t& width, int32_t& height)
{
    auto le = [&](size_t at, int bytes) {
        uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i)
            v = v << 8 | bmp.at(at + size_t(i));
        return v;
    };
    width = int32_t(le(18, 4));
    height = int32_t(le(22, 4));
    const unsigned bits = le(28, 2);
    const size_t data = le(10, 4), palette = 14 + le(14, 4);
    const size_t stride = (size_t(width) * bits / 8 + 3) / 4 * 4;
    Bytes out;
    for (int32_t y = height - 1; y >= 0; --y)
        for (int32_t x = 0; x < width; ++x) {
            size_t at = data + size_t(y) * stride + size_t(x) * bits / 8;
            if (bits == 8)
                at = palette + 4 * size_t(bmp.at(at));
            out.insert(out.end(), bmp.begin() + std::ptrdiff_t(at), bmp.begin() + std::ptrdiff_t(at + 3));
        }
    return out;
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
                  0)
            << switches;
    }

    int refused = 0;
    for (const fs::path& frame : frames) {
        SCOPED_TRACE(frame.filename().string());
        const Bytes jpeg = readFile(frame);
        const fs::path bmpFile = cleanup.dir / "out.bmp";
        const bool readable = run("djpeg -bmp -outfile '" + bmpFile.string() + "' '" + frame.string() + "'") == 0;
        refused += !readable;
        int32_t width = 0, height = 0;
        const Bytes expected = readable ? bmpColours(readFile(bmpFile), width, height) : Bytes();
        for (OutputPath path : {OutputPath::BgrRows, OutputPath::RgbSwap}) {
            MemoryTarget target;
            ASSERT_EQ(decode(jpeg, target, path), readable ? DecodeResult::Decoded : DecodeResult::Failed);
            if (!readable)
                continue;
            ASSERT_EQ(target.width, width);
            ASSERT_EQ(target.height, height);
            size_t differing = 0;
            for (int32_t y = 0; y < height; ++y)
                for (int32_t x = 0; x < width; ++x)
                    differing += !std::equal(target.at(x, y), target.at(x, y) + 3,
                                             &expected[(size_t(y) * size_t(width) + size_t(x)) * 3]);
            EXPECT_EQ(differing, 0u) << "path " << int(path);
        }
    }
    EXPECT_EQ(refused, 1);  // the 12-bit frame, which djpeg turns down too
}

}  // namespace
