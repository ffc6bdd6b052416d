// The Windows host's change check between two 1920x1080 captures next to TurboJPEG's
// encode of the same picture (q80 4:2:0, straight from the BGRX rows): nothing changed
// (both pictures read whole), a pointer-sized change in the middle, one pixel in the last
// row. Rounds interleaved, medians. Native; bench/win/capture_bench.cpp adds the GDI
// capture under Wine. Run by scripts/bench.sh.
#include <turbojpeg.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bench/desktop_picture.h"
#include "host/jpeg_encoder.h"
#include "winhost/tile_changes.h"

int main()
{
    const int width = 1920, height = 1080, pitch = width * 4, rounds = 60;
    const std::vector<uint8_t> before = desktopPicture(width, height);
    std::vector<uint8_t> same = before, pointer = before, lastPixel = before;
    for (int y = 520; y < 552; ++y)
        std::memset(&pointer[size_t(y) * pitch + 940 * 4], 0, 32 * 4);
    lastPixel[lastPixel.size() - 2] ^= 1;

    JpegEncoder encoder;
    std::string error;
    std::vector<double> encode, unchanged, moved, last;
    volatile int sink = 0;
    for (int round = 0; round < rounds; ++round) {
        BenchClock::time_point start = BenchClock::now();
        if (!encoder.encode(before.data(), width, pitch, height, TJPF_BGRX, TJSAMP_420, 80, error)) {
            std::fprintf(stderr, "change_bench: %s\n", error.c_str());
            return 1;
        }
        encode.push_back(msSince(start));
        start = BenchClock::now();
        sink = sink + findChangedRows(before.data(), same.data(), pitch, height, pitch).changed;
        unchanged.push_back(msSince(start));
        start = BenchClock::now();
        sink = sink + findChangedRows(before.data(), pointer.data(), pitch, height, pitch).top;
        moved.push_back(msSince(start));
        start = BenchClock::now();
        sink = sink + findChangedRows(before.data(), lastPixel.data(), pitch, height, pitch).top;
        last.push_back(msSince(start));
    }
    double e = median(encode);
    std::printf("change check, %dx%d BGRX, medians of %d interleaved rounds (native, %zu-bit)\n", width, height,
                rounds, sizeof(void*) * 8);
    std::printf("TurboJPEG encode q80 4:2:0                %7.3f ms\n", e);
    for (auto [label, times] : {std::pair{"check, nothing changed", &unchanged}, {"check, a 32x32 pointer moved", &moved},
                                {"check, one pixel in the last row", &last}})
        std::printf("%-40s %7.3f ms  (%.3f of the encode)\n", label, median(*times), median(*times) / e);
    return 0;
}
