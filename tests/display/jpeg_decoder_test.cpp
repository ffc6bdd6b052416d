#include "display/jpeg_decoder.h"
#include "tests/support/make_jpeg.h"
#include "tests/support/memory_target.h"

#include <gtest/gtest.h>

#include <glob.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Filled beforehand, so bytes the decoder leaves alone show up.
struct BitmapTarget : MemoryTarget {
    BitmapTarget() { fill = 0xA5; }
};

DecodeResult decode(const std::vector<uint8_t>& jpeg, BitmapTarget& target, OutputPath path)
{
    DecodeOptions options;
    options.path = path;
    options.recoverErrors = true;
    return decodeJpegFrame(jpeg.data(), jpeg.size(), target, options);
}

// Decodes through both output paths and from two different fills of the target: the
// four results agree only if every byte is written and neither path differs.
std::vector<uint8_t> decodeAllWays(const std::vector<uint8_t>& jpeg)
{
    std::vector<uint8_t> first;
    for (OutputPath path : {OutputPath::BgrRows, OutputPath::RgbSwap}) {
        for (uint8_t fill : {uint8_t(0xA5), uint8_t(0x5A)}) {
            BitmapTarget target;
            target.fill = fill;
            EXPECT_EQ(decode(jpeg, target, path), DecodeResult::Decoded);
            EXPECT_EQ(target.calls, 1);
            if (first.empty())
                first = target.pixels;
            else
                EXPECT_TRUE(target.pixels == first)
                    << "path " << int(path) << ", fill " << int(fill);
        }
    }
    return first;
}

// The frame as the library itself hands it out: top-down RGB (or grey) scanlines.
struct LibraryImage {
    int width = 0, height = 0, components = 0;
    J_COLOR_SPACE space = JCS_UNKNOWN;
    std::vector<uint8_t> samples;
    const uint8_t* at(int x, int y) const
    {
        return &samples[(size_t(y) * size_t(width) + size_t(x)) * size_t(components)];
    }
};

LibraryImage libraryDecode(const std::vector<uint8_t>& jpeg)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    LibraryImage image;
    image.space = cinfo.jpeg_color_space;
    jpeg_start_decompress(&cinfo);
    image.width = int(cinfo.output_width);
    image.height = int(cinfo.output_height);
    image.components = cinfo.output_components;
    image.samples.resize(size_t(image.width) * image.height * image.components);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row
            = &image.samples[size_t(cinfo.output_scanline) * image.width * image.components];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return image;
}

// Blocks of one colour, 8x8 aligned, so a quality 100 frame without colour conversion
// gives back exactly these values.
const uint8_t kPalette[7][3] = {{200, 30, 60}, {10, 220, 90}, {40, 70, 250}, {255, 255, 255},
    {0, 0, 0}, {128, 64, 192}, {90, 180, 20}};

const uint8_t* blockColour(int x, int y)
{
    return kPalette[(x / 8 + 5 * (y / 8)) % 7];
}

std::vector<uint8_t> blockImage(int width, int height)
{
    std::vector<uint8_t> rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            rgb.insert(rgb.end(), blockColour(x, y), blockColour(x, y) + 3);
    return rgb;
}

struct LayoutCase {
    int32_t width;
    int32_t height;
    size_t rowBytes;
};

class PixelLayout : public testing::TestWithParam<LayoutCase> { };

TEST_P(PixelLayout, RowsBottomUpInBgrWithZeroPadding)
{
    const LayoutCase c = GetParam();
    ASSERT_EQ(size_t(bitmapStride(c.width)), c.rowBytes);
    const std::vector<uint8_t> rgb = blockImage(c.width, c.height);

    JpegSettings exact;  // RGB stored as is: no colour conversion to round
    exact.stored = JCS_RGB;
    JpegSettings usual;  // what a server sends: YCbCr, chroma halved both ways
    usual.quality = 85;
    usual.hSample = usual.vSample = 2;
    JpegSettings grey;  // must come out with blue, green and red equal
    grey.input = JCS_GRAYSCALE;
    std::vector<uint8_t> greyPixels;
    for (size_t i = 1; i < rgb.size(); i += 3)
        greyPixels.push_back(rgb[i]);

    for (const JpegSettings& settings : {exact, usual, grey}) {
        const bool isGrey = settings.input == JCS_GRAYSCALE;
        SCOPED_TRACE(isGrey ? "grey" : settings.stored == JCS_RGB ? "RGB q100" : "YCbCr 4:2:0");
        const std::vector<uint8_t> jpeg
            = makeJpeg(isGrey ? greyPixels.data() : rgb.data(), c.width, c.height, settings);
        const LibraryImage library = libraryDecode(jpeg);
        ASSERT_EQ(library.components, componentsOf(settings.input));
        const std::vector<uint8_t> ours = decodeAllWays(jpeg);
        ASSERT_EQ(ours.size(), c.rowBytes * size_t(c.height));

        for (int y = 0; y < c.height; ++y) {
            const uint8_t* row = &ours[size_t(c.height - 1 - y) * c.rowBytes];
            for (int x = 0; x < c.width; ++x) {
                const uint8_t* want = library.at(x, y);
                const uint8_t* got = row + 3 * x;
                const bool same = library.components == 1
                    ? got[0] == want[0] && got[1] == want[0] && got[2] == want[0]
                    : got[0] == want[2] && got[1] == want[1] && got[2] == want[0];
                ASSERT_TRUE(same) << "pixel " << x << "," << y;
            }
            for (size_t pad = size_t(c.width) * 3; pad < c.rowBytes; ++pad)
                ASSERT_EQ(row[pad], 0) << "padding of row " << y;
        }
        if (settings.stored == JCS_RGB) {
            const uint8_t* topLeft = blockColour(0, 0);
            const uint8_t* bottomLeft = blockColour(0, c.height - 1);
            const uint8_t* lastRow = &ours[size_t(c.height - 1) * c.rowBytes];
            EXPECT_EQ(std::vector<uint8_t>(lastRow, lastRow + 3),
                (std::vector<uint8_t>{topLeft[2], topLeft[1], topLeft[0]}));
            EXPECT_EQ(std::vector<uint8_t>(ours.begin(), ours.begin() + 3),
                (std::vector<uint8_t>{bottomLeft[2], bottomLeft[1], bottomLeft[0]}));
        }
    }
}

// Heights past one row batch and not a multiple of the block size.
INSTANTIATE_TEST_SUITE_P(Widths, PixelLayout,
    testing::Values(LayoutCase{1, 13, 4}, LayoutCase{2, 16, 8}, LayoutCase{3, 21, 12},
        LayoutCase{640, 40, 1920}));

// Offset of the first entropy-coded byte: just past the start-of-scan segment.
size_t entropyStart(const std::vector<uint8_t>& jpeg)
{
    for (size_t i = 2; i + 3 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA)
            return i + 2 + (size_t(jpeg[i + 2]) << 8 | jpeg[i + 3]);
    return 0;
}

TEST(JpegDecoder, FrameCutInItsDataStillDecodesAtFullSize)
{
    const int width = 64, height = 64;
    std::vector<uint8_t> rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            rgb.insert(rgb.end(), {uint8_t(x * 4), uint8_t(y * 4), uint8_t((x ^ y) * 4)});
    JpegSettings settings;
    settings.quality = 90;
    const std::vector<uint8_t> whole = makeJpeg(rgb.data(), width, height, settings);
    const size_t data = entropyStart(whole);
    ASSERT_GT(data, 0u);
    const std::vector<uint8_t> cut(whole.begin(), whole.begin() + data + (whole.size() - data) / 2);

    const std::vector<uint8_t> full = decodeAllWays(whole);
    const std::vector<uint8_t> partial = decodeAllWays(cut);
    ASSERT_EQ(partial.size(), full.size());
    // The first band of blocks came in whole; the tail did not.
    const size_t stride = size_t(bitmapStride(width));
    const size_t firstBand = 16 * stride;  // 4:2:0 blocks are 16 rows high
    EXPECT_TRUE(std::equal(full.end() - firstBand, full.end(), partial.end() - firstBand));
    EXPECT_FALSE(std::equal(full.begin(), full.begin() + stride, partial.begin()));
}

TEST(JpegDecoder, NotAJpegFailsWithoutAskingForPixels)
{
    std::vector<std::vector<uint8_t>> bodies = {
        {},
        {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0},
        {0xFF, 0xD8, 0x00, 0x11, 0x22, 0x33},
        // A comment claiming 64 KB, in a frame of eight bytes.
        {0xFF, 0xD8, 0xFF, 0xFE, 0xFF, 0xFF, 'h', 'i'},
    };
    // A real frame whose start-of-frame is cut off in the middle.
    const std::vector<uint8_t> rgb = blockImage(16, 16);
    const std::vector<uint8_t> jpeg = makeJpeg(rgb.data(), 16, 16);
    const uint8_t sofMarker[] = {0xFF, 0xC0};
    const auto sof
        = std::search(jpeg.begin(), jpeg.end(), std::begin(sofMarker), std::end(sofMarker));
    ASSERT_NE(sof, jpeg.end());
    bodies.emplace_back(jpeg.begin(), sof + 6);

    for (size_t i = 0; i < bodies.size(); ++i) {
        for (OutputPath path : {OutputPath::BgrRows, OutputPath::RgbSwap}) {
            BitmapTarget target;
            EXPECT_EQ(decode(bodies[i], target, path), DecodeResult::Failed) << "body " << i;
            EXPECT_EQ(target.calls, 0) << "body " << i;
        }
    }
}

TEST(JpegDecoder, FourComponentFramesAreSkippedUntouched)
{
    const int width = 16, height = 16;
    std::vector<uint8_t> cmyk(size_t(width) * height * 4);
    for (size_t i = 0; i < cmyk.size(); ++i)
        cmyk[i] = uint8_t(i * 31);
    for (J_COLOR_SPACE stored : {JCS_CMYK, JCS_YCCK}) {
        JpegSettings settings;
        settings.input = JCS_CMYK;
        settings.stored = stored;
        const std::vector<uint8_t> jpeg = makeJpeg(cmyk.data(), width, height, settings);
        ASSERT_EQ(libraryDecode(jpeg).space, stored);  // the frame is what the test means
        for (OutputPath path : {OutputPath::BgrRows, OutputPath::RgbSwap}) {
            BitmapTarget target;
            EXPECT_EQ(decode(jpeg, target, path), DecodeResult::Skipped);
            EXPECT_EQ(target.calls, 0);
        }
    }
}

TEST(JpegDecoder, TargetIsAskedOnceAndMaySkip)
{
    const std::vector<uint8_t> rgb = blockImage(24, 10);
    const std::vector<uint8_t> jpeg = makeJpeg(rgb.data(), 24, 10);
    for (OutputPath path : {OutputPath::BgrRows, OutputPath::RgbSwap}) {
        BitmapTarget target;
        target.refuse = true;
        EXPECT_EQ(decode(jpeg, target, path), DecodeResult::Skipped);
        EXPECT_EQ(target.calls, 1);
        EXPECT_EQ(target.width, 24);
        EXPECT_EQ(target.height, 10);
    }
}

// The start-of-frame of a small frame rewritten to announce another size.
std::vector<uint8_t> announcing(int width, int height)
{
    const std::vector<uint8_t> rgb = blockImage(8, 8);
    std::vector<uint8_t> jpeg = makeJpeg(rgb.data(), 8, 8);
    const uint8_t sofMarker[] = {0xFF, 0xC0};
    auto sof = std::search(jpeg.begin(), jpeg.end(), std::begin(sofMarker), std::end(sofMarker));
    EXPECT_NE(sof, jpeg.end());
    sof[5] = uint8_t(height >> 8);
    sof[6] = uint8_t(height);
    sof[7] = uint8_t(width >> 8);
    sof[8] = uint8_t(width);
    return jpeg;
}

TEST(JpegDecoder, FramesOverTheSideLimitAreSkipped)
{
    for (auto [width, height] : {std::pair{kMaxFrameSide + 1, 8}, std::pair{8, kMaxFrameSide + 1},
             std::pair{40000, 30000}}) {
        BitmapTarget target;
        EXPECT_EQ(
            decode(announcing(width, height), target, OutputPath::BgrRows), DecodeResult::Skipped);
        EXPECT_EQ(target.calls, 0) << width << "x" << height;
    }
    // The limit itself is still drawn.
    BitmapTarget target;
    target.refuse = true;
    decode(announcing(kMaxFrameSide, kMaxFrameSide), target, OutputPath::BgrRows);
    EXPECT_EQ(target.calls, 1);
    EXPECT_EQ(target.width, kMaxFrameSide);
    EXPECT_EQ(target.height, kMaxFrameSide);
}

TEST(MemorySource, SkipPastTheEndEmptiesItAndEndOfImageFollows)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&cinfo);
    // Start of image, then a comment whose length runs 14 bytes past the frame's end.
    const std::vector<uint8_t> frame = {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x15, 'a', 'b', 'c'};
    setMemorySource(&cinfo, frame.data(), frame.size());
    jpeg_source_mgr* source = cinfo.src;
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->next_input_byte, frame.data());
    EXPECT_EQ(source->bytes_in_buffer, frame.size());

    source->skip_input_data(&cinfo, 6);
    EXPECT_EQ(source->next_input_byte, frame.data() + 6);
    EXPECT_EQ(source->bytes_in_buffer, 3u);
    source->skip_input_data(&cinfo, -1);
    EXPECT_EQ(source->bytes_in_buffer, 3u);
    source->skip_input_data(&cinfo, 0x15 - 2);
    EXPECT_EQ(source->bytes_in_buffer, 0u);

    for (int read = 0; read < 2; ++read) {  // as often as asked
        ASSERT_TRUE(source->fill_input_buffer(&cinfo));
        ASSERT_EQ(source->bytes_in_buffer, 2u);
        EXPECT_EQ(source->next_input_byte[0], 0xFF);
        EXPECT_EQ(source->next_input_byte[1], JPEG_EOI);
        source->skip_input_data(&cinfo, 5);
        EXPECT_EQ(source->bytes_in_buffer, 0u);
    }

    // A second frame reuses the manager.
    setMemorySource(&cinfo, frame.data() + 2, 4);
    EXPECT_EQ(cinfo.src, source);
    EXPECT_EQ(source->next_input_byte, frame.data() + 2);
    EXPECT_EQ(source->bytes_in_buffer, 4u);
    jpeg_destroy_decompress(&cinfo);
}

// --- Against djpeg -bmp: a bottom-up BGR bitmap written by code nobody here wrote. ---

std::vector<uint8_t> readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

int run(const std::string& command)
{
    int status = std::system((command + " 2>/dev/null").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The pixels of a 24-bit or 8-bit palette BMP in our layout; empty if it is neither.
std::vector<uint8_t> bmpPixels(const std::vector<uint8_t>& bmp, int32_t& width, int32_t& height)
{
    auto le = [&](size_t at, int bytes) {
        uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i)
            v = v << 8 | bmp.at(at + size_t(i));
        return v;
    };
    if (bmp.size() < 54 || bmp[0] != 'B' || bmp[1] != 'M') return {};
    const size_t dataOffset = le(10, 4);
    const size_t infoSize = le(14, 4);
    width = int32_t(le(18, 4));
    height = int32_t(le(22, 4));
    const unsigned bits = le(28, 2);
    const unsigned compression = le(30, 4);
    if (width <= 0 || height <= 0 || compression != 0)  // bottom-up, uncompressed only
        return {};
    const size_t stride = size_t(bitmapStride(width));
    std::vector<uint8_t> out(stride * size_t(height), 0);
    if (bits == 24) {
        if (dataOffset + out.size() > bmp.size()) return {};
        std::copy_n(bmp.begin() + std::ptrdiff_t(dataOffset), out.size(), out.begin());
        return out;
    }
    if (bits != 8) return {};
    const size_t palette = 14 + infoSize;
    const size_t sourceStride = (size_t(width) + 3) / 4 * 4;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const size_t entry = palette + 4 * size_t(bmp.at(dataOffset + y * sourceStride + x));
            std::copy_n(bmp.begin() + std::ptrdiff_t(entry), 3, out.begin() + y * stride + 3 * x);
        }
    return out;
}

std::string libjpegTestImages()
{
    glob_t found;
    std::string folder;
    if (glob(TAVIMO_CACHE_DIR "/src/libjpeg-turbo-*/testimages/", 0, nullptr, &found) == 0)
        folder = found.gl_pathv[0];
    globfree(&found);
    return folder;
}

TEST(JpegDecoder, MatchesDjpegBmpByteForByte)
{
    const std::string images = libjpegTestImages();
    if (images.empty())
        GTEST_SKIP() << "libjpeg-turbo's source is not unpacked under " TAVIMO_CACHE_DIR "/src";

    char dirTemplate[] = "/tmp/tavimo-djpeg-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const fs::path dir = dirTemplate;
    struct Cleanup {
        fs::path dir;
        ~Cleanup() { fs::remove_all(dir); }  // also when an assertion ends the test
    } cleanup{dir};

    std::vector<fs::path> frames;
    for (const auto& entry : fs::directory_iterator(images))
        if (entry.path().extension() == ".jpg") frames.push_back(entry.path());
    std::sort(frames.begin(), frames.end());
    ASSERT_FALSE(frames.empty());

    const std::pair<const char*, const char*> variants[] = {
        {"baseline", ""},
        {"progressive", "-progressive"},
        {"restart", "-restart 1"},
        {"444", "-sample 1x1"},
        {"422", "-sample 2x1"},
        {"420", "-sample 2x2"},
        {"grey", "-grayscale"},
    };
    for (const auto& [name, switches] : variants) {
        const fs::path made = dir / (std::string("cjpeg-") + name + ".jpg");
        ASSERT_EQ(run(std::string("cjpeg ") + switches + " -outfile '" + made.string() + "' '"
                      + images + "testorig.ppm'"),
            0)
            << name;
        frames.push_back(made);
    }

    int compared = 0, refused = 0;
    for (const fs::path& frame : frames) {
        SCOPED_TRACE(frame.filename().string());
        const std::vector<uint8_t> jpeg = readFile(frame);
        ASSERT_FALSE(jpeg.empty());
        const fs::path bmpFile = dir / "out.bmp";
        fs::remove(bmpFile);
        if (run("djpeg -bmp -outfile '" + bmpFile.string() + "' '" + frame.string() + "'") != 0) {
            ++refused;
            for (OutputPath path : {OutputPath::BgrRows, OutputPath::RgbSwap}) {
                BitmapTarget target;
                EXPECT_EQ(decode(jpeg, target, path), DecodeResult::Failed);
            }
            continue;
        }
        int32_t width = 0, height = 0;
        const std::vector<uint8_t> expected = bmpPixels(readFile(bmpFile), width, height);
        ASSERT_FALSE(expected.empty()) << "unexpected BMP from djpeg";
        for (OutputPath path : {OutputPath::BgrRows, OutputPath::RgbSwap}) {
            BitmapTarget target;
            ASSERT_EQ(decode(jpeg, target, path), DecodeResult::Decoded);
            ASSERT_EQ(target.width, width);
            ASSERT_EQ(target.height, height);
            EXPECT_TRUE(target.pixels == expected) << "path " << int(path);
        }
        ++compared;
    }
    // The 12-bit frame is the one djpeg turns down; everything else was compared.
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(compared + refused, int(frames.size()));
}

}  // namespace
