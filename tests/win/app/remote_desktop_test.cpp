// Tavimo working a real Linux desktop: the real tavimo-host on an Xvfb of its own with a
// window manager and two terminals, driven through Tavimo's window with real X input.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/win/support/app_fixture.h"

namespace {

struct Geometry { int x = -1, y = -1, width = 0; };

// The number after `name` in the X tools' output ("X=12", "Width: 364").
int valueAfter(const std::string& output, const std::string& name)
{
    size_t at = output.find(name);
    return at == std::string::npos ? -1 : std::atoi(output.c_str() + at + name.size());
}

struct RemoteDesktop {
    std::string address = freshLoopbackAddress();
    std::string dir = scratchFolder("remote-" + address);  // the host's log, the terminals' files
    std::string display;

    // X: terminals termA and termB write what is typed into them to a.txt and b.txt. GNOME:
    // headless mutter, away from the tests' X display, and the test's Wayland client (typed
    // text to typed.txt, buttons to client.out). Every program and every wait has a time
    // limit, so none outlives a test that died or an X server that went (the shell holds
    // ctest's pipe).
    bool start(bool gnome = false)
    {
        std::string terminal = "timeout 300 xterm -fa Monospace -fs 11 -geometry 40x6";
        const char* host = std::getenv("TAVIMO_HOST");
        const char* typist = std::getenv("TAVIMO_WAYLAND_TYPIST");
        std::string x =
            "timeout 300 Xvfb -displayfd 5 -screen 0 800x600x24 -nolisten tcp 5>display & echo $! >>pids\n"
            "timeout 60 sh -c 'until [ -s display ]; do sleep 0.05; done'; export DISPLAY=:$(cat display)\n"
            "timeout 300 openbox & echo $! >>pids\n"
            // The window manager first, and each terminal taken in before the next; the
            // focus settles on the last one, so a click elsewhere has to move it.
            "timeout 60 sh -c 'until xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window; do sleep 0.1; done'\n" +
            terminal + "+30+40 -title termA -e sh -c 'cat >a.txt' & echo $! >>pids\n"
            "timeout 60 xdotool search --sync --name termA\n" + terminal +
            "+380+330 -title termB -e sh -c 'cat >b.txt' & echo $! >>pids\n"
            // The window manager may keep a new window from taking the focus
            // (it once did, in a clean run), so it is asked for.
            "timeout 60 sh -c 'until [ \"$(xdotool getwindowfocus getwindowname)\" = termB ]; do\n"
            "  xdotool search --name termB windowactivate; sleep 0.2; done'\n";
        std::string wayland =
            "export r=$(mktemp -d /tmp/tavimo-gnome-XXXXXX); echo $r >runtime; unset DISPLAY\n"
            "export XDG_RUNTIME_DIR=$r HOME=$r GSETTINGS_BACKEND=memory XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=e2e "
            "DBUS_SESSION_BUS_ADDRESS=unix:path=$r/bus MUTTER_DEBUG_DISABLE_ANIMATIONS=1\n"
            "up() { echo $! >>pids; timeout 60 sh -c \"until $1; do sleep 0.1; done\" >/dev/null 2>&1; }\n"
            "timeout 300 dbus-daemon --session --nofork --nopidfile --address=$DBUS_SESSION_BUS_ADDRESS &\n"
            "up '[ -S $r/bus ]'; timeout 300 pipewire & up '[ -S $r/pipewire-0 ]'; timeout 300 wireplumber & up :\n"
            "timeout -k 5 300 mutter --headless --virtual-monitor 640x480 --wayland --no-x11 --wayland-display=e2e &\n"
            "up 'gdbus introspect --session -d org.gnome.Mutter.RemoteDesktop -o /org/gnome/Mutter/RemoteDesktop'\n"
            "timeout 300 '" + std::string(typist ? typist : "wayland_typist") + "' typed.txt >client.out &\n"
            "up '[ -e typed.txt ]'\n";
        runShell("cd '" + dir + "' && rm -f display ready pids runtime a.txt b.txt typed.txt host.log && "
                 "exec >start.out 2>&1\n" + (gnome ? wayland : x) + "timeout 300 '" + (host ? host : "tavimo-host") +
                     (gnome ? "' --backend gnome" : "' --display $DISPLAY") + " --address " + address +
                     " --log host.log --ready ready --trace-input & echo $! >>pids\nwait",
                 true);
        // Each step above has a minute at most; what went wrong is in its output.
        if (!waitUntil([&] { return fileExists(dir + "/ready"); }, 120000)) {
            ADD_FAILURE() << "the remote desktop did not start:\n" << file("start.out") << file("host.log");
            return false;
        }
        display = ":" + std::to_string(std::atoi(readFile(dir + "/display").c_str()));
        return true;
    }
    // The host first, the display last; each by the id it left, and gone before the next
    // goes: mutter whose bus and PipeWire went first spins instead of ending.
    ~RemoteDesktop()
    {
        runShell("cd '" + dir + "' && for p in $(tac pids); do kill $p; while kill -0 $p; do sleep 0.05; done; done\n"
                 "rm -rf $(cat runtime)");
    }

    std::string x(const std::string& command) const { return runShell("DISPLAY=" + display + " " + command); }
    Geometry window(const std::string& title) const
    {
        // xwininfo, not xdotool: that one counts the window manager's frame in twice.
        std::string out = x("xwininfo -name '" + title + "'");
        return {valueAfter(out, "Absolute upper-left X:"), valueAfter(out, "Absolute upper-left Y:"),
                valueAfter(out, "Width:")};
    }
    // Any key or button down on the XTEST devices, the ones the host presses with.
    bool anythingHeld() const
    {
        std::string out = x("sh -c \"xinput query-state 'Virtual core XTEST pointer'; "
                            "xinput query-state 'Virtual core XTEST keyboard'\"");
        return out.find("=down") != std::string::npos || out.find("ButtonClass") == std::string::npos;
    }
    std::string file(const std::string& name) const { return readFile(dir + "/" + name); }
    bool logged(const std::string& prefix, int wanted = 1) const
    {
        return waitUntil([&] { return countLines(dir + "/host.log", prefix) >= wanted; }, 30000);
    }
    // Tavimo connected, its window up with the first frame painted.
    void view(AppSession& s) const
    {
        ASSERT_NO_FATAL_FAILURE(s.openDialog());
        connectTo(s.dialog, wide(address));
        ASSERT_TRUE(logged("frame-send body", 1));
        ASSERT_TRUE(s.waitForMain());
        ASSERT_TRUE(logged("frame-recv NEXT_FRAME", 2));  // the first frame fitted and painted
    }
};

TEST(RemoteDesktop, ClicksTypingAndDragsWorkTheRemoteDesktopAndNothingStaysHeld)
{
    RemoteDesktop remote;
    ASSERT_TRUE(remote.start());
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(remote.view(s));
    // The frame fits the window unscrolled, so frame and client coordinates are the same.

    // A click in the first terminal takes the focus from the second; the remote pointer is
    // where the click was.
    Geometry a = remote.window("termA");
    ASSERT_GT(a.width, 0);
    xdotool("mousemove " + s.at(a.x + 30, a.y + 30) + " click 1");
    EXPECT_TRUE(waitUntil([&] {
        std::string out = remote.x("xdotool getmouselocation --shell");
        return valueAfter(out, "X=") == a.x + 30 && valueAfter(out, "Y=") == a.y + 30;
    }));
    EXPECT_TRUE(waitUntil([&] { return remote.x("xdotool getwindowfocus getwindowname") == "termA\n"; }));
    // Shift for capitals and punctuation comes from the viewer's own key state. The line
    // reaches the terminal's file at Return, so Return waits for the last key to arrive.
    xdotool("type --delay 40 'Hello, World! (x_y) #1;'");
    EXPECT_TRUE(remote.logged("input-key 0xBA up"));
    xdotool("key Return");
    EXPECT_TRUE(waitUntil([&] { return remote.file("a.txt") == "Hello, World! (x_y) #1;\n"; }));
    EXPECT_EQ("", remote.file("b.txt"));

    // A drag on the second terminal's title bar moves it. Tavimo sends no left press, so the
    // host presses where the first move arrives: one pixel off the start.
    Geometry b = remote.window("termB");
    ASSERT_GT(b.width, 0);
    int grabX = b.x + 60, grabY = b.y - 8;
    xdotool("mousemove " + s.at(grabX, grabY) + " mousedown 1 mousemove " + s.at(grabX + 1, grabY + 1) +
            " sleep 0.3 mousemove " + s.at(grabX + 50, grabY + 40) + " sleep 0.3 mousemove " +
            s.at(grabX + 100, grabY + 80) + " sleep 0.3 mouseup 1");
    EXPECT_TRUE(waitUntil([&] {
        Geometry moved = remote.window("termB");
        return std::abs(moved.x - (b.x + 99)) <= 2 && std::abs(moved.y - (b.y + 79)) <= 2;
    }));
    EXPECT_FALSE(remote.anythingHeld());

    // After typing and a drag (changes of every size, all over the screen, sent as areas),
    // the viewer shows the remote screen within JPEG's error, the pointer (only frames have
    // it) left out. A lost or misplaced area would leave a region of wrong pixels.
    EXPECT_TRUE(remote.logged("extension-accepted version=1"));
    EXPECT_EQ(0, wrongPixels(s.main, remote.display, remote.dir));

    // Once the remote screen is still, no frame is sent: the host holds the request.
    auto frames = [&] { return countLines(remote.dir + "/host.log", "frame-send header"); };
    int before = -1;
    for (int tries = 0; tries < 20 && before != frames(); ++tries) {
        before = frames();
        pause(1000);
    }
    pause(2000);
    EXPECT_EQ(before, frames());
    EXPECT_EQ(countLines(remote.dir + "/host.log", "frame-recv NEXT_FRAME"), before + 1);
}

// GNOME's compositor: a click and typed text reach the Wayland client exactly, the
// session's very first key included. That one is a plain letter: a lost Shift would come
// back with the keyboard's modifiers when the client gets the keyboard.
TEST(RemoteDesktop, ClickAndTypingReachAWaylandClientOnGnome)
{
    if (runShell("command -v mutter").empty())
        GTEST_SKIP() << "mutter is not installed: run scripts/setup.sh";
    RemoteDesktop remote;
    ASSERT_TRUE(remote.start(true));
    AppSession s;
    ASSERT_NO_FATAL_FAILURE(remote.view(s));
    xdotool("mousemove " + s.at(100, 100) + " click 1");
    waitUntil([&] { return countLines(remote.dir + "/client.out", "button") >= 2; });
    EXPECT_EQ(remote.file("client.out"), "button 0x110 down 100,100\nbutton 0x110 up 100,100\n");
    const std::string typed = "hello, World! (x_y) #1;";
    xdotool("type --delay 40 '" + typed + "'");
    waitUntil([&] { return remote.file("typed.txt").size() >= typed.size(); });
    EXPECT_EQ(remote.file("typed.txt"), typed);
}

}  // namespace
