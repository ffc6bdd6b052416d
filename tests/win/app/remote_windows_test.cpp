// Tavimo working a Windows desktop: TavimoHost.exe in a second Wine prefix on an Xvfb of
// its own shares a target window of known colours that logs what reaches it.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstdlib>

#undef near  // a 16-bit pointer qualifier of windows.h's, the name of a frame check here
#include "tests/support/decoded_frame.h"
#include "tests/support/wire.h"
#include "tests/win/support/app_fixture.h"

namespace {

struct RemoteWindows {
    std::string address = freshLoopbackAddress();
    std::string dir = scratchFolder("windows-" + address);

    // The host's exit status goes to `status`. The remote prefix's Wine is ended as a whole.
    bool start(const std::string& hostOptions)
    {
        const char* wine = std::getenv("TAVIMO_WINE");
        if (!std::getenv("TAVIMO_REMOTE_PREFIX"))
            return false;  // scripts/test.sh makes it
        runShell("cd '" + dir + "' && rm -f display ready pids typed.txt mouse.txt host.log status\n"
                 "export WINEPREFIX=\"$TAVIMO_REMOTE_PREFIX\" WINE='" + (wine ? wine : "wine") + "'\n"
                 "timeout 300 Xvfb -displayfd 5 -screen 0 800x600x24 -nolisten tcp 5>display & echo $! >>pids\n"
                 "timeout 60 sh -c 'until [ -s display ]; do sleep 0.05; done'; export DISPLAY=:$(cat display)\n"
                 "timeout 300 $WINE '" TAVIMO_REMOTE_TARGET "' & echo $! >>pids\n"
                 "(timeout 300 $WINE '" TAVIMO_HOST_EXE_PATH "' --address " + address +
                     " --log host.log --ready ready --trace-input " + hostOptions + "; echo $? >status) &\nwait",
                 true);
        return waitUntil([&] { return fileExists(dir + "/ready") && fileExists(dir + "/mouse.txt"); }, 60000);
    }
    ~RemoteWindows()
    {
        runShell("[ -n \"$TAVIMO_REMOTE_PREFIX\" ] && WINEPREFIX=\"$TAVIMO_REMOTE_PREFIX\" wineserver -k\n"
                 "for p in $(tac '" + dir + "/pids'); do kill $p; done");
    }
    bool logged(const std::string& prefix, int wanted = 1) const
    {
        return waitUntil([&] { return countLines(dir + "/host.log", prefix) >= wanted; }, 30000);
    }
};

// A connection to the host's port, as a viewer of another process would make.
SOCKET connection(const std::string& address, int port)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(u_short(port));
    to.sin_addr.s_addr = inet_addr(address.c_str());
    EXPECT_EQ(0, connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to)) << port;
    return s;
}

TEST(RemoteWindows, TheViewerShowsAndWorksTheWindowsDesktopAndEndsTheHost)
{
    RemoteWindows remote;
    ASSERT_TRUE(remote.start("--allow-other-users"));
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(s.openDialog());
    connectTo(s.dialog, wide(remote.address));
    ASSERT_TRUE(s.waitForMain());
    ASSERT_TRUE(remote.logged("frame-recv NEXT_FRAME", 2));  // the first frame painted, unscrolled

    // The target's halves where they are on the remote screen, within JPEG's error, once the
    // frame after the target's first paint is shown.
    struct { int x, y; COLORREF colour; } places[] = {
        {210, 160, RGB(220, 30, 30)}, {390, 440, RGB(220, 30, 30)},
        {410, 160, RGB(30, 60, 220)}, {590, 440, RGB(30, 60, 220)}};
    auto within = [](int a, int b) { return std::abs(a - b) <= 40; };
    EXPECT_TRUE(waitUntil([&] {
        std::vector<uint8_t> shown = clientPixels(s.main, 800, -600, 32);
        for (auto& place : places) {
            const uint8_t* bgr = &shown[size_t(place.y * 800 + place.x) * 4];
            if (!within(bgr[2], GetRValue(place.colour)) || !within(bgr[1], GetGValue(place.colour)) ||
                !within(bgr[0], GetBValue(place.colour)))
                return false;
        }
        return true;
    }));

    // A second viewer is turned away; the first goes on.
    SOCKET second = connection(remote.address, 54321);
    EXPECT_TRUE(remote.logged("frame-refused"));
    closesocket(second);

    xdotool("mousemove " + s.at(300, 250) + " click 1");
    EXPECT_TRUE(waitUntil([&] { return readFile(remote.dir + "/mouse.txt") == "down 300 250\nup 300 250\n"; }));
    xdotool("type --delay 40 'Hello, World! (x_y) #1;'");
    EXPECT_TRUE(waitUntil([&] { return readFile(remote.dir + "/typed.txt") == "Hello, World! (x_y) #1;"; }));

    // A drag: pressed where the first move arrives, then moves, released at the end.
    xdotool("mousemove " + s.at(450, 200) + " mousedown 1 mousemove " + s.at(451, 201) +
            " sleep 0.3 mousemove " + s.at(500, 240) + " sleep 0.3 mousemove " + s.at(550, 280) +
            " sleep 0.3 mouseup 1");
    std::vector<std::string> drag;
    EXPECT_TRUE(waitUntil([&] {
        drag = readLines(remote.dir + "/mouse.txt");
        return !drag.empty() && drag.back() == "up 550 280";
    }));
    ASSERT_GE(drag.size(), 5u);
    EXPECT_EQ("down 451 201", drag[2]);
    for (size_t i = 3; i + 1 < drag.size(); ++i)
        EXPECT_EQ(0u, drag[i].find("move ")) << drag[i];

    // After the pointer's moves and the drag, sent as areas of changed tiles, the viewer
    // shows the remote screen.
    EXPECT_TRUE(remote.logged("extension-accepted version=1"));
    EXPECT_EQ(0, wrongPixels(s.main, ":" + std::to_string(std::atoi(readFile(remote.dir + "/display").c_str())),
                             remote.dir));

    // The viewer killed while Shift is down: the host lets it go. Tavimo sends Shift as both
    // VK_SHIFT and VK_LSHIFT, two keys to the host.
    xdotool("keydown shift");
    EXPECT_TRUE(remote.logged("input-key 0x10 down"));
    TerminateProcess(s.viewer.viewer, 9);
    xdotool("keyup shift");
    EXPECT_TRUE(remote.logged("input-released keys=2 buttons=0"));

    // MSG_SERVER_EXIT from the next viewer ends the host with status 0. The input port is
    // taken only once a frame channel is.
    // It is a plain viewer, which ignores the offer: whole frames in lock-step, as ever.
    SOCKET frames = connection(remote.address, 54321);
    ASSERT_TRUE(remote.logged("frame-connected", 2));
    Bytes body = fetchFrame(frames);
    MemoryTarget picture;
    FrameExtension extension;
    DecodeOptions options;
    options.extension = &extension;
    EXPECT_EQ(DecodeResult::Decoded, decodeJpegFrame(body.data(), body.size(), picture, options));
    EXPECT_TRUE(picture.width == 800 && picture.height == 600 && extension.records.offered &&
                !extension.records.hasAreas);
    SOCKET input = connection(remote.address, 54322);
    EXPECT_EQ(4, send(input, "\x01\x05\x00\x00", 4, 0));
    EXPECT_TRUE(waitUntil([&] { return readFile(remote.dir + "/status") == "0\n"; }, 30000));
    closesocket(input);
    closesocket(frames);
}

// At --scale 50 the 800x600 desktop comes as 400x300 frames of the target's halves, and a
// click at a frame pixel lands on the desktop pixel under its centre (150, 125: 301, 251).
TEST(RemoteWindows, AScaledDesktopComesSmallerAndClicksLandWhereTheViewerPoints)
{
    RemoteWindows remote;
    ASSERT_TRUE(remote.start("--allow-other-users --scale 50"));
    SOCKET frames = connection(remote.address, 54321);
    DWORD patience = 10000;  // the target may paint after the first frame; the next waits for it
    setsockopt(frames, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&patience), sizeof patience);
    auto shown = [](const DecodedFrame& p) { return p.near(105, 80, 0xDC1E1E, 40) && p.near(295, 220, 0x1E3CDC, 40); };
    DecodedFrame picture(fetchFrame(frames));
    for (int more = 0; more < 3 && picture.width > 0 && !shown(picture); ++more)
        picture = DecodedFrame(fetchFrame(frames));
    EXPECT_EQ(picture.width, 400);
    EXPECT_EQ(picture.height, 300);
    EXPECT_TRUE(shown(picture));
    SOCKET input = connection(remote.address, 54322);
    Bytes click = mouseMessage(kMouseLeftUp, 150, 125, 400, 300);
    EXPECT_EQ(int(click.size()), send(input, reinterpret_cast<const char*>(click.data()), int(click.size()), 0));
    EXPECT_TRUE(waitUntil([&] { return readFile(remote.dir + "/mouse.txt") == "down 301 251\nup 301 251\n"; }))
        << readFile(remote.dir + "/mouse.txt") << readFile(remote.dir + "/host.log");
    closesocket(input);
    closesocket(frames);
}

// Without --allow-other-users a Linux program's connection has no Windows owner to check
// and is refused.
TEST(RemoteWindows, AConnectionOfUnknownOwnerIsRefusedByDefault)
{
    RemoteWindows remote;
    ASSERT_TRUE(remote.start("--once"));
    runShell("exec bash -c 'exec 3<>/dev/tcp/" + remote.address + "/54321; printf x >&3; sleep 1'");
    EXPECT_TRUE(remote.logged("peer-refused frame"));
    EXPECT_NE(std::string::npos, readFile(remote.dir + "/host.log").find("owner-unknown"));
}

}  // namespace
