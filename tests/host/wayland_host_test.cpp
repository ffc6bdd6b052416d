// The real tavimo-host on Wayland desktops of the test's own (each compositor on a private
// session bus with PipeWire), a Wayland client of the test's showing a known picture
// fullscreen and recording what input reaches it, and the test as the viewer over
// loopback sockets. Every backend goes through the same session.
#include <gtest/gtest.h>

#include <optional>

#include "wire/input_wire.h"
#include "tests/support/decoded_frame.h"
#include "tests/support/other_user.h"
#include "tests/support/private_wayland.h"
#include "tests/support/session_peer.h"
#include "tests/support/wayland_client.h"

namespace {

using Picture = DecodedFrame;

// Pixels off the client's picture with the pointer's square at (px, py).
int offPixels(const Picture& picture, bool clicked, int px, int py)
{
    int off = 0;
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            bool pointer = x >= px && x < px + kPointerSide && y >= py && y < py + kPointerSide;
            off += !picture.near(x, y, pointer ? kPointerColour : knownColour(x, y, clicked), 32);
        }
    return off;
}

Bytes mouse(uint32_t code, int x, int y) { return mouseMessage(code, x, y, kWidth, kHeight); }

// Frames until one shows the client's picture with the pointer at (x, y), or anywhere
// (x < 0: a pointer's worth of pixels may differ), at most ten: the pixels off in the last
// one, -1 for no frame.
int framesUntilShown(int frame, bool clicked, int x, int y)
{
    int wrong = -1;
    for (int i = 0; i < 10 && wrong != 0; ++i) {
        Picture picture(fetchFrame(frame));
        if (picture.width != kWidth || picture.height != kHeight)
            return -1;
        wrong = offPixels(picture, clicked, x, y);
        wrong = x < 0 && wrong <= 32 * 32 ? 0 : wrong;
    }
    return wrong;
}

// What every backend must do, on a host started for the client's desktop: the picture,
// the pointer drawn in, a click and typed text that reach the client exactly (the
// session's very first key included), no frame while the screen is still, and nothing held
// once the viewer goes.
void checkSharedDesktop(PeerProcess& host, WaylandClient& client, const PrivateWayland& desktop)
{
    struct LogsOnFailure {
        PeerProcess& host;
        const PrivateWayland& desktop;
        ~LogsOnFailure()
        {
            if (testing::Test::HasFailure())
                ADD_FAILURE() << "the host's log:\n" << host.events() << desktop.logs();
        }
    } logs{host, desktop};
    ASSERT_TRUE(host.waitReady()) << desktop.logs();
    int frame = host.connect(kFramePort), input = host.connect(kInputPort);
    // Input waits until the window is in place.
    ASSERT_EQ(framesUntilShown(frame, false, -1, -1), 0) << desktop.logs();

    // A right click, then a left one (the viewer sends its release alone), which the
    // client answers with a black square.
    ASSERT_TRUE(sendBytes(input, mouse(kMouseRightDown, 500, 400)));
    ASSERT_TRUE(sendBytes(input, mouse(kMouseRightUp, 500, 400)));
    EXPECT_EQ(framesUntilShown(frame, false, 500, 400), 0);
    ASSERT_TRUE(sendBytes(input, mouse(kMouseLeftUp, 100, 100)));
    EXPECT_EQ(framesUntilShown(frame, true, 100, 100), 0);
    using Button = WaylandClient::Button;
    std::vector<Button> clicks = {
        {0x111, true, 500, 400}, {0x111, false, 500, 400}, {0x110, true, 100, 100}, {0x110, false, 100, 100}};
    EXPECT_EQ(client.buttons(), clicks);

    // Still: the request waits.
    ASSERT_TRUE(sendControl(frame, MSG_NEXT_FRAME));
    EXPECT_FALSE(readable(frame, 2000));

    // "Hi, you!": Shift (the session's first key) H, I, comma, space, Y O U, Shift 1.
    const std::string typed = "Hi, you!";
    for (uint32_t key : {0x10u, 0x48u, 0x48u | 0x100u, 0x10u | 0x100u, 0x49u, 0x49u | 0x100u, 0xBCu, 0xBCu | 0x100u,
                         0x20u, 0x20u | 0x100u, 0x59u, 0x59u | 0x100u, 0x4Fu, 0x4Fu | 0x100u, 0x55u, 0x55u | 0x100u,
                         0x10u, 0x31u, 0x31u | 0x100u, 0x10u | 0x100u})
        ASSERT_TRUE(sendBytes(input, inputMessage(MSG_KEY, key >> 8, key & 0xFF)));
    EXPECT_TRUE(eventually([&] { return client.text().size() >= typed.size() && client.keysDown().empty(); }));
    EXPECT_EQ(client.text(), typed);

    // The viewer goes holding A and the right button: both let go.
    ASSERT_TRUE(sendBytes(input, inputMessage(MSG_KEY, 0, 0x41)));
    ASSERT_TRUE(sendBytes(input, mouse(kMouseRightDown, 300, 200)));
    auto last = [&] { return client.buttons().back(); };
    EXPECT_TRUE(eventually([&] { return client.keysDown().size() == 1 && last() == Button{0x111, true, 300, 200}; }));
    shutdown(input, SHUT_RDWR);
    EXPECT_TRUE(host.waitForLine("input-released keys=1 buttons=1"));
    EXPECT_TRUE(eventually([&] { return client.keysDown().empty() && last() == Button{0x111, false, 300, 200}; }));
    EXPECT_EQ(host.count("input-key-unmapped"), 0);
}

// Mutter with monitors of those sizes and the test's client shown fullscreen on the first.
bool showOnMutter(PrivateWayland& gnome, std::optional<WaylandClient>& client, const std::string& size,
                  const std::string& right = "")
{
    PrivateWayland::gnome(gnome, size, right);
    if (!gnome.ready)
        return false;
    client.emplace(PrivateWayland::kWayland);
    return eventually([&] { return client->shown(); });
}

TEST(WaylandHostTest, GnomeThroughMuttersOwnApi)
{
    // The scenario on a desktop of one monitor: with two, headless mutter 43 (drawing in
    // software) now and then stops sending the shared monitor's frames for good after a
    // click; the stream stays connected and brings nothing more, whether the host holds its
    // buffers or copies them.
    {
        PrivateWayland gnome({"dbus-daemon", "pipewire", "wireplumber", "mutter", "gdbus"});
        if (!gnome.missing.empty())
            GTEST_SKIP() << gnome.missing << " is not installed: run scripts/setup.sh";
        std::optional<WaylandClient> client;
        ASSERT_TRUE(showOnMutter(gnome, client, "640x480")) << gnome.logs();
        PeerProcess host(TAVIMO_HOST_BINARY, {"--backend", "gnome", "--subsampling", "444"});
        checkSharedDesktop(host, *client, gnome);
        EXPECT_EQ(host.lines({"backend gnome (--backend)", "monitor Meta-0 640x480+0+0 (1 of 1)"}), 2);
    }

    PrivateWayland gnome({"dbus-daemon", "pipewire", "wireplumber", "mutter", "gdbus"});
    std::optional<WaylandClient> client;
    ASSERT_TRUE(showOnMutter(gnome, client, "640x480", "320x240")) << gnome.logs();
    PeerProcess unknown(TAVIMO_HOST_BINARY, {"--backend", "gnome", "--monitor", "3"});
    EXPECT_EQ(unknown.waitExit(), 2);
    EXPECT_EQ(unknown.count("monitor-unknown "), 1);
    PeerProcess second(TAVIMO_HOST_BINARY, {"--backend", "gnome", "--monitor", "2"});
    ASSERT_TRUE(second.waitReady());
    EXPECT_EQ(Picture(fetchFrame(second.connect(kFramePort))).width, 320);
    EXPECT_EQ(second.count("monitor Meta-0 320x240+640+0 (2 of 2)"), 1);

    // Auto finds this session's compositor; the viewer's server exit ends the host cleanly.
    PeerProcess automatic(TAVIMO_HOST_BINARY, {"--monitor", "Meta-1", "--subsampling", "444"});
    ASSERT_TRUE(automatic.waitReady());
    EXPECT_EQ(automatic.count("backend gnome (a Wayland session where GNOME's remote desktop API answers)"), 1);
    EXPECT_EQ(automatic.count("monitor Meta-1 640x480+0+0 (1 of 2)"), 1);
    EXPECT_EQ(framesUntilShown(automatic.connect(kFramePort), false, -1, -1), 0);
    ASSERT_TRUE(sendBytes(automatic.connect(kInputPort), inputMessage(MSG_SERVER_EXIT)));
    EXPECT_EQ(automatic.waitExit(), 0);
    // By default the primary monitor: mutter's streams show one at a time.
    PeerProcess orphan(TAVIMO_HOST_BINARY, {"--backend", "gnome"});
    ASSERT_TRUE(orphan.waitReady());
    int waiting = orphan.connect(kFramePort);
    EXPECT_EQ(Picture(fetchFrame(waiting)).width, kWidth);
    EXPECT_EQ(orphan.lines({"monitor-one-at-a-time ", "monitor Meta-1 640x480+0+0 (1 of 2)"}), 2);
    // The compositor goes (mutter holds out against SIGTERM while a session runs) while a
    // request waits: the host ends with status 1, as on a lost X display.
    ASSERT_TRUE(sendControl(waiting, MSG_NEXT_FRAME));
    gnome.stopLast(SIGKILL);
    EXPECT_EQ(orphan.waitExit(), 1);
    EXPECT_EQ(orphan.lines({"capture-error ", "display-lost"}), 2);
    // Outside a Wayland session auto shares X (here none: it says so and ends).
    setenv("XDG_SESSION_TYPE", "x11", 1);
    PeerProcess x11(TAVIMO_HOST_BINARY, {});
    EXPECT_EQ(x11.waitExit(), 1);
    EXPECT_EQ(x11.lines({"backend x11 (XDG_SESSION_TYPE is x11, not wayland)", "display-error "}), 2);
}

// Frames until one shows GNOME's blue at (x, y), at most ten (each waits for a change).
bool turnsBlue(int frame, int x, int y)
{
    for (int i = 0; i < 10; ++i) {
        Picture picture(fetchFrame(frame));
        if (picture.width == kWidth && picture.height == kHeight && picture.near(x, y, 0x3584E4, 40))
            return true;
    }
    return false;
}

TEST(WaylandHostTest, PortalOnGnome)
{
    // Before the bus starts: the portal it activates picks its GNOME backend by this.
    setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
    PrivateWayland gnome({"dbus-daemon", "pipewire", "wireplumber", "mutter", "/usr/libexec/xdg-desktop-portal",
                          "/usr/libexec/xdg-desktop-portal-gnome"});
    if (!gnome.missing.empty())
        GTEST_SKIP() << gnome.missing << " is not installed: run scripts/setup.sh";
    std::optional<WaylandClient> client;
    ASSERT_TRUE(showOnMutter(gnome, client, "640x480")) << gnome.logs();

    // This portal's RemoteDesktop (version 1) keeps no approval, so its dialog shows on
    // every start and nothing can answer it ahead. The test answers it as the user would,
    // through a host of its own on mutter's API: it watches the screen, switches on "Allow
    // remote interaction" and clicks Share (where GNOME 43 lays them out on this monitor).
    PeerProcess user(TAVIMO_HOST_BINARY, {"--backend", "gnome", "--subsampling", "444"});
    ASSERT_TRUE(user.waitReady());
    int eyes = user.connect(kFramePort), hands = user.connect(kInputPort);
    ASSERT_EQ(framesUntilShown(eyes, false, -1, -1), 0) << gnome.logs();
    auto dialogShown = [&] { return turnsBlue(eyes, 550, 104); };

    // Cancel: the host says why and ends.
    PeerProcess declined(TAVIMO_HOST_BINARY, {"--backend", "portal"});
    ASSERT_TRUE(dialogShown()) << "no Share button: " << gnome.logs();
    ASSERT_TRUE(sendBytes(hands, mouse(kMouseLeftUp, 110, 112)));
    EXPECT_EQ(declined.waitExit(), 1);
    EXPECT_EQ(declined.count("display-error the request to share the screen was declined"), 1);
    ASSERT_EQ(framesUntilShown(eyes, false, -1, -1), 0) << "the dialog stayed";
    // Stopped (SIGTERM) while the dialog waits: the host ends and takes its dialog away.
    {
        PeerProcess stopped(TAVIMO_HOST_BINARY, {"--backend", "portal"});
        ASSERT_TRUE(dialogShown());
    }
    ASSERT_EQ(framesUntilShown(eyes, false, -1, -1), 0) << "the dialog stayed";
    // Shared without remote interaction: the screen, and the log says input is lost.
    {
        PeerProcess viewOnly(TAVIMO_HOST_BINARY, {"--backend", "portal", "--subsampling", "444"});
        ASSERT_TRUE(dialogShown());
        ASSERT_TRUE(sendBytes(hands, mouse(kMouseLeftUp, 533, 112)));
        ASSERT_TRUE(viewOnly.waitReady());
        EXPECT_EQ(viewOnly.count("portal-devices-missing keyboard pointer"), 1);
        EXPECT_EQ(framesUntilShown(viewOnly.connect(kFramePort), false, -1, -1), 0);
    }
    ASSERT_EQ(framesUntilShown(eyes, false, -1, -1), 0) << "the dialog stayed";

    PeerProcess host(TAVIMO_HOST_BINARY, {"--backend", "portal", "--subsampling", "444"});
    ASSERT_TRUE(dialogShown()) << "no Share button: " << gnome.logs();
    ASSERT_TRUE(sendBytes(hands, mouse(kMouseLeftUp, 510, 311)));
    ASSERT_TRUE(turnsBlue(eyes, 494, 305)) << "the switch did not turn on";
    ASSERT_TRUE(sendBytes(hands, mouse(kMouseLeftUp, 533, 112)));

    checkSharedDesktop(host, *client, gnome);
    EXPECT_EQ(host.lines({"backend portal (--backend)", "portal-approval asked-each-time (RemoteDesktop version 1"}),
              2);
}

TEST(WaylandHostTest, WlrootsThroughScreencopyAndVirtualInput)
{
    PrivateWayland sway({"dbus-daemon", "pipewire", "wireplumber", "sway"});
    if (!sway.missing.empty())
        GTEST_SKIP() << sway.missing << " is not installed: run scripts/setup.sh";
    // sway refuses root; the host, as root, needs only its socket.
    PrivateWayland::sway(sway, "640x480", kOtherUid);
    ASSERT_TRUE(sway.ready) << sway.logs();
    {
        WaylandClient client(PrivateWayland::kWayland);
        ASSERT_TRUE(eventually([&] { return client.shown(); })) << sway.logs();
        PeerProcess host(TAVIMO_HOST_BINARY, {"--backend", "wlroots", "--subsampling", "444"});
        checkSharedDesktop(host, client, sway);
        EXPECT_EQ(host.lines({"keymap evdev/pc105/us// (from default)", "frame-size 640x480 capture=screencopy+damage"}),
                  2);
    }

    // Auto: mutter does not answer on this session's bus, sway's protocols do.
    PeerProcess automatic(TAVIMO_HOST_BINARY, {"--keyboard", "jis", "--subsampling", "444"});
    ASSERT_TRUE(automatic.waitReady());
    EXPECT_EQ(automatic.lines({"backend wlroots (a Wayland session whose compositor offers screencopy and virtual "
                               "input)",
                               "keymap evdev/jp106/jp// (from --keyboard)"}),
              2);
    // An output of another size on a desktop that then stays still (no client): the whole
    // new picture comes at once, at the session's size.
    int frame = automatic.connect(kFramePort);
    EXPECT_EQ(Picture(fetchFrame(frame)).width, kWidth);
    std::string swaymsg = "SWAYSOCK=$(echo " + sway.dir + "/sway-ipc.*) swaymsg ";
    ASSERT_EQ(std::system((swaymsg + "output HEADLESS-1 mode 800x600 >/dev/null").c_str()), 0);
    const std::string resized = "screen-size 800x600 frames-stay 640x480";
    for (int i = 0; i < 3 && automatic.count(resized) == 0; ++i)
        EXPECT_EQ(Picture(fetchFrame(frame)).width, kWidth);
    EXPECT_EQ(automatic.count(resized), 1);

    // A second output, shared by its number; all shares the first and says so; one not there
    // ends the host with the list.
    ASSERT_EQ(std::system((swaymsg + "create_output >/dev/null && " + swaymsg +
                           "output HEADLESS-2 mode 320x240 >/dev/null").c_str()),
              0);
    PeerProcess second(TAVIMO_HOST_BINARY, {"--backend", "wlroots", "--monitor", "2"}), first(TAVIMO_HOST_BINARY, {});
    ASSERT_TRUE(second.waitReady() && first.waitReady());
    Picture secondFrame(fetchFrame(second.connect(kFramePort)));
    EXPECT_EQ(std::pair(secondFrame.width, secondFrame.height), std::pair(320, 240));
    EXPECT_EQ(second.lines({"monitor HEADLESS-2 320x240+800+0 (2 of 2)", "frame-size 320x240"}), 2);
    // Its pointer moves on that output: sway focuses the output under it.
    ASSERT_TRUE(sendBytes(second.connect(kInputPort), mouse(kMouseRightUp, 10, 10)));
    EXPECT_TRUE(eventually([&] {
        return std::system((swaymsg + "-p -t get_outputs | grep -q 'HEADLESS-2 .*(focused)'").c_str()) == 0;
    }));
    EXPECT_EQ(first.lines({"monitor-one-at-a-time ", "monitor HEADLESS-1 800x600+0+0 (1 of 2)"}), 2);
    PeerProcess unknown(TAVIMO_HOST_BINARY, {"--monitor", "HEADLESS-3"});
    EXPECT_EQ(unknown.waitExit(), 2);
    EXPECT_EQ(unknown.count("monitor-unknown no monitor 'HEADLESS-3'; the monitors here (--monitor NUMBER or NAME): "
                            "1: HEADLESS-1 800x600+0+0, 2: HEADLESS-2 320x240+800+0"),
              1);
    // A compositor that goes ends the session with the reason.
    sway.stopLast();
    for (int i = 0; i < 5 && !fetchFrame(frame).empty(); ++i) {
    }
    EXPECT_TRUE(automatic.waitForLine("capture-error the Wayland compositor went away"));
    EXPECT_EQ(automatic.waitExit(), 1);
}

}  // namespace
