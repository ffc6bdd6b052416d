// JPEG frames made in-process with libjpeg's own compressor, so tests, benchmarks and
// the fuzz corpus know exactly what went in. Header-only: each user links libjpeg anyway.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

struct JpegSettings {
    int quality = 100;
    // Luma sampling factors of a YCbCr frame: 1x1 is 4:4:4, 2x1 4:2:2, 2x2 4:2:0.
    int hSample = 1;
    int vSample = 1;
    J_COLOR_SPACE input = JCS_RGB;  // what `pixels` holds: RGB or CMYK
    bool progressive = false;
};

inline std::vector<uint8_t> makeJpeg(
    const uint8_t* pixels, int width, int height, const JpegSettings& settings = JpegSettings())
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);

    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = settings.input == JCS_CMYK ? 4 : 3;
    cinfo.in_color_space = settings.input;
    jpeg_set_defaults(&cinfo);
    if (cinfo.jpeg_color_space == JCS_YCbCr) {
        cinfo.comp_info[0].h_samp_factor = settings.hSample;
        cinfo.comp_info[0].v_samp_factor = settings.vSample;
    }
    jpeg_set_quality(&cinfo, settings.quality, TRUE);
    if (settings.progressive) jpeg_simple_progression(&cinfo);

    jpeg_start_compress(&cinfo, TRUE);
    const size_t rowBytes = size_t(width) * size_t(cinfo.input_components);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + cinfo.next_scanline * rowBytes);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> jpeg(out, out + outSize);
    std::free(out);
    return jpeg;
}

// Every pixel unlike its neighbours both ways, so a picture one pixel off shows.
inline std::vector<uint8_t> patternJpeg(int width, int height, const JpegSettings& settings = {}, int seed = 0)
{
    std::vector<uint8_t> rgb;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            rgb.insert(rgb.end(), {uint8_t(x * 5 + seed), uint8_t(y * 3 + seed), uint8_t((x + y) * 2)});
    return makeJpeg(rgb.data(), width, height, settings);
}
