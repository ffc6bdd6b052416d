// The host's logic that needs no X server: the mouse state machine, the key table and
// its tracker, the quality steps, position clamping and the InputChannel stream parser.
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <string>
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

struct MouseEvent {
    uint32_t code;
    int x, y;
};

// "m10,20 p1 r1 | ..." : the actions of each event, separated by bars.
std::string play(MouseMachine& machine, const std::vector<MouseEvent>& events)
{
    std::string out;
    for (const MouseEvent& event : events) {
        std::vector<PointerAction> actions;
        machine.apply(event.code, event.x, event.y, actions);
        if (&event != &events.front())
            out += " | ";
        std::string step;
        for (const PointerAction& action : actions) {
            step += step.empty() ? "" : " ";
            if (action.kind == PointerAction::Move)
                step += "m" + std::to_string(action.x) + "," + std::to_string(action.y);
            else
                step += (action.kind == PointerAction::Press ? "p" : "r") + std::to_string(action.button);
        }
        out += step;
    }
    return out;
}

TEST(MouseMachineTest, ViewerEventsBecomePressesReleasesAndMoves)
{
    struct Case {
        const char* name;
        std::vector<MouseEvent> events;
        const char* actions;
        const char* released;  // what releaseAll gives afterwards
    };
    const Case cases[] = {
        {"click: a release with the button up", {{0x0202, 10, 20}}, "m10,20 p1 r1", ""},
        {"drag presses first, then moves", {{0, 5, 5}, {0, 6, 7}, {0x0202, 8, 9}}, "m5,5 p1 | m6,7 | m8,9 r1", ""},
        {"double click is a second press",
         {{0x0202, 3, 3}, {0x0302, 3, 3}, {0x0202, 3, 3}},
         "m3,3 p1 r1 | m3,3 p1 | m3,3 r1",
         ""},
        {"right and middle as sent", {{0x0204, 1, 1}, {0x0205, 2, 2}, {0x0207, 3, 3}, {0x0208, 4, 4}},
         "m1,1 p3 | m2,2 r3 | m3,3 p2 | m4,4 r2", ""},
        {"a release never pressed is only a move", {{0x0205, 1, 1}, {0x0208, 2, 2}}, "m1,1 | m2,2", ""},
        {"a second press is only a move", {{0x0204, 1, 1}, {0x0204, 2, 2}}, "m1,1 p3 | m2,2", "r3"},
        {"unknown codes do nothing", {{0x0201, 1, 1}, {0x9999, 1, 1}}, " | ", ""},
        {"held buttons are let go at the end", {{0, 1, 1}, {0x0207, 1, 1}, {0x0204, 1, 1}}, "m1,1 p1 | m1,1 p2 | m1,1 p3",
         "r1 r2 r3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MouseMachine machine;
        EXPECT_EQ(play(machine, c.events), c.actions);
        std::vector<PointerAction> releases;
        machine.releaseAll(releases);
        std::string released;
        for (const PointerAction& action : releases)
            released += (released.empty() ? "r" : " r") + std::to_string(action.button);
        EXPECT_EQ(released, c.released);
    }
}

TEST(MouseMachineTest, PositionsAreClampedToTheScreen)
{
    struct Case {
        uint32_t position;
        int x, y;
    };
    const Case cases[] = {
        {0x00000000, 0, 0}, {0x00460064, 100, 70}, {0x04FF0500, 639, 479}, {0xFFFFFFFF, 639, 479},
        {0x01DF027F, 639, 479},
    };
    for (const Case& c : cases) {
        int x = -1, y = -1;
        clampToScreen(c.position, 640, 480, x, y);
        EXPECT_EQ(x, c.x) << std::hex << c.position;
        EXPECT_EQ(y, c.y) << std::hex << c.position;
    }
}

TEST(KeyTableTest, VirtualKeysMapToUnshiftedUsKeysyms)
{
    const std::pair<uint32_t, uint32_t> cases[] = {
        {'A', XK_a}, {'Z', XK_z}, {'0', XK_0}, {'9', XK_9}, {0x70, XK_F1}, {0x87, XK_F24},
        {0x21, XK_Prior}, {0x23, XK_End}, {0x24, XK_Home}, {0x25, XK_Left}, {0x28, XK_Down}, {0x2E, XK_Delete}, {0x0D, XK_Return},
        {0x20, XK_space}, {0x60, XK_KP_0}, {0x69, XK_KP_9}, {0x6F, XK_KP_Divide}, {0x10, XK_Shift_L},
        {0xA1, XK_Shift_R}, {0xA3, XK_Control_R}, {0xA5, XK_Alt_R}, {0x5B, XK_Super_L},
        {0xBA, XK_semicolon}, {0xBB, XK_equal}, {0xBF, XK_slash}, {0xC0, XK_grave},
        {0xDB, XK_bracketleft}, {0xDE, XK_apostrophe}, {0x1C, XK_Henkan_Mode}, {0x1D, XK_Muhenkan},
        {0x19, XK_Kanji}, {0xF3, XK_Hankaku},
        // No keysym: mouse buttons, reserved and unassigned codes.
        {0x01, 0}, {0x07, 0}, {0x3A, 0}, {0x88, 0}, {0xFF, 0}, {0x1234, 0},
    };
    for (const auto& [key, keysym] : cases)
        EXPECT_EQ(keysymForVirtualKey(key), keysym) << std::hex << key;
    for (uint32_t key : {0x01u, 0x02u, 0x04u, 0x05u, 0x06u})
        EXPECT_TRUE(isMouseButtonKey(key)) << key;
    for (uint32_t key : {0x03u, 0x07u, 0x10u, 0x41u})
        EXPECT_FALSE(isMouseButtonKey(key)) << key;
}

TEST(KeyTableTest, AKeysymStaysDownWhileAnyCodeHoldsIt)
{
    struct Step {
        uint32_t key;
        bool down;
        KeyAction expected;
    };
    // Left shift comes as VK_SHIFT and VK_LSHIFT, both Shift_L.
    const Step steps[] = {
        {0x10, true, KeyAction::Press},   {0xA0, true, KeyAction::Nothing}, {'A', true, KeyAction::Press},
        {'A', true, KeyAction::Nothing},  {0x10, false, KeyAction::Nothing}, {0xA0, false, KeyAction::Release},
        {0xA0, false, KeyAction::Nothing}, {'B', false, KeyAction::Nothing}, {0x11, true, KeyAction::Press},
    };
    KeyTracker tracker;
    for (const Step& step : steps)
        EXPECT_EQ(tracker.change(step.key, keysymForVirtualKey(step.key), step.down), step.expected)
            << std::hex << step.key << (step.down ? " down" : " up");
    EXPECT_EQ(tracker.releaseAll(), (std::vector<uint32_t>{XK_Control_L, XK_a}));
    EXPECT_TRUE(tracker.releaseAll().empty());
}

TEST(QualityTest, StepsDownAndClimbsBackWhenFramesAreSmall)
{
    const std::pair<int, int> lower[] = {{100, 90}, {80, 70}, {15, 10}, {10, 5}, {7, 5}, {5, 2}, {2, 1}, {1, 0}};
    for (const auto& [from, to] : lower)
        EXPECT_EQ(QualityGovernor::lower(from), to) << from;

    QualityGovernor governor(80);
    EXPECT_TRUE(governor.settled(60, 450000, 500000));  // fitted two steps down
    EXPECT_EQ(governor.start(), 60);
    EXPECT_FALSE(governor.settled(60, 400000, 500000));  // still busy: stays
    EXPECT_TRUE(governor.settled(60, 100000, 500000));   // calm: one step back up
    EXPECT_EQ(governor.start(), 70);
    EXPECT_TRUE(governor.settled(70, 100000, 500000));
    EXPECT_EQ(governor.start(), 80);
    EXPECT_FALSE(governor.settled(80, 1000, 500000));  // never above the configured quality
    EXPECT_EQ(governor.start(), 80);
}

TEST(ScreenFitTest, AResizedScreenIsCroppedOrPaddedToTheSessionSize)
{
    struct Case {
        int sourceWidth, sourceHeight, width, height;
    };
    const Case cases[] = {{8, 6, 8, 6}, {10, 7, 8, 6}, {5, 4, 8, 6}, {10, 3, 8, 6}, {3, 9, 8, 6}};
    for (const Case& c : cases) {
        // Rows padded beyond the pixels, as an XImage's may be; each pixel knows its place.
        int pitch = c.sourceWidth * 4 + 12;
        Bytes source(size_t(pitch) * size_t(c.sourceHeight), 0xEE);
        for (int y = 0; y < c.sourceHeight; ++y)
            for (int x = 0; x < c.sourceWidth; ++x)
                for (int k = 0; k < 4; ++k)
                    source[size_t(y) * pitch + size_t(x) * 4 + k] = uint8_t(1 + x + 16 * y);
        Bytes out;
        fitPicture(source.data(), c.sourceWidth, c.sourceHeight, pitch, c.width, c.height, out);
        ASSERT_EQ(out.size(), size_t(c.width) * c.height * 4);
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x) {
                bool inside = x < c.sourceWidth && y < c.sourceHeight;
                EXPECT_EQ(out[(size_t(y) * c.width + x) * 4], inside ? uint8_t(1 + x + 16 * y) : 0)
                    << c.sourceWidth << "x" << c.sourceHeight << " at " << x << "," << y;
            }
    }
}

Bytes words(std::initializer_list<uint32_t> values)
{
    Bytes out;
    for (uint32_t value : values) {
        uint8_t bytes[4];
        writeLittleEndian32(bytes, value);
        out.insert(out.end(), bytes, bytes + 4);
    }
    return out;
}

TEST(InputStreamTest, MessagesComeWholeHoweverTheStreamIsCut)
{
    Bytes stream = words({MSG_MOUSE, 0x0202, 0x00460064, 640, 480, MSG_KEY, 1, 0x41, 0, 0, MSG_SERVER_EXIT,
                          MSG_TELNET, 0x0999, MSG_MOUSE, 0x0204});
    const std::vector<std::string> expected = {"301 202 460064 640 480", "401 1 41 0 0", "501", "701", "999?"};
    for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        InputStream input;
        std::vector<std::string> seen;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            input.append(stream.data() + at, std::min(chunk, stream.size() - at));
            for (InputEvent event; input.next(event);) {
                char text[64];
                if (event.type == MSG_MOUSE || event.type == MSG_KEY)
                    std::snprintf(text, sizeof text, "%X %X %X %d %d", event.type, event.argument, event.position,
                                  event.width, event.height);
                else
                    std::snprintf(text, sizeof text, "%X%s", event.type, event.known ? "" : "?");
                seen.push_back(text);
            }
        }
        EXPECT_EQ(seen, expected) << "chunks of " << chunk;
        EXPECT_EQ(input.pendingSize(), 8u) << "chunks of " << chunk;  // the cut-off mouse message
    }
}

}  // namespace
