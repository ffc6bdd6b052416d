#include "host/jpeg_encoder.h"

#include <turbojpeg.h>

// jpeglib.h wants size_t and FILE declared first.
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include <algorithm>
#include <iterator>

// libjpeg reports errors by a jump out of the library: every call into it goes through
// run(), and nothing with a destructor lives between the jump and its target.
struct JpegEncoder::Codec {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    jpeg_destination_mgr destination{};
    std::jmp_buf jump{};
    char message[JMSG_LENGTH_MAX] = {};
    std::vector<uint8_t>* buffer = nullptr;
    size_t* size = nullptr;
    bool started = false;

    template <typename Step>
    bool run(Step step, std::string& error)
    {
        if (setjmp(jump)) {
            jpeg_abort_compress(&info);
            started = false;
            error = std::string("JPEG: ") + message;
            return false;
        }
        step();
        return true;
    }
};

namespace {

JpegEncoder::Codec& codecOf(j_common_ptr info)
{
    return *static_cast<JpegEncoder::Codec*>(info->client_data);
}

void stop(j_common_ptr info)
{
    (*info->err->format_message)(info, codecOf(info).message);
    std::longjmp(codecOf(info).jump, 1);
}

void quiet(j_common_ptr, int) {}

// Into the encoder's own buffer, kept from frame to frame and doubled when full.
void startBuffer(j_compress_ptr info)
{
    std::vector<uint8_t>& buffer = *codecOf(reinterpret_cast<j_common_ptr>(info)).buffer;
    if (buffer.size() < 65536)
        buffer.resize(65536);
    info->dest->next_output_byte = buffer.data();
    info->dest->free_in_buffer = buffer.size();
}

boolean growBuffer(j_compress_ptr info)
{
    std::vector<uint8_t>& buffer = *codecOf(reinterpret_cast<j_common_ptr>(info)).buffer;
    size_t full = buffer.size();
    buffer.resize(full * 2);
    info->dest->next_output_byte = buffer.data() + full;
    info->dest->free_in_buffer = buffer.size() - full;
    return TRUE;
}

void endBuffer(j_compress_ptr info)
{
    JpegEncoder::Codec& codec = codecOf(reinterpret_cast<j_common_ptr>(info));
    *codec.size = codec.buffer->size() - info->dest->free_in_buffer;
}

bool colourSpace(int pixelFormat, J_COLOR_SPACE& space)
{
    switch (pixelFormat) {
    case TJPF_RGBX: case TJPF_RGBA: space = JCS_EXT_RGBX; return true;
    case TJPF_BGRX: case TJPF_BGRA: space = JCS_EXT_BGRX; return true;
    case TJPF_XBGR: case TJPF_ABGR: space = JCS_EXT_XBGR; return true;
    case TJPF_XRGB: case TJPF_ARGB: space = JCS_EXT_XRGB; return true;
    default: return false;
    }
}

}  // namespace

JpegEncoder::JpegEncoder() : codec_(std::make_unique<Codec>())
{
    Codec& codec = *codec_;
    codec.info.err = jpeg_std_error(&codec.errors);
    codec.errors.error_exit = stop;
    codec.errors.emit_message = quiet;
    codec.info.client_data = &codec;
    codec.buffer = &buffer_;
    codec.size = &size_;
    codec.destination.init_destination = startBuffer;
    codec.destination.empty_output_buffer = growBuffer;
    codec.destination.term_destination = endBuffer;
    std::string ignored;
    codec.run([&] { jpeg_create_compress(&codec.info); }, ignored);
    codec.info.dest = &codec.destination;
}

JpegEncoder::~JpegEncoder()
{
    jpeg_destroy_compress(&codec_->info);
}

bool JpegEncoder::begin(int width, int height, int pixelFormat, int subsampling, int quality, std::string& error)
{
    Codec& codec = *codec_;
    J_COLOR_SPACE space = JCS_UNKNOWN;
    // TurboJPEG's block sizes for its subsampling values: luma's factors, chroma's 1x1.
    int across = subsampling == TJSAMP_444 ? 1 : 2, down = subsampling == TJSAMP_420 ? 2 : 1;
    if (!colourSpace(pixelFormat, space) ||
        (subsampling != TJSAMP_444 && subsampling != TJSAMP_422 && subsampling != TJSAMP_420)) {
        error = "JPEG: unsupported pixel layout or subsampling";
        return false;
    }
    abandon();
    jpeg_compress_struct& info = codec.info;
    return codec.run(
        [&] {
            info.image_width = JDIMENSION(width);
            info.image_height = JDIMENSION(height);
            info.input_components = 4;
            info.in_color_space = space;
            jpeg_set_defaults(&info);
            jpeg_set_quality(&info, quality, TRUE);
            // Where the fast transform's loss would show, the accurate one (as TurboJPEG does).
            info.dct_method = quality >= 96 ? JDCT_ISLOW : JDCT_IFAST;
            jpeg_set_colorspace(&info, JCS_YCbCr);
            info.comp_info[0].h_samp_factor = across;
            info.comp_info[0].v_samp_factor = down;
            for (int c = 1; c < 3; ++c)
                info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
            jpeg_start_compress(&info, TRUE);
            codec.started = true;
        },
        error);
}

bool JpegEncoder::rows(const uint8_t* pixels, int pitch, int count, std::string& error)
{
    Codec& codec = *codec_;
    if (!codec.started) {
        error = "JPEG: rows before the frame began";
        return false;
    }
    rowPointers_.resize(size_t(std::max(count, 0)));
    for (int i = 0; i < count; ++i)
        rowPointers_[size_t(i)] = const_cast<uint8_t*>(pixels) + size_t(i) * size_t(pitch);
    JSAMPARRAY rows = rowPointers_.data();
    return codec.run(
        [&] {
            JDIMENSION done = 0;
            while (done < JDIMENSION(count) && codec.info.next_scanline < codec.info.image_height)
                done += jpeg_write_scanlines(&codec.info, rows + done, JDIMENSION(count) - done);
        },
        error);
}

bool JpegEncoder::finish(std::string& error)
{
    Codec& codec = *codec_;
    if (!codec.started || codec.info.next_scanline < codec.info.image_height) {
        error = "JPEG: the frame ended before its last row";
        abandon();
        return false;
    }
    codec.started = false;
    return codec.run([&] { jpeg_finish_compress(&codec.info); }, error);
}

void JpegEncoder::abandon()
{
    if (codec_->started)
        jpeg_abort_compress(&codec_->info);
    codec_->started = false;
}

bool JpegEncoder::encode(const uint8_t* pixels, int width, int pitch, int height, int pixelFormat,
                         int subsampling, int quality, std::string& error)
{
    return begin(width, height, pixelFormat, subsampling, quality, error) &&
           rows(pixels, pitch, height, error) && finish(error);
}

int subsamplingFromText(const std::string& text)
{
    std::string digits;
    std::copy_if(text.begin(), text.end(), std::back_inserter(digits), [](char c) { return c != ':'; });
    if (digits == "444")
        return TJSAMP_444;
    if (digits == "422")
        return TJSAMP_422;
    if (digits == "420")
        return TJSAMP_420;
    return -1;
}
