// The mouse reaches the server as input messages, through real X input on the viewer's
// window. (Keys: the input channel's focus test.)
#include <gtest/gtest.h>

#include "tests/win/support/app_fixture.h"

namespace {

bool has(const std::string& line, const std::string& part) { return line.find(part) != std::string::npos; }

TEST(ViewerInput, ButtonsAndDragsAreSentAsTheyHappenAtFramePositions)
{
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 800x600", 2));

    xdotool("mousemove " + s.at(50, 50) + " mousedown 1 mousemove " + s.at(60, 55) + " mousemove " + s.at(70, 60) +
            " mouseup 1");
    auto mouse = s.settle("MOUSE", 2);
    ASSERT_GE(mouse.size(), 2u);  // the system may merge moves, but at least one comes
    EXPECT_TRUE(has(mouse.back(), "arg=0x0202")) << mouse.back();
    for (size_t i = 0; i + 1 < mouse.size(); ++i)
        EXPECT_TRUE(has(mouse[i], "arg=0x0000")) << mouse[i];
    EXPECT_TRUE(has(mouse[mouse.size() - 2], "x=70 y=60")) << mouse[mouse.size() - 2];

    // A click (the press itself sends nothing), moving without a button, the other
    // buttons, double clicks and the wheel.
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"mousemove " + s.at(10, 20) + " click 1", {"0x0202"}},
        {"mousemove " + s.at(100, 100) + " mousemove " + s.at(120, 110) + " click 3 click 2",
         {"0x0204", "0x0205", "0x0207", "0x0208"}},
        {"click --repeat 2 --delay 60 1", {"0x0202", "0x0302", "0x0202"}},
        {"click --repeat 2 --delay 60 3", {"0x0204", "0x0205", "0x0205"}},  // press, release, release
        {"click 4 click 5", {}},  // the wheel scrolls here and is not sent
    };
    for (const auto& [actions, codes] : cases) {
        size_t before = mouse.size();
        xdotool(actions);
        mouse = s.settle("MOUSE", before + codes.size());
        std::vector<std::string> sent;  // the event codes
        for (size_t i = before; i < mouse.size(); ++i)
            sent.push_back(mouse[i].substr(mouse[i].find("arg=") + 4, 6));
        EXPECT_EQ(codes, sent) << actions;
    }

    // In a scrolled 640 by 480 view, the position is the frame's and the size the client's.
    // The scroll bars that come take from the client area: sized again until it fits.
    ASSERT_TRUE(waitUntil([&] {
        RECT window, client;
        GetWindowRect(s.main, &window);
        GetClientRect(s.main, &client);
        SetWindowPos(s.main, nullptr, 0, 0, window.right - window.left + 640 - client.right,
                     window.bottom - window.top + 480 - client.bottom, SWP_NOMOVE | SWP_NOZORDER);
        return client.right == 640 && client.bottom == 480;
    }, 5000));
    SendMessageW(s.main, WM_HSCROLL, MAKEWPARAM(SB_THUMBTRACK, 100), 0);
    SendMessageW(s.main, WM_VSCROLL, MAKEWPARAM(SB_THUMBTRACK, 50), 0);
    xdotool("mousemove " + s.at(10, 20) + " click 1");
    mouse = s.settle("MOUSE", mouse.size() + 1);
    EXPECT_TRUE(has(mouse.back(), "arg=0x0202 pos=0x0046006E x=110 y=70 width=640 height=480")) << mouse.back();
}

TEST(ViewerInput, BeforeTheFirstFrameOnlyTheDoubleClickIsSent)
{
    AppSession s;
    // The announced body never comes, so no frame is ever shown.
    ASSERT_NO_FATAL_FAILURE(s.open("--pattern 200x100 --announce -1", 0));
    xdotool("mousemove " + s.at(40, 40) + " click --repeat 2 --delay 60 1");
    Sleep(1000);  // well past the double-click time
    xdotool("click 1 click 3 key a");
    auto mouse = s.settle("MOUSE", 1);
    ASSERT_EQ(1u, mouse.size());
    EXPECT_TRUE(has(mouse[0], "arg=0x0302")) << mouse[0];
    EXPECT_TRUE(s.inputs("KEY").empty());
}

}  // namespace
