#include <gtest/gtest.h>

#include <turbojpeg.h>
#include <xkbcommon/xkbcommon.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "display/jpeg_decoder.h"
#include "host/frame_areas.h"
#include "host/frame_scale.h"
#include "host/frame_stream.h"
#include "host/jpeg_encoder.h"
#include "host/key_table.h"
#include "host/monitor_choice.h"
#include "host/mouse_machine.h"
#include "host/quality.h"
#include "host/restore_token.h"
#include "host/screen_fit.h"
#include "wire/input_wire.h"
#include "wire/frame_wire.h"
#include "wire/input_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

// " m10,20 p1 r1": moves, presses and releases.
std::string text(const std::vector<PointerAction>& actions)
{
    std::string out;
    for (const PointerAction& a : actions)
        out += a.kind == PointerAction::Move
                   ? " m" + std::to_string(a.x) + "," + std::to_string(a.y)
                   : (a.kind == PointerAction::Press ? " p" : " r") + std::to_string(a.button);
    return out;
}

TEST(MouseMachineTest, ViewerEventsBecomePressesReleasesAndMovesAndHeldButtonsGoAtTheEnd)
{
    using Event = std::tuple<uint32_t, int, int>;
    // Each event's actions, then releaseAll's after the last bar.
    const std::pair<std::vector<Event>, const char*> cases[] = {
        {{{0x0202, 10, 20}}, " m10,20 p1 r1 |"},  // a release with the button up is a click
        {{{0, 5, 5}, {0, 6, 7}, {0x0202, 8, 9}}, " m5,5 p1 | m6,7 | m8,9 r1 |"},  // a drag presses first
        {{{0x0202, 3, 3}, {0x0302, 3, 3}, {0x0202, 3, 3}}, " m3,3 p1 r1 | m3,3 p1 | m3,3 r1 |"},  // double click
        {{{0x0204, 1, 1}, {0x0205, 2, 2}, {0x0207, 3, 3}, {0x0208, 4, 4}}, " m1,1 p3 | m2,2 r3 | m3,3 p2 | m4,4 r2 |"},
        {{{0x0205, 1, 1}, {0x0208, 2, 2}}, " m1,1 | m2,2 |"},  // releases never pressed
        {{{0x0204, 1, 1}, {0x0204, 2, 2}}, " m1,1 p3 | m2,2 | r3"},
        {{{0x0201, 1, 1}, {0x9999, 1, 1}}, " | |"},  // codes the viewer does not send
        {{{0, 1, 1}, {0x0207, 1, 1}, {0x0204, 1, 1}}, " m1,1 p1 | m1,1 p2 | m1,1 p3 | r1 r2 r3"},
    };
    for (const auto& [events, expected] : cases) {
        MouseMachine machine;
        std::string seen;
        std::vector<PointerAction> actions;
        for (auto [code, x, y] : events) {
            actions.clear();
            machine.apply(code, x, y, actions);
            seen += text(actions) + " |";
        }
        actions.clear();
        machine.releaseAll(actions);
        EXPECT_EQ(seen + text(actions), expected);
    }
    // Positions are clamped to the screen; X would hide an edge off by one.
    for (auto [position, x, y] : {std::tuple{0x00000000u, 0, 0}, {0x00460064u, 100, 70}, {0x04FF0500u, 639, 479},
                                  {0xFFFFFFFFu, 639, 479}, {0x01DF027Fu, 639, 479}}) {
        std::pair<int, int> seen{-1, -1};
        clampToScreen(position, 640, 480, seen.first, seen.second);
        EXPECT_EQ(seen, std::pair(x, y)) << std::hex << position;
    }
}

// The table itself is checked against XKB's own data below.
TEST(KeyTableTest, PlacesStayDownWhileAnyCodeHoldsThemAndLayoutsFollowTheXKeymap)
{
    for (uint32_t key : {0x01u, 0x02u, 0x03u, 0x04u, 0x05u, 0x06u, 0x07u, 0x10u, 0x41u})
        EXPECT_EQ(isMouseButtonKey(key), key != 3 && key <= 6) << key;

    // Left shift comes as VK_SHIFT and VK_LSHIFT; 半角/全角 under any of its three codes.
    KeyTracker tracker;
    for (auto [key, down, expected] :
         {std::tuple{0x10u, true, KeyAction::Press}, {0xA0u, true, KeyAction::Nothing}, {0x41u, true, KeyAction::Press},
          {0x41u, true, KeyAction::Nothing}, {0x10u, false, KeyAction::Nothing}, {0xA0u, false, KeyAction::Release},
          {0xA0u, false, KeyAction::Nothing}, {0x42u, false, KeyAction::Nothing}, {0x11u, true, KeyAction::Press},
          {0xF3u, true, KeyAction::Press}, {0x19u, true, KeyAction::Nothing}, {0xF3u, false, KeyAction::Nothing},
          {0xF4u, true, KeyAction::Nothing}, {0x07u, true, KeyAction::Nothing}, {0x141u, true, KeyAction::Nothing}})
        EXPECT_EQ(tracker.change(key, keyPlace(KeyboardLayout::Jis, key), down), expected) << std::hex << key << down;
    EXPECT_EQ(tracker.releaseAll(), (std::vector<std::string>{"LCTL", "HZTG", "AC01"}));
    EXPECT_TRUE(tracker.releaseAll().empty());

    for (auto [layouts, jis] : {std::pair{"jp", true}, {"jp,us", true}, {"us,jp", false}, {"", false}, {"jpx", false}})
        EXPECT_EQ(keyboardLayoutForXLayouts(layouts) == KeyboardLayout::Jis, jis) << layouts;
    KeyboardLayout layout = KeyboardLayout::Us;
    EXPECT_TRUE(keyboardLayoutFromName("jis", layout) && layout == KeyboardLayout::Jis);
    EXPECT_FALSE(keyboardLayoutFromName("JIS", layout) || keyboardLayoutFromName("", layout));
}

TEST(QualityTest, StepsDownAndClimbsBackWhenFramesAreSmall)
{
    const std::pair<int, int> lower[] = {{100, 90}, {80, 70}, {15, 10}, {10, 5}, {7, 5}, {5, 2}, {2, 1}, {1, 0}};
    for (const auto& [from, to] : lower)
        EXPECT_EQ(QualityGovernor::lower(from), to) << from;

    // Fitted two steps down; still busy, it stays; calm, one step back up at a time, never
    // above the configured quality.
    QualityGovernor governor(80);
    for (auto [quality, bytes, changed, next] : {std::tuple{60, 450000u, true, 60}, {60, 400000u, false, 60},
                                                 {60, 100000u, true, 70}, {70, 100000u, true, 80},
                                                 {80, 1000u, false, 80}}) {
        EXPECT_EQ(governor.settled(quality, bytes, 500000), changed) << quality;
        EXPECT_EQ(governor.start(), next) << quality;
    }
}

TEST(ScreenFitTest, AResizedScreenIsCroppedOrPaddedToTheSessionSize)
{
    for (auto [sourceWidth, sourceHeight] : {std::pair{8, 6}, {10, 7}, {5, 4}, {10, 3}, {3, 9}}) {
        // Rows padded beyond the pixels, as an XImage's may be; each pixel knows its place.
        int pitch = sourceWidth * 4 + 12;
        Bytes source(size_t(pitch) * size_t(sourceHeight), 0xEE), out;
        for (int y = 0; y < sourceHeight; ++y)
            for (int x = 0; x < sourceWidth * 4; ++x)
                source[size_t(y * pitch + x)] = uint8_t(1 + x / 4 + 16 * y);
        fitPicture(source.data(), sourceWidth, sourceHeight, pitch, 8, 6, out);
        ASSERT_EQ(out.size(), 8u * 6 * 4);
        for (int at = 0; at < 8 * 6 * 4; ++at) {
            int x = at / 4 % 8, y = at / 32;
            EXPECT_EQ(out[size_t(at)], x < sourceWidth && y < sourceHeight ? uint8_t(1 + x + 16 * y) : 0)
                << sourceWidth << "x" << sourceHeight << " at " << x << "," << y;
        }
    }
}

// The frame size for screens and requests: percentages, boxes of other shapes than the
// screen's, boxes larger than the screen, and screens a viewer's bitmap cannot hold.
TEST(FrameScaleTest, FrameSizesKeepTheShapeWithinTheBoxAndTheViewersLimit)
{
    const struct {
        int screenWidth, screenHeight;
        ScaleRequest request;
        int width, height;
    } cases[] = {
        {3840, 2160, {50, 0, 0}, 1920, 1080},     {3840, 2160, {66, 0, 0}, 2534, 1425},
        {3840, 2160, {1, 0, 0}, 38, 21},          {1, 1, {1, 0, 0}, 1, 1},
        {1920, 1200, {100, 1366, 768}, 1228, 768}, {3840, 2160, {100, 1000, 1000}, 1000, 562},
        {1280, 1024, {100, 5000, 5000}, 1280, 1024}, {1280, 1024, {100, 1280, 1}, 1, 1},
        {3840, 2160, {50, 1000, 1000}, 1000, 562}, {3840, 2160, {20, 1000, 1000}, 768, 432},
        {1001, 999, {100, 500, 500}, 500, 499},   {4096, 4096, {100, 0, 0}, 4096, 4096},
    };
    for (const auto& c : cases) {
        ScaledSize size = scaledSize(c.screenWidth, c.screenHeight, c.request);
        EXPECT_EQ(std::tuple(size.width, size.height, size.limited), std::tuple(c.width, c.height, false))
            << c.screenWidth << "x" << c.screenHeight << " " << c.request.percent << "% " << c.request.fitWidth
            << "x" << c.request.fitHeight;
    }
    // Too large for the viewer: the largest size of the screen's shape that it takes, and
    // so never larger than the request.
    for (auto [width, height, percent] : {std::tuple{11520, 2160, 100}, {7680, 4320, 100}, {4097, 4096, 100},
                                          {16384, 16384, 50}, {30000, 600, 100}}) {
        ScaledSize size = scaledSize(width, height, {percent, 0, 0});
        SCOPED_TRACE(testing::Message() << width << "x" << height);
        EXPECT_TRUE(size.limited);
        EXPECT_LE(int64_t(size.width) * size.height * 4, kMaxBitmapBytes);
        EXPECT_EQ(size.height, int64_t(size.width) * height / width);
        int wider = size.width + 1;
        EXPECT_GT(int64_t(wider) * (int64_t(wider) * height / width) * 4, kMaxBitmapBytes);
    }
    for (auto [text, good] : {std::pair{"50", true}, {"100", true}, {"1", true}, {"0", false}, {"101", false},
                              {"", false}, {"5o", false}, {"-5", false}, {"1920x1080", true}, {"640X480", true},
                              {"x480", false}, {"640x", false}, {"0x480", false}, {"640x480x2", false},
                              {"640 x480", false}, {"99999999x1", false}}) {
        int a = 0, b = 0;
        bool box = std::strchr(text, 'x') || std::strchr(text, 'X');
        EXPECT_EQ(box ? parseFitBox(text, a, b) : parseScalePercent(text, a), good) << text;
    }
}

// The average of the screen pixels under each frame pixel, weighted by the part covered.
std::vector<double> averaged(const Bytes& source, int sourceWidth, int sourceHeight, int width, int height)
{
    std::vector<double> out(size_t(width) * height * 4);
    double sx = double(sourceWidth) / width, sy = double(sourceHeight) / height;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int j = int(y * sy); j < sourceHeight && j < (y + 1) * sy; ++j)
                for (int i = int(x * sx); i < sourceWidth && i < (x + 1) * sx; ++i) {
                    double w = (std::min(i + 1.0, (x + 1) * sx) - std::max(double(i), x * sx)) *
                               (std::min(j + 1.0, (y + 1) * sy) - std::max(double(j), y * sy)) / (sx * sy);
                    for (int k = 0; k < 4; ++k)
                        out[size_t((y * width + x) * 4 + k)] += w * source[size_t((j * sourceWidth + i) * 4 + k)];
                }
    return out;
}

// A frame made while the picture's rows arrive, in strips of any height, is the frame of the
// whole picture made at once, byte for byte: scaled by half, by an odd ratio, or not at all.
// Rows that stop short, skip a strip or belong to a picture of another size make no frame,
// and the next frame is made as before; so is one after an encoder error.
TEST(FrameStreamTest, RowsAsTheyArriveMakeTheWholePicturesFrameUnlessTheyFallShort)
{
    struct Case {
        int screenWidth, screenHeight, width, height, strip;
    };
    JpegEncoder streamed, whole;
    PictureScaler streamScaler, wholeScaler;
    FrameStream stream;
    std::mt19937 noise(7);
    std::string error;
    for (const Case& c : {Case{256, 128, 128, 64, 64}, {300, 200, 199, 133, 7}, {160, 120, 160, 120, 50},
                          {64, 48, 21, 16, 1}}) {
        SCOPED_TRACE(testing::Message() << c.screenWidth << "x" << c.screenHeight << " to " << c.width << "x"
                                        << c.height << " in strips of " << c.strip);
        int pitch = c.screenWidth * 4 + 8;
        Bytes screen(size_t(pitch) * size_t(c.screenHeight));
        for (uint8_t& byte : screen)
            byte = uint8_t(noise());
        // Rows not yet arrived hold nothing of the picture: a frame row made too early shows.
        Bytes arriving(screen.size());
        ScreenPicture picture{arriving.data(), c.screenWidth, c.screenHeight, pitch, TJPF_BGRX, true, {}};
        bool scaled = c.width != c.screenWidth;
        Bytes out(size_t(c.width) * 4 * size_t(c.height)), reference(out.size());
        const uint8_t* pixels = screen.data();
        int rowPitch = pitch;
        if (scaled) {
            wholeScaler.scale(screen.data(), c.screenWidth, c.screenHeight, pitch, reference.data(), c.width,
                              c.height, c.width * 4, {0, 0, c.width, c.height});
            pixels = reference.data();
            rowPitch = c.width * 4;
        }
        ASSERT_TRUE(whole.encode(pixels, c.width, rowPitch, c.height, TJPF_BGRX, TJSAMP_420, 80, error)) << error;
        FrameStream::Target target{c.screenWidth, c.screenHeight, c.width, c.height, scaled ? out.data() : nullptr,
                                   TJSAMP_420, 80};
        enum Flaw { StopsShort, SkipsAStrip, OtherSize, None };
        for (Flaw flaw : {StopsShort, SkipsAStrip, OtherSize, None}) {
            stream.arm(target, streamed, streamScaler);
            std::fill(arriving.begin(), arriving.end(), 0);
            for (int top = 0; top < c.screenHeight; top += c.strip) {
                int bottom = std::min(top + c.strip, c.screenHeight);
                if ((flaw == StopsShort && bottom == c.screenHeight) || (flaw == SkipsAStrip && top == c.strip))
                    continue;
                std::copy(screen.begin() + top * pitch, screen.begin() + bottom * pitch, arriving.begin() + top * pitch);
                ScreenPicture arrived = picture;
                arrived.width -= flaw == OtherSize;
                stream.rowsArrived(arrived, top, bottom);
            }
            EXPECT_EQ(stream.finish(error), flaw == None) << flaw;
            EXPECT_EQ(error, "") << flaw;
        }
        EXPECT_EQ(Bytes(streamed.data(), streamed.data() + streamed.size()),
                  Bytes(whole.data(), whole.data() + whole.size()));
        if (scaled)
            EXPECT_EQ(out, reference);
    }
    Bytes grey(64 * 4 * 8, 128);
    EXPECT_FALSE(streamed.encode(grey.data(), 0, 256, 8, TJPF_BGRX, TJSAMP_420, 80, error));
    EXPECT_EQ(error.rfind("JPEG: ", 0), 0u) << error;
    EXPECT_FALSE(streamed.rows(nullptr, 0, 1, error));
    ASSERT_TRUE(streamed.encode(grey.data(), 64, 256, 8, TJPF_BGRX, TJSAMP_444, 90, error)) << error;
    tjhandle decoder = tjInitDecompress();
    int width = 0, height = 0, subsampling = -1, colours = 0;
    EXPECT_EQ(tjDecompressHeader3(decoder, streamed.data(), static_cast<unsigned long>(streamed.size()), &width,
                                  &height, &subsampling, &colours), 0);
    EXPECT_EQ(std::tuple(width, height, subsampling), std::tuple(64, 8, int(TJSAMP_444)));
    tjDestroy(decoder);
}

// Scaled pictures are the exact averages rounded, for whole and fractional ratios; a
// change rescaled in the frame pixels its rectangle maps to gives the picture scaled
// whole, and nothing outside them differs; a one-pixel line still shows.
TEST(FrameScaleTest, PicturesAreAveragedAndChangesStayInsideTheirScaledRectangles)
{
    std::mt19937 random(5);
    for (const std::array<int, 4>& sizes : {std::array{64, 48, 32, 24}, {90, 60, 59, 39}, {37, 23, 12, 7},
                                             {100, 30, 33, 29}, {17, 19, 17, 19}, {53, 47, 1, 1}}) {
        const int sourceWidth = sizes[0], sourceHeight = sizes[1], width = sizes[2], height = sizes[3];
        SCOPED_TRACE(testing::Message() << sourceWidth << "x" << sourceHeight << " -> " << width << "x" << height);
        Bytes source(size_t(sourceWidth) * sourceHeight * 4);
        for (uint8_t& byte : source)
            byte = uint8_t(random());
        PictureScaler scaler;
        auto scaleWhole = [&](Bytes& out) {
            out.assign(size_t(width) * height * 4, 0);
            scaler.scale(source.data(), sourceWidth, sourceHeight, sourceWidth * 4, out.data(), width, height,
                         width * 4, {0, 0, width, height});
        };
        Bytes scaled;
        scaleWhole(scaled);
        std::vector<double> expected = averaged(source, sourceWidth, sourceHeight, width, height);
        int off = 0;
        for (size_t at = 0; at < scaled.size(); ++at)
            off += std::abs(scaled[at] - expected[at]) > 0.5 + 1e-6;
        EXPECT_EQ(off, 0);

        for (int round = 0; round < 20; ++round) {
            PixelRect change{int(random() % sourceWidth), int(random() % sourceHeight), 0, 0};
            change.width = 1 + int(random() % (sourceWidth - change.x));
            change.height = 1 + int(random() % (sourceHeight - change.y));
            for (int y = change.y; y < change.y + change.height; ++y)
                for (int x = change.x; x < change.x + change.width; ++x)
                    source[size_t((y * sourceWidth + x) * 4 + 1)] ^= 0x80;
            PixelRect touched = scaleRect(change, sourceWidth, sourceHeight, width, height);
            Bytes partly = scaled, whole;
            scaler.scale(source.data(), sourceWidth, sourceHeight, sourceWidth * 4, partly.data(), width, height,
                         width * 4, touched);
            scaleWhole(whole);
            EXPECT_TRUE(partly == whole) << change.x << "," << change.y << " " << change.width << "x" << change.height;
            scaled = whole;
        }
    }
    // A black line one pixel wide on white, at 66 % and at 25 %: a quarter of its
    // darkness at least where it passes.
    for (int width : {66, 25}) {
        Bytes white(100 * 10 * 4, 255), out(size_t(width) * 3 * 4);
        for (int y = 0; y < 10; ++y)
            std::memset(&white[size_t((y * 100 + 41) * 4)], 0, 4);
        PictureScaler scaler;
        scaler.scale(white.data(), 100, 10, 400, out.data(), width, 3, width * 4, {0, 0, width, 3});
        int column = 41 * width / 100;
        EXPECT_LE(out[size_t(width * 4 + column * 4)], 192) << width;
    }
}

// A frame pixel clicked lands on the screen pixel under its centre, inside the area the
// frame pixel averages; the edges on the edges.
TEST(FrameScaleTest, ViewerPositionsLandOnTheScreenPixelUnderTheFramePixelsCentre)
{
    // Frame pixel, frame extent, screen extent: the screen pixel.
    for (auto [at, extent, screenExtent, screen] :
         {std::tuple{0, 1920, 3840, 0}, {1, 1920, 3840, 3}, {960, 1920, 3840, 1921}, {1919, 1920, 3840, 3839},
          {1000, 2534, 3840, 1516}, {2533, 2534, 3840, 3839}, {1, 10, 100, 15}, {9, 10, 100, 99}, {5, 10, 7, 3}})
        EXPECT_EQ(screenCoordinate(at, extent, screenExtent), screen) << at << " of " << extent;
    for (auto [screenExtent, extent] : {std::pair{3840, 1920}, {3840, 2534}, {1000, 333}, {7, 3}}) {
        for (int at = 0; at < extent; ++at) {
            int screen = screenCoordinate(at, extent, screenExtent);
            PixelRect back = scaleRect({screen, 0, 1, 1}, screenExtent, 1, extent, 1);
            EXPECT_TRUE(back.x <= at && at < back.x + back.width) << at << " of " << extent << " -> " << screen;
        }
        EXPECT_EQ(screenCoordinate(extent - 1, extent, screenExtent), screenExtent - 1);
    }
}

// --monitor's value, then the monitor it picks among those a host found, listed as a
// system may list them (primary first): numbers count by place, names match as typed,
// then in any case and without "\\.\"; anything else names every monitor there is.
TEST(MonitorChoiceTest, NumbersCountByPlaceNamesMatchLooselyAndTheRestListsTheMonitors)
{
    std::vector<MonitorInfo> monitors = {{"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}, true},
                                         {"\\\\.\\DISPLAY2", {-1280, 56, 1280, 1024}, false},
                                         {"dp-1", {0, -1080, 1920, 1080}, false},
                                         {"DP-1", {1920, 0, 800, 600}, false}};
    orderMonitors(monitors);
    const std::string all = "1: \\\\.\\DISPLAY2 1280x1024-1280+56, 2: dp-1 1920x1080+0-1080, "
                            "3: \\\\.\\DISPLAY1 1920x1080+0+0 (primary), 4: DP-1 800x600+1920+0";
    // The text, then the monitor chosen (-1: all; -2: the option refused), or the error.
    for (auto [text, index, error] :
         {std::tuple{"all", -1, ""}, {"1", 0, ""}, {"3", 2, ""}, {"4", 3, ""}, {"001", 0, ""},
          {"5", -3, "no monitor 5"}, {"999", -3, "no monitor 999"}, {"0", -2, ""}, {"1000", -2, ""}, {"", -2, ""},
          {"DP-1", 3, ""}, {"dp-1", 1, ""}, {"Dp-1", 1, ""}, {"\\\\.\\dp-1", 1, ""}, {"DISPLAY1", 2, ""},
          {"\\\\.\\display2", 0, ""}, {"display", -3, "no monitor 'display'"}, {"-1", -3, "no monitor '-1'"},
          {"All", -3, "no monitor 'All'"}}) {
        SCOPED_TRACE(text);
        MonitorChoice choice;
        ASSERT_EQ(parseMonitorChoice(text, choice), index != -2);
        if (index == -2)
            continue;
        int chosen = -5;
        std::string problem;
        EXPECT_EQ(chooseMonitor(choice, monitors, chosen, problem), index != -3);
        if (index == -3) {
            EXPECT_EQ(problem, std::string(error) + "; the monitors here (--monitor NUMBER or NAME): " + all);
        } else {
            EXPECT_EQ(chosen, index);
        }
    }
    // A screen rectangle (an X region's, up to 16-bit extremes) cut to a monitor, from its corner.
    const PixelRect left = {-1280, 56, 1280, 1024};
    for (auto [rect, inside] :
         {std::pair{PixelRect{-1300, 0, 100, 100}, PixelRect{0, 0, 80, 44}}, {{-1, 1079, 5, 5}, {1279, 1023, 1, 1}},
          {{-32768, -32768, 65535, 65535}, {0, 0, 1280, 1024}}, {{0, 0, 100, 100}, {}}, {{-1281, 56, 1, 1024}, {}},
          {{-1280, 1080, 1280, 5}, {}}})
        EXPECT_EQ(rectInMonitor(rect, left), inside) << rect.x << "," << rect.y;
}

TEST(InputStreamTest, MessagesComeWholeHoweverTheStreamIsCut)
{
    Bytes stream;
    for (uint32_t word : {0x0301u, 0x0202u, 0x00460064u, 640u, 480u, 0x0401u, 1u, 0x41u, 0u, 0u, 0x0501u, 0x0701u,
                          0x0999u, 0x0301u, 0x0204u}) {
        stream.resize(stream.size() + 4);
        writeLittleEndian32(&stream[stream.size() - 4], word);
    }
    const std::vector<std::string> expected = {"301 202 460064 640 480", "401 1 41 0 0", "501 0 0 0 0", "701 0 0 0 0",
                                               "999 0 0 0 0 unknown"};
    for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        InputStream input;
        std::vector<std::string> seen;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            input.append(stream.data() + at, std::min(chunk, stream.size() - at));
            for (InputEvent event; input.next(event);) {
                char text[64];
                std::snprintf(text, sizeof text, "%X %X %X %d %d%s", event.type, event.argument, event.position,
                              event.width, event.height, event.known ? "" : " unknown");
                seen.push_back(text);
            }
        }
        EXPECT_EQ(seen, expected) << "chunks of " << chunk;
        EXPECT_EQ(input.pendingSize(), 8u) << "chunks of " << chunk;  // the cut-off mouse message
    }
}

// The key tables against the system's own XKB data: for every code, the key it names
// exists on the keyboard that layout describes and types there, plain and shifted, what the
// key that sends the code types on Windows.
using Syms = std::pair<xkb_keysym_t, xkb_keysym_t>;  // plain and shifted; 0 is not checked

// The first level only, or the keypad's NumLock level.
const std::map<uint32_t, Syms> kBoth = {
    {0x03, {XKB_KEY_Pause, 0}}, {0x08, {XKB_KEY_BackSpace, 0}}, {0x09, {XKB_KEY_Tab, 0}},
    {0x0C, {XKB_KEY_KP_Begin, XKB_KEY_KP_5}}, {0x0D, {XKB_KEY_Return, 0}}, {0x10, {XKB_KEY_Shift_L, 0}},
    {0x11, {XKB_KEY_Control_L, 0}}, {0x12, {XKB_KEY_Alt_L, 0}}, {0x13, {XKB_KEY_Pause, 0}},
    {0x1B, {XKB_KEY_Escape, 0}}, {0x20, {XKB_KEY_space, 0}}, {0x21, {XKB_KEY_Prior, 0}}, {0x22, {XKB_KEY_Next, 0}},
    {0x23, {XKB_KEY_End, 0}}, {0x24, {XKB_KEY_Home, 0}}, {0x25, {XKB_KEY_Left, 0}}, {0x26, {XKB_KEY_Up, 0}},
    {0x27, {XKB_KEY_Right, 0}}, {0x28, {XKB_KEY_Down, 0}}, {0x2C, {XKB_KEY_Print, 0}},
    {0x2D, {XKB_KEY_Insert, 0}}, {0x2E, {XKB_KEY_Delete, 0}}, {0x5B, {XKB_KEY_Super_L, 0}},
    {0x5C, {XKB_KEY_Super_R, 0}}, {0x5D, {XKB_KEY_Menu, 0}}, {0x6A, {XKB_KEY_KP_Multiply, 0}},
    {0x6B, {XKB_KEY_KP_Add, 0}}, {0x6D, {XKB_KEY_KP_Subtract, 0}}, {0x6E, {XKB_KEY_KP_Delete, XKB_KEY_KP_Decimal}},
    {0x6F, {XKB_KEY_KP_Divide, 0}}, {0x90, {XKB_KEY_Num_Lock, 0}}, {0x91, {XKB_KEY_Scroll_Lock, 0}},
    {0xA0, {XKB_KEY_Shift_L, 0}}, {0xA1, {XKB_KEY_Shift_R, 0}}, {0xA2, {XKB_KEY_Control_L, 0}},
    {0xA3, {XKB_KEY_Control_R, 0}}, {0xA4, {XKB_KEY_Alt_L, 0}}, {0xA5, {XKB_KEY_Alt_R, 0}},
    {0xBC, {',', '<'}}, {0xBE, {'.', '>'}}, {0xBF, {'/', '?'}},
};

const std::map<uint32_t, Syms> kUs = {
    {0xC0, {'`', '~'}}, {0xBD, {'-', '_'}}, {0xBB, {'=', '+'}}, {0xDB, {'[', '{'}}, {0xDD, {']', '}'}},
    {0xDC, {'\\', '|'}}, {0xBA, {';', ':'}}, {0xDE, {'\'', '"'}}, {0x14, {XKB_KEY_Caps_Lock, 0}},
    {0xE2, {0, 0}},  // the ISO key: Windows types \ | there, X's us layout < >
};

const std::map<uint32_t, Syms> kJis = {
    {0xBD, {'-', '='}}, {0xDE, {'^', '~'}}, {0xC0, {'@', '`'}}, {0xDB, {'[', '{'}}, {0xBB, {';', '+'}},
    {0xBA, {':', '*'}}, {0xDD, {']', '}'}}, {0xE2, {'\\', '_'}},
    {0xDC, {'\\', '|'}},  // ¥: the code page's 0x5C
    {0xF3, {XKB_KEY_Zenkaku_Hankaku, 0}}, {0xF4, {XKB_KEY_Zenkaku_Hankaku, 0}}, {0x19, {XKB_KEY_Zenkaku_Hankaku, 0}},
    {0x1C, {XKB_KEY_Henkan, 0}}, {0x1D, {XKB_KEY_Muhenkan, 0}}, {0xF2, {XKB_KEY_Hiragana_Katakana, 0}},
    {0x15, {XKB_KEY_Hiragana_Katakana, 0}}, {0xF1, {XKB_KEY_Hiragana_Katakana, 0}},
    {0xF5, {XKB_KEY_Hiragana_Katakana, 0}}, {0xF6, {XKB_KEY_Hiragana_Katakana, 0}},
    {0xF0, {XKB_KEY_Eisu_toggle, XKB_KEY_Caps_Lock}}, {0x14, {XKB_KEY_Eisu_toggle, XKB_KEY_Caps_Lock}},
};

xkb_keysym_t symAt(xkb_keymap* keymap, xkb_keycode_t code, unsigned level)
{
    const xkb_keysym_t* syms = nullptr;
    return xkb_keymap_key_get_syms_by_level(keymap, code, 0, level, &syms) == 1 ? syms[0] : 0;
}

TEST(KeyPlaceTest, EveryCodeNamesAKeyThatTypesWhatWindowsTypesThere)
{
    struct Case {
        KeyboardLayout layout;
        const char* model;
        const char* xLayout;
        const std::map<uint32_t, Syms>& own;
        const char* shiftedDigits;  // from 0; a space where Windows types nothing
    };
    for (const Case& c : {Case{KeyboardLayout::Us, "pc105", "us", kUs, ")!@#$%^&*("},
                          Case{KeyboardLayout::Jis, "jp106", "jp", kJis, " !\"#$%&'()"}}) {
        std::unique_ptr<xkb_context, void (*)(xkb_context*)> context(
            xkb_context_new(xkb_context_flags(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES)),
            xkb_context_unref);
        ASSERT_TRUE(context && xkb_context_include_path_append(context.get(), "/usr/share/X11/xkb"));
        xkb_rule_names names{"evdev", c.model, c.xLayout, "", ""};
        std::unique_ptr<xkb_keymap, void (*)(xkb_keymap*)> keymap(
            xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS), xkb_keymap_unref);
        ASSERT_TRUE(keymap) << c.xLayout;

        std::map<uint32_t, Syms> expected = kBoth;
        expected.insert(c.own.begin(), c.own.end());
        for (uint32_t i = 0; i < 26; ++i)
            expected['A' + i] = {XKB_KEY_a + i, XKB_KEY_A + i};
        for (uint32_t i = 0; i < 10; ++i) {
            expected['0' + i] = {XKB_KEY_0 + i, xkb_keysym_t(c.shiftedDigits[i] == ' ' ? 0 : c.shiftedDigits[i])};
            expected[0x60 + i] = {0, XKB_KEY_KP_0 + i};
        }
        for (uint32_t i = 0; i < 24; ++i)
            expected[0x70 + i] = {i < 12 ? XKB_KEY_F1 + i : 0, 0};  // F13 on: launcher keysyms on X

        for (uint32_t key = 0; key < 256; ++key) {
            std::string place = keyPlace(c.layout, key);
            auto want = expected.find(key);
            SCOPED_TRACE(testing::Message() << c.xLayout << " 0x" << std::hex << key << " " << place);
            if (want == expected.end()) {
                EXPECT_EQ(place, "");
                continue;
            }
            xkb_keycode_t code = xkb_keymap_key_by_name(keymap.get(), place.c_str());
            ASSERT_NE(code, XKB_KEYCODE_INVALID);
            auto [plain, shifted] = want->second;
            if (plain)
                EXPECT_EQ(symAt(keymap.get(), code, 0), plain);
            if (shifted)
                EXPECT_EQ(symAt(keymap.get(), code, 1), shifted);
        }
    }
}

}  // namespace

namespace {

std::string text(const std::vector<PixelRect>& areas)
{
    std::string out;
    for (const PixelRect& a : areas)
        out += " " + std::to_string(a.width) + "x" + std::to_string(a.height) + "@" + std::to_string(a.x) + "," +
               std::to_string(a.y);
    return out;
}

}  // namespace

// Changed parts are merged where their grid cells touch and cut back to what changed;
// too many become one box, too much the whole picture.
TEST(FrameAreasTest, ChangedPartsArePlannedOnTheGridAndPackedWithoutSharingABlock)
{
    std::vector<PixelRect> scattered;
    for (int i = 0; i < 80; ++i)
        scattered.push_back({(i % 10) * 64 + 1, (i / 10) * 64 + 1, 1, 1});
    const std::pair<std::vector<PixelRect>, const char*> cases[] = {
        {{}, ""},
        {{{5, 5, 1, 1}}, " 1x1@5,5"},
        {{{1910, 1075, 10, 5}}, " 10x5@1910,1075"},
        {{{1919, 0, 5, 5}, {-4, -4, 6, 6}}, " 2x2@0,0 1x5@1919,0"},      // clipped to the picture
        {{{16, 16, 16, 16}, {40, 20, 10, 12}}, " 34x16@16,16"},           // cells side by side: one run
        {{{0, 0, 40, 40}, {0, 40, 20, 20}}, " 40x48@0,0 20x12@0,48"},    // an L: two areas
        {{{3, 3, 2, 2}, {12, 12, 2, 2}}, " 11x11@3,3"},                  // in one cell: one box
        {{{10, 0, 1000, 1080}}, "whole"},
        {scattered, " 577x449@1,1"},  // one box round them all
    };
    for (const auto& [changed, expected] : cases) {
        AreaPlan plan = planAreas(changed, 1920, 1080);
        EXPECT_EQ(plan.whole ? std::string("whole") : text(plan.areas), expected) << text(changed);
    }

    // Packed: every area in a slot of its own on the grid, inside the atlas; a slot's spare
    // columns and rows repeat the area's last pixels.
    const int width = 64, height = 40;
    std::vector<uint8_t> picture(size_t(width) * height * 4);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = uint8_t(i * 7 + i / 256);
    std::vector<PixelRect> areas = {{0, 0, 48, 16}, {48, 0, 16, 32}, {0, 32, 64, 8}, {16, 16, 16, 16}};
    Atlas atlas = packAtlas(areas);
    ASSERT_EQ(atlas.areas.size(), areas.size());
    std::vector<uint8_t> image;
    fillAtlas(picture.data(), width * 4, atlas, image);
    ASSERT_EQ(image.size(), size_t(atlas.width) * atlas.height * 4);
    auto slot = [](int extent) { return (extent + 15) / 16 * 16; };
    for (size_t i = 0; i < atlas.areas.size(); ++i) {
        const FrameArea& a = atlas.areas[i];
        EXPECT_EQ(a.place, areas[i]);
        EXPECT_TRUE(a.sourceX % kAreaGrid == 0 && a.sourceY % kAreaGrid == 0);
        for (size_t j = 0; j < i; ++j) {
            const FrameArea& b = atlas.areas[j];
            EXPECT_TRUE(a.sourceX + slot(a.place.width) <= b.sourceX || b.sourceX + slot(b.place.width) <= a.sourceX ||
                        a.sourceY + slot(a.place.height) <= b.sourceY || b.sourceY + slot(b.place.height) <= a.sourceY)
                << i << " and " << j;
        }
        int slotHeight = slot(a.place.height);
        ASSERT_LE(a.sourceY + slotHeight, atlas.height);
        for (int y = 0; y < slotHeight; ++y)
            for (int x = 0; x < a.place.width; ++x) {
                const uint8_t* from =
                    &picture[(size_t(a.place.y + std::min(y, a.place.height - 1)) * width + size_t(a.place.x + x)) * 4];
                const uint8_t* to = &image[(size_t(a.sourceY + y) * atlas.width + size_t(a.sourceX + x)) * 4];
                ASSERT_EQ(std::memcmp(from, to, 4), 0) << "area " << i << " at " << x << "," << y;
            }
    }
}

// The portal's restore token kept across starts: private, and read back only when it is
// what was written; anything else in its place is not sent (the portal then asks again).
TEST(RestoreToken, KeptPrivateAndReadBackOnlyWhenSound)
{
    char pattern[] = "/tmp/tavimo-state-XXXXXX";
    std::string dir = mkdtemp(pattern), path = dir + "/state/tavimo-host/portal-restore-token";
    std::string token, why, error;
    EXPECT_FALSE(loadRestoreToken(path, token, why));
    EXPECT_EQ(why, "");  // none yet is no fault
    ASSERT_TRUE(saveRestoreToken(path, "0b7e3f2a-uuid", error)) << error;
    EXPECT_FALSE(saveRestoreToken(path, "two\nlines", error));
    EXPECT_TRUE(loadRestoreToken(path, token, why) && token == "0b7e3f2a-uuid") << why;
    struct stat file {}, folder {};
    ASSERT_TRUE(stat(path.c_str(), &file) == 0 && stat((dir + "/state").c_str(), &folder) == 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    for (const std::string& bad : {std::string(""), std::string("a b"), std::string(257, 'x'), std::string("a\x01"),
                                   std::string("a\n\n"), std::string("\xc3\xa9")}) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bad;
        EXPECT_FALSE(loadRestoreToken(path, token, why)) << bad;
        EXPECT_NE(why, "") << bad;
    }
    std::filesystem::remove(path);
    std::ofstream(dir + "/elsewhere") << "planted\n";
    std::filesystem::create_symlink(dir + "/elsewhere", path);
    EXPECT_FALSE(loadRestoreToken(path, token, why));
    std::filesystem::remove_all(dir);
}
