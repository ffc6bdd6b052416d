#include "server/picture_source.h"

#include <cctype>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>

#include <jpeglib.h>

namespace {

struct PixelWriter {
    std::vector<uint8_t>& rgb;
    int width;
    int height;

    void fill(int x0, int y0, int w, int h, uint8_t r, uint8_t g, uint8_t b)
    {
        int x1 = std::min(width, x0 + w), y1 = std::min(height, y0 + h);
        for (int y = std::max(0, y0); y < y1; ++y)
            for (int x = std::max(0, x0); x < x1; ++x) {
                uint8_t* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
                p[0] = r;
                p[1] = g;
                p[2] = b;
            }
    }
};

// Bounces between 0 and `range` as `step` grows.
int bounce(uint64_t step, int range)
{
    if (range <= 0)
        return 0;
    uint64_t period = uint64_t(range) * 2;
    int phase = int(step % period);
    return phase <= range ? phase : int(period) - phase;
}

struct JpegErrorManager {
    jpeg_error_mgr base;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void jpegErrorExit(j_common_ptr cinfo)
{
    auto* manager = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, manager->message);
    longjmp(manager->jump, 1);
}

void jpegOutputMessage(j_common_ptr) {}

class PatternSource : public PictureSource {
public:
    PatternSource(PictureSize size, int quality, bool sizeChange, uint64_t changeAt, PictureSize changedTo)
        : size_(size), quality_(quality), sizeChange_(sizeChange), changeAt_(changeAt), changedTo_(changedTo)
    {
    }

    std::vector<uint8_t> frame(uint64_t index) override
    {
        PictureSize size = sizeChange_ && index >= changeAt_ ? changedTo_ : size_;
        std::vector<uint8_t> rgb = renderPattern(size.width, size.height, index);
        std::vector<uint8_t> jpeg;
        std::string error;
        if (!encodeJpeg(rgb.data(), size.width, size.height, quality_, jpeg, error)) {
            std::fprintf(stderr, "tavimo-server: JPEG encoding failed: %s\n", error.c_str());
            jpeg.clear();
        }
        return jpeg;
    }

private:
    PictureSize size_;
    int quality_;
    bool sizeChange_;
    uint64_t changeAt_;
    PictureSize changedTo_;
};

class FileSource : public PictureSource {
public:
    explicit FileSource(std::vector<std::vector<uint8_t>> files) : files_(std::move(files)) {}

    std::vector<uint8_t> frame(uint64_t index) override { return files_[size_t(index % files_.size())]; }

private:
    std::vector<std::vector<uint8_t>> files_;
};

bool hasJpegExtension(const std::filesystem::path& path)
{
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return ext == ".jpg" || ext == ".jpeg";
}

bool readWholeFile(const std::string& path, std::vector<uint8_t>& out, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open '" + path + "'";
        return false;
    }
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size < 0 || size > std::streamoff(INT32_MAX)) {
        error = "'" + path + "' is not a readable file of at most 2 GiB";
        return false;
    }
    in.seekg(0, std::ios::beg);
    out.resize(size_t(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(out.data()), size)) {
        error = "cannot read '" + path + "'";
        return false;
    }
    return true;
}

}  // namespace

std::vector<uint8_t> renderPattern(int width, int height, uint64_t index)
{
    std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
    PixelWriter out{rgb, width, height};

    // Background: gradients that drift with the frame index.
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
            p[0] = uint8_t(uint64_t(x) * 255 / uint64_t(std::max(1, width - 1)) + index * 3);
            p[1] = uint8_t(uint64_t(y) * 255 / uint64_t(std::max(1, height - 1)));
            p[2] = uint8_t(uint64_t(x + y) / 2 + index * 5);
        }

    // A square that bounces around.
    int side = std::max(1, std::min(width, height) / 5);
    int sx = bounce(index * 7, width - side);
    int sy = bounce(index * 4, height - side);
    out.fill(sx, sy, side, side, 20, 20, 20);
    int border = std::max(1, side / 10);
    out.fill(sx + border, sy + border, side - 2 * border, side - 2 * border, 250, 250, 250);

    // The frame index, 16 bits as black and white blocks along the top, high bit first.
    int cell = std::max(1, std::min(width / 40, height / 30));
    out.fill(0, 0, cell * 18, cell * 2, 128, 0, 128);
    for (int bit = 0; bit < 16; ++bit) {
        bool on = (index >> (15 - bit)) & 1;
        uint8_t v = on ? 255 : 0;
        out.fill(cell + bit * cell, cell / 2, cell, cell, v, v, v);
    }
    return rgb;
}

bool encodeJpeg(const uint8_t* rgb, int width, int height, int quality, std::vector<uint8_t>& out,
                std::string& error)
{
    jpeg_compress_struct cinfo;
    JpegErrorManager errors;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jpegErrorExit;
    errors.base.output_message = jpegOutputMessage;
    errors.message[0] = '\0';
    unsigned char* buffer = nullptr;
    unsigned long bufferSize = 0;

    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(buffer);
        error = errors.message;
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &buffer, &bufferSize);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);  // YCbCr, luma sampled 2x2: 4:2:0
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    const size_t stride = size_t(width) * 3;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + size_t(cinfo.next_scanline) * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    out.assign(buffer, buffer + bufferSize);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return true;
}

std::unique_ptr<PictureSource> makePatternSource(PictureSize size, int quality, bool sizeChange,
                                                 uint64_t changeAt, PictureSize changedTo)
{
    return std::make_unique<PatternSource>(size, quality, sizeChange, changeAt, changedTo);
}

std::unique_ptr<PictureSource> makeFileSource(const std::vector<std::string>& paths, std::string& error)
{
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    for (const std::string& path : paths) {
        std::error_code ec;
        if (fs::is_directory(path, ec)) {
            std::vector<std::string> found;
            for (const fs::directory_entry& entry : fs::directory_iterator(path, ec)) {
                std::error_code typeError;
                if (entry.is_regular_file(typeError) && hasJpegExtension(entry.path()))
                    found.push_back(entry.path().string());
            }
            if (ec) {
                error = "cannot list '" + path + "': " + ec.message();
                return nullptr;
            }
            std::sort(found.begin(), found.end());
            if (found.empty()) {
                error = "no *.jpg files in '" + path + "'";
                return nullptr;
            }
            files.insert(files.end(), found.begin(), found.end());
        } else {
            files.push_back(path);
        }
    }
    std::vector<std::vector<uint8_t>> contents;
    for (const std::string& file : files) {
        std::vector<uint8_t> bytes;
        if (!readWholeFile(file, bytes, error))
            return nullptr;
        contents.push_back(std::move(bytes));
    }
    if (contents.empty()) {
        error = "no frame files";
        return nullptr;
    }
    return std::make_unique<FileSource>(std::move(contents));
}
