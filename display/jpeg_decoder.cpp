#include "display/jpeg_decoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstring>

namespace {

// The library's source manager and the two marker bytes it falls back on; the
// decompressor's permanent pool holds both, so they go with it.
struct MemorySource {
    jpeg_source_mgr pub;
    JOCTET endOfImage[2];
};

void initSource(j_decompress_ptr) {}
void termSource(j_decompress_ptr) {}

// Everything has been read: hand out an end-of-image marker, as often as asked.
boolean fillInputBuffer(j_decompress_ptr cinfo)
{
    auto* source = reinterpret_cast<MemorySource*>(cinfo->src);
    source->endOfImage[0] = 0xFF;
    source->endOfImage[1] = JPEG_EOI;
    source->pub.next_input_byte = source->endOfImage;
    source->pub.bytes_in_buffer = 2;
    return TRUE;
}

void skipInputData(j_decompress_ptr cinfo, long count)
{
    if (count <= 0)
        return;
    jpeg_source_mgr* source = cinfo->src;
    // A marker claiming more than is left empties the source; the next read gets the marker.
    size_t skip = std::min(size_t(count), source->bytes_in_buffer);
    source->next_input_byte += skip;
    source->bytes_in_buffer -= skip;
}

// Errors jump back to decodeJpegFrame after the library's message has been written.
struct RecoveringErrors {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void jumpBack(j_common_ptr cinfo)
{
    (*cinfo->err->output_message)(cinfo);
    longjmp(reinterpret_cast<RecoveringErrors*>(cinfo->err)->jump, 1);
}

void stayQuiet(j_common_ptr) {}

// Our own message, after the library's.
constexpr int kTooManyScans = 1000;
const char* const kAddonMessages[] = {"Progressive frame refused: more than %d scans", nullptr};

// Called per row of input while a progressive frame is read in.
void limitScans(j_common_ptr cinfo)
{
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number <= kMaxScans)
        return;
    cinfo->err->msg_code = kTooManyScans;
    cinfo->err->msg_parm.i[0] = kMaxScans;
    (*cinfo->err->error_exit)(cinfo);
}

// Rows handed to the library per call; it fills as many as its output stage holds.
constexpr JDIMENSION kRowBatch = 16;

void readIntoRows(j_decompress_ptr cinfo, uint8_t* pixels, int32_t height, size_t stride, size_t rowBytes)
{
    JSAMPROW rows[kRowBatch];
    while (cinfo->output_scanline < cinfo->output_height) {
        JDIMENSION first = cinfo->output_scanline;
        JDIMENSION batch = std::min(kRowBatch, cinfo->output_height - first);
        for (JDIMENSION i = 0; i < batch; ++i)
            rows[i] = pixels + size_t(height - 1 - int32_t(first + i)) * stride;
        JDIMENSION got = jpeg_read_scanlines(cinfo, rows, batch);
        if (stride > rowBytes)
            for (JDIMENSION i = 0; i < got; ++i)
                std::memset(rows[i] + rowBytes, 0, stride - rowBytes);
    }
}

void swapIntoRows(j_decompress_ptr cinfo, uint8_t* pixels, int32_t height, size_t stride, int32_t pixelBytes)
{
    const int32_t width = int32_t(cinfo->output_width);
    const size_t rowBytes = size_t(width) * size_t(pixelBytes);
    const int components = cinfo->output_components;
    JSAMPARRAY line = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                   cinfo->output_width * JDIMENSION(components), 1);
    uint8_t* row = pixels + size_t(height - 1) * stride;
    while (cinfo->output_scanline < cinfo->output_height) {
        jpeg_read_scanlines(cinfo, line, 1);
        const JSAMPLE* sample = line[0];
        uint8_t* out = row;
        for (int32_t x = 0; x < width; ++x, out += pixelBytes) {
            if (components == 3) {
                out[0] = sample[2];
                out[1] = sample[1];
                out[2] = sample[0];
                sample += 3;
            } else {
                out[0] = out[1] = out[2] = *sample++;
            }
            if (pixelBytes == 4)
                out[3] = 0xFF;  // as the library fills the unused byte
        }
        std::memset(row + rowBytes, 0, stride - rowBytes);
        row -= stride;
    }
}

DecodeResult decodeImage(j_decompress_ptr cinfo, FrameTarget& target, OutputPath path, PixelFormat format)
{
    J_COLOR_SPACE colours = cinfo->jpeg_color_space;
    bool grey = colours == JCS_GRAYSCALE;
    if (!grey && colours != JCS_YCbCr && colours != JCS_RGB)
        return DecodeResult::Skipped;  // CMYK, YCCK and unknown spaces
    int32_t width = int32_t(cinfo->image_width);
    int32_t height = int32_t(cinfo->image_height);
    int32_t stride = bitmapStride(width, format);
    if (int64_t(stride) * height > kMaxBitmapBytes)
        return DecodeResult::Skipped;

#ifdef JCS_EXTENSIONS
    if (path == OutputPath::BgrRows)
        cinfo->out_color_space = format == PixelFormat::Bgrx32 ? JCS_EXT_BGRX : JCS_EXT_BGR;
#else
    path = OutputPath::RgbSwap;
#endif
    if (path == OutputPath::RgbSwap)
        cinfo->out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;

    uint8_t* pixels = target.pixelsFor(width, height, stride);
    if (!pixels)
        return DecodeResult::Skipped;
    jpeg_start_decompress(cinfo);
    if (path == OutputPath::BgrRows)
        readIntoRows(cinfo, pixels, height, size_t(stride), size_t(width) * size_t(bytesPerPixel(format)));
    else
        swapIntoRows(cinfo, pixels, height, size_t(stride), bytesPerPixel(format));
    jpeg_finish_decompress(cinfo);
    return DecodeResult::Decoded;
}

// Every APP15 segment the header held, in order; libjpeg kept them whole (up to 65533 bytes).
bool readRecords(j_decompress_ptr cinfo, FrameExtension& extension)
{
    for (jpeg_saved_marker_ptr marker = cinfo->marker_list; marker; marker = marker->next)
        if (marker->marker == kExtensionMarker &&
            !readExtensionSegment(marker->data, marker->data_length, extension.records, extension.problem))
            return false;
    return true;
}

}  // namespace

void setMemorySource(j_decompress_ptr cinfo, const uint8_t* data, size_t size)
{
    if (!cinfo->src) {
        cinfo->src = static_cast<jpeg_source_mgr*>((*cinfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(MemorySource)));
    }
    jpeg_source_mgr* source = cinfo->src;
    source->init_source = initSource;
    source->fill_input_buffer = fillInputBuffer;
    source->skip_input_data = skipInputData;
    source->resync_to_restart = jpeg_resync_to_restart;
    source->term_source = termSource;
    source->next_input_byte = data;
    source->bytes_in_buffer = size;
}

DecodeResult decodeJpegFrame(const uint8_t* data, size_t size, FrameTarget& target,
                             const DecodeOptions& options)
{
    RecoveringErrors errors;
    jpeg_decompress_struct cinfo;
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = jumpBack;
    errors.pub.addon_message_table = kAddonMessages;
    errors.pub.first_addon_message = kTooManyScans;
    errors.pub.last_addon_message = kTooManyScans;
    if (options.quiet)
        errors.pub.output_message = stayQuiet;
    jpeg_progress_mgr progress = {};
    progress.progress_monitor = limitScans;
    jpeg_create_decompress(&cinfo);
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return DecodeResult::Failed;
    }
    cinfo.progress = &progress;
    setMemorySource(&cinfo, data, size);
    if (options.extension) {
        *options.extension = FrameExtension{};
        jpeg_save_markers(&cinfo, kExtensionMarker, 0xFFFF);
    }
    jpeg_read_header(&cinfo, TRUE);
    bool readable = !options.extension || readRecords(&cinfo, *options.extension);
    // An atlas holds unrelated areas side by side on block edges: chroma smoothed across
    // those edges would tint each area's border with its neighbour's colour.
    if (readable && options.extension && options.extension->records.hasAreas)
        cinfo.do_fancy_upsampling = FALSE;
    DecodeResult result = readable ? decodeImage(&cinfo, target, options.path, options.format) : DecodeResult::BadRecord;
    jpeg_destroy_decompress(&cinfo);
    return result;
}
