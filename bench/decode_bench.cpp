// Decoding a full-HD frame into the viewer's 32-bit bitmap layout four ways: the library
// writing BGRX rows directly, the portable RGB-then-swap fallback, TurboJPEG's bottom-up
// BGRX decode into the same layout as the yardstick, and the viewer's own path (the frame
// assembly, reading the extension records first), which must cost what BgrxRows costs. Repetitions are interleaved at random so
// drift on a shared machine falls on all three alike; ratios use median CPU time.
#include "display/frame_assembly.h"
#include "tests/support/make_jpeg.h"
#include "tests/support/memory_target.h"

#include <benchmark/benchmark.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

void fill(std::vector<uint8_t>& rgb, int x0, int y0, int w, int h, uint8_t r, uint8_t g, uint8_t b)
{
    for (int y = std::max(y0, 0); y < std::min(y0 + h, kHeight); ++y)
        for (int x = std::max(x0, 0); x < std::min(x0 + w, kWidth); ++x) {
            uint8_t* p = &rgb[(size_t(y) * kWidth + size_t(x)) * 3];
            p[0] = r;
            p[1] = g;
            p[2] = b;
        }
}

// Windows with flat backgrounds, title bars, buttons and lines of glyph-like strokes.
std::vector<uint8_t> desktopImage()
{
    std::vector<uint8_t> rgb(size_t(kWidth) * kHeight * 3);
    std::mt19937 random(1);
    fill(rgb, 0, 0, kWidth, kHeight, 0, 110, 128);
    fill(rgb, 0, kHeight - 40, kWidth, 40, 200, 200, 200);  // task bar
    for (int i = 0; i < 12; ++i)
        fill(rgb, 4 + i * 110, kHeight - 36, 104, 32, 225, 225, 225);
    const int windows[][4] = {{60, 40, 1100, 700}, {700, 250, 1100, 720}, {1300, 60, 560, 420}};
    for (const auto& w : windows) {
        const int x0 = w[0], y0 = w[1], width = w[2], height = w[3];
        fill(rgb, x0 - 1, y0 - 1, width + 2, height + 2, 64, 64, 64);
        fill(rgb, x0, y0, width, height, 245, 245, 245);
        fill(rgb, x0, y0, width, 28, 10, 36, 106);  // title bar
        fill(rgb, x0 + width - 24, y0 + 4, 20, 20, 212, 208, 200);
        fill(rgb, x0, y0 + 28, width, 22, 236, 233, 216);  // menu bar
        // Text: 7x12 cells of strokes in dark grey, lines 16 px apart.
        for (int line = y0 + 60; line + 12 < y0 + height - 40; line += 16) {
            int x = x0 + 8;
            const int lineEnd = x0 + 8 + int(random() % unsigned(width - 16));
            while (x + 7 < lineEnd) {
                if (random() % 6 == 0) {  // a space
                    x += 7;
                    continue;
                }
                const unsigned strokes = random();
                if (strokes & 1) fill(rgb, x + 1, line + 2, 1, 9, 30, 30, 30);
                if (strokes & 2) fill(rgb, x + 5, line + 2, 1, 9, 30, 30, 30);
                if (strokes & 4) fill(rgb, x + 1, line + 2, 5, 1, 30, 30, 30);
                if (strokes & 8) fill(rgb, x + 1, line + 6, 5, 1, 30, 30, 30);
                if (strokes & 16) fill(rgb, x + 1, line + 10, 5, 1, 30, 30, 30);
                if (strokes & 32) fill(rgb, x + 3, line + 4, 1, 5, 30, 30, 30);
                x += 7;
            }
        }
        fill(rgb, x0 + width - 180, y0 + height - 34, 80, 26, 212, 208, 200);  // buttons
        fill(rgb, x0 + width - 90, y0 + height - 34, 80, 26, 212, 208, 200);
    }
    return rgb;
}

// Smooth gradients with sensor-like noise.
std::vector<uint8_t> photoImage()
{
    std::vector<uint8_t> rgb(size_t(kWidth) * kHeight * 3);
    std::mt19937 random(2);
    std::normal_distribution<float> noise(0.f, 6.f);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const float u = float(x) / kWidth, v = float(y) / kHeight;
            const float base[3] = {120 + 90 * std::sin(3.1f * u + 1.3f * v),
                110 + 80 * std::cos(2.3f * v - 1.7f * u), 100 + 70 * std::sin(4.0f * u * v + 0.5f)};
            for (int c = 0; c < 3; ++c)
                rgb[(size_t(y) * kWidth + size_t(x)) * 3 + size_t(c)]
                    = uint8_t(std::clamp(base[c] + noise(random), 0.f, 255.f));
        }
    return rgb;
}

struct Frame {
    std::string name;
    std::vector<uint8_t> jpeg;
};

std::vector<Frame> makeFrames()
{
    const std::vector<uint8_t> desktop = desktopImage();
    const std::vector<uint8_t> photo = photoImage();
    JpegSettings q80;
    q80.quality = 80;
    q80.hSample = q80.vSample = 2;
    JpegSettings q95;
    q95.quality = 95;
    return {{"desktop-q80-420", makeJpeg(desktop.data(), kWidth, kHeight, q80)},
        {"desktop-q95-444", makeJpeg(desktop.data(), kWidth, kHeight, q95)},
        {"photo-q80-420", makeJpeg(photo.data(), kWidth, kHeight, q80)}};
}

enum Method { BgrxRows, RgbSwap, TurboJpeg, Viewer, kMethods };
const char* const kMethodNames[kMethods] = {"BgrxRows", "RgbSwap", "TurboJPEG", "Viewer"};

// A whole frame as the viewer takes it: into `next`, a bitmap it keeps.
struct NextOnly final : PictureBitmaps {
    std::vector<uint8_t>& pixels;
    explicit NextOnly(std::vector<uint8_t>& p) : pixels(p) {}
    HeldPicture nextAt(int32_t width, int32_t height) override
    {
        pixels.resize(size_t(bitmapStride(width)) * size_t(height));
        return {{pixels.data(), width, height, bitmapStride(width), 4}, 0};
    }
    HeldPicture shown() const override { return {}; }
    void nextHolds(uint64_t) override {}
};

struct Decoder {
    tjhandle turbo = tjInitDecompress();
    MemoryTarget bitmap;
    FrameAssembly assembly;
    ~Decoder() { tjDestroy(turbo); }

    bool decode(const Frame& frame, Method method)
    {
        if (method == Viewer) {
            NextOnly next(bitmap.pixels);
            FrameExtension extension;
            return assembly.decode(frame.jpeg.data(), frame.jpeg.size(), next, 0, extension) == DecodeResult::Decoded;
        }
        if (method == TurboJpeg) {
            bitmap.pixelsFor(kWidth, kHeight, bitmapStride(kWidth));
            return tjDecompress2(turbo, frame.jpeg.data(),
                       static_cast<unsigned long>(frame.jpeg.size()), bitmap.pixels.data(), kWidth,
                       bitmapStride(kWidth), kHeight, TJPF_BGRX, TJFLAG_BOTTOMUP)
                == 0;
        }
        DecodeOptions options;
        options.path = method == BgrxRows ? OutputPath::BgrRows : OutputPath::RgbSwap;
        return decodeJpegFrame(frame.jpeg.data(), frame.jpeg.size(), bitmap, options)
            == DecodeResult::Decoded;
    }
};

// Keeps each benchmark's median CPU time for the ratios printed at the end.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    MedianReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}
    std::map<std::string, double> medianMs;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medianMs[run.run_name.function_name] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<Frame> frames = makeFrames();

    std::printf("Frames %dx%d; colour bytes that differ from BgrxRows:\n", kWidth, kHeight);
    bool identical = true;
    for (const Frame& frame : frames) {
        std::vector<uint8_t> out[kMethods];
        for (int m = 0; m < kMethods; ++m) {
            Decoder decoder;
            decoder.bitmap.pixels.assign(
                size_t(bitmapStride(kWidth)) * kHeight, uint8_t(0x11 * (m + 1)));
            if (!decoder.decode(frame, Method(m))) {
                std::fprintf(stderr, "%s: %s failed\n", frame.name.c_str(), kMethodNames[m]);
                return 1;
            }
            out[m] = std::move(decoder.bitmap.pixels);
        }
        size_t differing[kMethods] = {};
        for (int m = 1; m < kMethods; ++m)
            for (size_t i = 0; i < out[0].size(); ++i)
                differing[m] += i % 4 != 3 && out[m][i] != out[0][i];
        identical = identical && differing[RgbSwap] == 0 && differing[TurboJpeg] == 0 && differing[Viewer] == 0;
        std::printf("  %-16s %7zu bytes of JPEG   RgbSwap %zu   TurboJPEG %zu   Viewer %zu\n",
            frame.name.c_str(), frame.jpeg.size(), differing[RgbSwap], differing[TurboJpeg], differing[Viewer]);
    }

    for (const Frame& frame : frames)
        for (int m = 0; m < kMethods; ++m)
            benchmark::RegisterBenchmark((frame.name + "/" + kMethodNames[m]).c_str(),
                [&frame, m](benchmark::State& state) {
                    Decoder decoder;
                    for (auto _ : state)
                        benchmark::DoNotOptimize(decoder.decode(frame, Method(m)));
                    state.SetBytesProcessed(
                        int64_t(state.iterations()) * bitmapStride(kWidth) * kHeight);
                })
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.2)
                ->Repetitions(9)
                ->ReportAggregatesOnly(true);

    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nMedian CPU time per frame and ratios (targets: BgrxRows/RgbSwap time <= 0.88, "
                "BgrxRows/TurboJPEG throughput >= 0.95, Viewer/BgrxRows time <= 1.02):\n");
    std::printf("  %-16s %9s %9s %9s %9s   %14s %18s %16s\n", "frame", "BgrxRows", "RgbSwap", "TurboJPEG", "Viewer",
        "Bgrx/Swap time", "Bgrx/TJ throughput", "Viewer/Bgrx time");
    for (const Frame& frame : frames) {
        double ms[kMethods];
        bool complete = true;
        for (int m = 0; m < kMethods; ++m) {
            auto found = reporter.medianMs.find(frame.name + "/" + kMethodNames[m]);
            complete = complete && found != reporter.medianMs.end();
            ms[m] = complete ? found->second : 0;  // in the unit set: ms
        }
        if (!complete) continue;  // filtered out on the command line
        const double swapRatio = ms[BgrxRows] / ms[RgbSwap];
        const double turboRatio = ms[TurboJpeg] / ms[BgrxRows];
        const double viewerRatio = ms[Viewer] / ms[BgrxRows];
        std::printf("  %-16s %7.2fms %7.2fms %7.2fms %7.2fms   %8.3f %-5s %12.3f %-5s %10.3f %-5s\n",
            frame.name.c_str(), ms[BgrxRows], ms[RgbSwap], ms[TurboJpeg], ms[Viewer], swapRatio,
            swapRatio <= 0.88 ? "met" : "MISS", turboRatio, turboRatio >= 0.95 ? "met" : "MISS", viewerRatio,
            viewerRatio <= 1.02 ? "met" : "MISS");
    }
    return identical ? 0 : 1;
}
