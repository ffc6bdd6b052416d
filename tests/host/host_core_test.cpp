#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "host/key_table.h"
#include "host/mouse_machine.h"
#include "host/quality.h"
#include "host/screen_fit.h"
#include "input/input_message.h"
#include "net/frame_protocol.h"
#include "session/input_stream.h"

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

// The table itself is checked against XKB's own data in key_place_test.cpp.
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

}  // namespace
