// The Windows host's change check between two 1920x1080 captures next to TurboJPEG's
// encode of the same picture (q80 4:2:0, straight from the BGRX rows), and next to the row
// check it replaced, in the same rounds: nothing changed (both pictures read whole), a
// pointer-sized change in the middle, one pixel in the last row, every pixel. Rounds
// interleaved, medians. Native; bench/win/capture_bench.cpp adds the GDI capture under
// Wine. Run by scripts/bench.sh.
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
    std::vector<uint8_t> same = before, pointer = before, lastPixel = before, all = before;
    for (int y = 520; y < 552; ++y)
        std::memset(&pointer[size_t(y) * pitch + 940 * 4], 0, 32 * 4);
    lastPixel[lastPixel.size() - 2] ^= 1;
    for (uint8_t& byte : all)
        byte ^= 0x80;

    struct Scenario {
        const char* label;
        const std::vector<uint8_t>* after;
        std::vector<double> rows, tiles;
    } scenarios[] = {{"nothing changed", &same, {}, {}},
                     {"a 32x32 pointer moved", &pointer, {}, {}},
                     {"one pixel in the last row", &lastPixel, {}, {}},
                     {"every pixel", &all, {}, {}}};
    JpegEncoder encoder;
    std::string error;
    std::vector<double> encode;
    std::vector<PixelRect> areas;
    volatile int sink = 0;
    for (int round = 0; round < rounds; ++round) {
        BenchClock::time_point start = BenchClock::now();
        if (!encoder.encode(before.data(), width, pitch, height, TJPF_BGRX, TJSAMP_420, 80, error)) {
            std::fprintf(stderr, "change_bench: %s\n", error.c_str());
            return 1;
        }
        encode.push_back(msSince(start));
        for (Scenario& s : scenarios) {
            // Which goes first alternates, so neither always finds the pictures in the cache.
            for (int turn = 0; turn < 2; ++turn) {
                start = BenchClock::now();
                if ((turn + round) % 2) {
                    // All of it used, or the compiler drops the search for the bottom row.
                    ChangedRows rows = findChangedRows(before.data(), s.after->data(), pitch, height, pitch);
                    sink = sink + rows.changed + rows.top + rows.bottom;
                    s.rows.push_back(msSince(start));
                } else {
                    areas.clear();
                    sink = sink + findChangedTiles(before.data(), s.after->data(), width, height, pitch, areas) +
                           int(areas.size());
                    s.tiles.push_back(msSince(start));
                }
            }
        }
    }
    double e = median(encode);
    std::printf("change check, %dx%d BGRX, %dx%d tiles, medians of %d interleaved rounds (native, %zu-bit)\n", width,
                height, kChangeTileSize, kChangeTileSize, rounds, sizeof(void*) * 8);
    std::printf("TurboJPEG encode q80 4:2:0        %7.3f ms\n", e);
    std::printf("%-32s %8s %8s %12s %10s\n", "check", "rows ms", "tiles ms", "tiles/rows", "/encode");
    for (const Scenario& s : scenarios) {
        double r = median(s.rows), t = median(s.tiles);
        std::printf("%-32s %8.3f %8.3f %12.2f %10.3f\n", s.label, r, t, t / r, t / e);
    }
    return 0;
}
