// The real tavimo-host on a private Xvfb, with the test as its viewer over loopback
// sockets (also as another local user); what the host does to the screen is read back
// from the X server itself.
// gtest first: X.h defines None, a name gtest uses.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xkbcommon/xkbcommon-x11.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cstdlib>
#include <random>
#include <set>

#include "host/frame_scale.h"
#include "host/key_table.h"
#include "wire/frame_extension.h"
#include "wire/input_wire.h"
#include "tests/support/decoded_frame.h"
#include "tests/support/other_user.h"
#include "tests/support/private_xvfb.h"
#include "tests/support/session_peer.h"

namespace {

// The build's host, or the one the environment names (the installed package's).
const char* hostBinary()
{
    const char* named = std::getenv("TAVIMO_HOST_BINARY");
    return named ? named : TAVIMO_HOST_BINARY;
}

constexpr int kWidth = 1280;
constexpr int kHeight = 1024;

// A window of the test's own on the screen: one colour, painted by the X server, or noise.
void show(Display* display, int x, int y, int width, int height, uint32_t colour, std::mt19937* noise = nullptr)
{
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), x, y, unsigned(width), unsigned(height),
                                        0, 0, colour);
    XMapRaised(display, window);
    if (noise) {
        char* pixels = static_cast<char*>(std::malloc(size_t(width) * height * 4));
        std::generate_n(pixels, size_t(width) * height * 4, [&] { return char((*noise)()); });
        XImage* image = XCreateImage(display, DefaultVisual(display, 0), 24, ZPixmap, 0, pixels, unsigned(width),
                                     unsigned(height), 32, 0);
        XPutImage(display, window, DefaultGC(display, 0), image, 0, 0, 0, 0, unsigned(width), unsigned(height));
        XDestroyImage(image);
    }
    XSync(display, False);
}

using Picture = DecodedFrame;

// Where the pointer is, and the buttons held.
std::tuple<int, int, unsigned> pointer(Display* display)
{
    Window root, child;
    int x = 0, y = 0, windowX, windowY;
    unsigned mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &windowX, &windowY, &mask);
    return {x, y, mask & (Button1Mask | Button2Mask | Button3Mask)};
}

bool pointerIs(Display* display, int x, int y, unsigned buttons)
{
    return pointer(display) == std::tuple(x, y, buttons);
}

std::set<int> keysDown(Display* display)
{
    char keys[32] = {};
    XQueryKeymap(display, keys);
    std::set<int> down;
    for (int code = 0; code < 256; ++code)
        if ((keys[code / 8] >> (code % 8)) & 1)
            down.insert(code);
    return down;
}

bool keyDown(Display* display, KeySym keysym) { return keysDown(display).count(XKeysymToKeycode(display, keysym)); }

Bytes mouse(uint32_t code, int x, int y, int width = kWidth, int height = kHeight)
{
    return mouseMessage(code, x, y, width, height);
}

// Pointer pixels drawn over a window of that colour around (x, y).
int pointerPixels(const Picture& picture, int x, int y, uint32_t colour)
{
    int drawn = 0;
    for (int dy = -8; dy <= 8; ++dy)
        for (int dx = -8; dx <= 8; ++dx)
            drawn += !picture.near(x + dx, y + dy, colour);
    return drawn;
}

// Sessions through every path: frames only when the screen changed, input acting on it,
// what a viewer that goes leaves held, a second viewer and an exit while a request waits,
// garbage input, a noisy screen.
TEST(HostTest, FramesInputAndTheSessionsEndOnARealScreen)
{
    PrivateXvfb xvfb{kWidth, kHeight};
    Display* x = xvfb.display();
    ASSERT_NE(x, nullptr) << "no Xvfb";
    PeerProcess host(hostBinary(), {"--display", xvfb.name()});
    ASSERT_TRUE(host.waitReady());
    int frame = host.connect(kFramePort);

    show(x, 100, 100, 200, 150, 0xFF0000);
    Picture picture(fetchFrame(frame));
    ASSERT_EQ(picture.width, kWidth);
    ASSERT_EQ(picture.height, kHeight);
    EXPECT_TRUE(picture.near(150, 120, 0xFF0000) && picture.near(260, 230, 0xFF0000));

    // Nothing changed: the request waits, and a second viewer is turned away meanwhile.
    ASSERT_TRUE(sendControl(frame, MSG_NEXT_FRAME));
    EXPECT_FALSE(readable(frame, 2000));
    EXPECT_TRUE(receive(host.connect(kFramePort)).empty());
    EXPECT_TRUE(host.waitForLine("frame-refused"));
    // Only a part changes: answered, and only that part read again.
    show(x, 250, 200, 40, 30, 0x00FF00);
    picture = Picture(finishFrame(frame));
    EXPECT_TRUE(picture.near(270, 215, 0x00FF00) && picture.near(150, 120, 0xFF0000));

    // The pointer moved by someone else damages nothing, and is still sent, drawn in.
    XTestFakeMotionEvent(x, 0, 200, 170, CurrentTime);
    XSync(x, False);
    picture = Picture(fetchFrame(frame));
    ASSERT_EQ(picture.width, kWidth);
    EXPECT_GT(pointerPixels(picture, 200, 170, 0xFF0000), 10);

    int input = host.connect(kInputPort);
    // A left drag presses the button, then follows the frame coordinates.
    ASSERT_TRUE(sendBytes(input, mouse(kMouseLeftDrag, 150, 130)));
    EXPECT_TRUE(eventually([&] { return pointerIs(x, 150, 130, Button1Mask); }));
    ASSERT_TRUE(sendBytes(input, mouse(kMouseLeftUp, 210, 180)));
    EXPECT_TRUE(eventually([&] { return pointerIs(x, 210, 180, 0); }));
    // Outside the screen: clamped to its edge.
    ASSERT_TRUE(sendBytes(input, mouse(kMouseRightDown, 5000, 4000, 6000, 5000)));
    EXPECT_TRUE(eventually([&] { return pointerIs(x, kWidth - 1, kHeight - 1, Button3Mask); }));
    // Shift as VK_SHIFT and VK_LSHIFT, A, and a code without a keysym.
    for (uint32_t key : {0x10u, 0xA0u, 0x41u, 0x07u})
        ASSERT_TRUE(sendBytes(input, inputMessage(MSG_KEY, 0, key)));
    EXPECT_TRUE(eventually([&] { return keyDown(x, XK_Shift_L) && keyDown(x, XK_a); }));
    EXPECT_TRUE(host.waitForLine("input-key-unknown 0x7"));
    // Both channels keep a vanished viewer from holding the slot for ever.
    for (const char* channel : {"frame-connected ", "input-connected "})
        EXPECT_EQ(host.countContaining(channel, " keepalive=10,5,3"), 1) << channel;

    // The viewer's input goes with a key and a button down: the host lets them go, and the
    // session ends with it.
    shutdown(input, SHUT_RDWR);
    EXPECT_TRUE(eventually(
        [&] { return !keyDown(x, XK_Shift_L) && !keyDown(x, XK_a) && pointerIs(x, kWidth - 1, kHeight - 1, 0); }));
    EXPECT_TRUE(host.waitForLine("input-released keys=2 buttons=1"));
    EXPECT_TRUE(receive(frame).empty());
    EXPECT_TRUE(host.waitForLine("frame-closed-by-server input-closed"));

    // An unknown message ends the input channel, and with it the session.
    frame = host.connect(kFramePort);
    ASSERT_FALSE(fetchFrame(frame).empty());
    int garbage = host.connect(kInputPort);
    ASSERT_TRUE(sendBytes(garbage, inputMessage(0x0999)));
    EXPECT_TRUE(receive(garbage).empty());
    EXPECT_TRUE(receive(frame).empty());
    EXPECT_TRUE(host.waitForLine("input-closed-by-server"));

    // Noise is far larger at the default quality: re-encoded lower within the limit, the
    // lower quality logged once and kept.
    std::mt19937 noise(8);
    show(x, 0, 0, kWidth, kHeight, 0, &noise);
    frame = host.connect(kFramePort);
    for (int i = 0; i < 2; ++i) {
        if (i > 0)
            show(x, 0, 0, kWidth, kHeight, 0, &noise);
        Bytes body = fetchFrame(frame);
        picture = Picture(body);
        EXPECT_LE(body.size(), 500000u);
        EXPECT_TRUE(picture.width == kWidth && picture.height == kHeight);
    }
    EXPECT_EQ(host.count("quality 80 -> "), 1);
    EXPECT_EQ(host.count("quality "), 1);

    // The exit while a request waits (answered by the pointer's move, or still waiting),
    // with a key and a button down: both let go, and the session's end logged, before the
    // host is gone.
    ASSERT_TRUE(sendControl(frame, MSG_NEXT_FRAME));
    int last = host.connect(kInputPort);
    ASSERT_TRUE(sendBytes(last, inputMessage(MSG_KEY, 0, 0x41)));
    ASSERT_TRUE(sendBytes(last, mouse(kMouseRightDown, 20, 20)));
    EXPECT_TRUE(eventually([&] { return keyDown(x, XK_a) && pointerIs(x, 20, 20, Button3Mask); }));
    ASSERT_TRUE(sendBytes(last, inputMessage(MSG_TELNET)));
    ASSERT_TRUE(sendBytes(last, inputMessage(MSG_SERVER_EXIT)));
    shutdown(last, SHUT_WR);  // found while the exit ends the session: it must end once
    EXPECT_EQ(host.waitExit(), 0);
    EXPECT_EQ(host.count("session-end"), host.count("frame-connected"));
    EXPECT_TRUE(!keyDown(x, XK_a) && pointerIs(x, 20, 20, 0));
    EXPECT_EQ(host.count("input-message TELNET"), 1);
    EXPECT_EQ(host.lines({"input-released keys=1 buttons=1", "session-end", "server-exit"}), 3);
}

// The extension's records of a frame, read from its segments up to the scan.
FrameRecords recordsOf(const Bytes& jpeg)
{
    FrameRecords records;
    std::string problem;
    for (size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA;) {
        size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (jpeg[at + 1] == kExtensionMarker && at + 2 + length <= jpeg.size())
            EXPECT_TRUE(readExtensionSegment(&jpeg[at + 4], length - 2, records, problem)) << problem;
        at += 2 + length;
    }
    return records;
}

Bytes acceptingNextFrame(uint32_t version = kExtensionVersion)
{
    Bytes message(kControlMessageSize);
    encodeControlMessage(MSG_NEXT_FRAME, message.data(), kAcceptanceTag, version);
    return message;
}

// Asked for accepting the offer, in one trip: header and body come before the
// MSG_SEND_BODY that confirms them goes out.
Bytes acceptedFrame(int fd)
{
    EXPECT_TRUE(sendBytes(fd, acceptingNextFrame()));
    Bytes header = receive(fd, kFrameHeaderSize);
    int32_t length = header.size() == kFrameHeaderSize ? decodeFrameHeader(header.data()) : 0;
    Bytes body = length > 0 ? receive(fd, size_t(length)) : Bytes{};
    EXPECT_TRUE(sendControl(fd, MSG_SEND_BODY));
    return body.size() == size_t(length) ? body : Bytes{};
}

// The frame laid over the picture as the viewer does: whole, or area by area.
void lay(const Bytes& body, Picture& shown)
{
    FrameRecords records = recordsOf(body);
    Picture image(body);
    ASSERT_GT(image.width, 0);
    if (!records.hasAreas) {
        shown = image;
        return;
    }
    std::string problem;
    ASSERT_TRUE(checkFrameAreas(records, image.width, image.height, shown.width, shown.height, problem)) << problem;
    for (const FrameArea& a : records.areas)
        for (int y = 0; y < a.place.height; ++y)
            std::memcpy(const_cast<uint8_t*>(shown.at(a.place.x, a.place.y + y)), image.at(a.sourceX, a.sourceY + y),
                        size_t(a.place.width) * 4);
}

// The screen averaged down to width x height as the host scales it, read from the X server.
Bytes scaledScreen(Display* display, int width, int height)
{
    XImage* screen = XGetImage(display, DefaultRootWindow(display), 0, 0, unsigned(DisplayWidth(display, 0)),
                               unsigned(DisplayHeight(display, 0)), AllPlanes, ZPixmap);
    Bytes out(size_t(width) * size_t(height) * 4);
    PictureScaler().scale(reinterpret_cast<uint8_t*>(screen->data), screen->width, screen->height,
                          screen->bytes_per_line, out.data(), width, height, width * 4, {0, 0, width, height});
    XDestroyImage(screen);
    return out;
}

// Pixels of the picture further from the screen scaled to its size than JPEG's error, the
// pointer's surroundings left out.
int offPixels(Display* display, const Picture& shown)
{
    Bytes expected = scaledScreen(display, shown.width, shown.height);
    auto [pointerX, pointerY, buttons] = pointer(display);
    pointerX = pointerX * shown.width / DisplayWidth(display, 0);
    pointerY = pointerY * shown.height / DisplayHeight(display, 0);
    int off = 0;
    for (int y = 0; y < shown.height; ++y)
        for (int x = 0; x < shown.width; ++x) {
            if (std::abs(x - pointerX) < 24 && std::abs(y - pointerY) < 24)
                continue;
            for (int k = 0; k < 3; ++k)
                if (std::abs(int(shown.at(x, y)[k]) - int(expected[size_t((y * shown.width + x) * 4 + k)])) > 64) {
                    ++off;
                    break;
                }
        }
    return off;
}

// A window of the colour at x, y, width, height: the frame that follows carries areas,
// smaller than `under`, and laid over the picture gives the screen.
void showAndLay(Display* display, int frame, const std::array<int, 5>& c, Picture& shown, size_t under = SIZE_MAX)
{
    SCOPED_TRACE(testing::Message() << c[2] << "x" << c[3] << " at " << c[0] << "," << c[1]);
    show(display, c[0], c[1], c[2], c[3], uint32_t(c[4]));
    Bytes body = acceptedFrame(frame);
    EXPECT_TRUE(recordsOf(body).hasAreas);
    EXPECT_LT(body.size(), under);
    lay(body, shown);
    EXPECT_EQ(offPixels(display, shown), 0);
}

// A viewer that takes the offer gets frames in one trip carrying only the changed areas,
// which laid over the first picture give the screen, edges and corners included, on a
// screen whose size is no multiple of the grid; an unknown version ends the session. Under
// a rate cap, the parts that went out blurred are sent again sharp once the screen is still.
TEST(HostTest, AViewerThatTakesTheOfferGetsOnlyTheChangedAreasInOneTrip)
{
    const int width = 1000, height = 750;
    PrivateXvfb xvfb{width, height};
    Display* x = xvfb.display();
    ASSERT_NE(x, nullptr) << "no Xvfb";
    // Full colour resolution: 4:2:0 mixes the colours of neighbouring pixels, which would
    // hide an area laid a pixel off.
    PeerProcess host(hostBinary(), {"--display", xvfb.name(), "--subsampling", "444"});
    ASSERT_TRUE(host.waitReady());
    int frame = host.connect(kFramePort);
    Bytes first = fetchFrame(frame);
    EXPECT_EQ(chooseVersion(recordsOf(first)), kExtensionVersion);
    EXPECT_FALSE(recordsOf(first).hasAreas);
    Picture shown(first);
    ASSERT_EQ(shown.width, width);

    for (const std::array<int, 5>& c : {std::array{0, 0, 37, 23, 0xFF0000}, {width - 37, height - 23, 37, 23, 0x00FF00},
                                        {0, height - 9, width, 9, 0x0000FF}, {width - 5, 0, 5, height, 0xFFFF00},
                                        {500, 400, 123, 77, 0xFF00FF}, {503, 410, 50, 13, 0x00FFFF}})
        showAndLay(x, frame, c, shown, first.size() / 2);
    EXPECT_EQ(host.count("extension-accepted version=1"), 1);
    ASSERT_TRUE(sendBytes(frame, acceptingNextFrame(kExtensionVersion + 1)));
    EXPECT_TRUE(receive(frame).empty());
    EXPECT_TRUE(host.waitForLine("frame-closed-by-server extension-unknown"));

    PeerProcess capped(hostBinary(), {"--display", xvfb.name(), "--max-rate", "20K", "--min-quality", "10"});
    ASSERT_TRUE(capped.waitReady());
    frame = capped.connect(kFramePort);
    shown = Picture(fetchFrame(frame));
    std::mt19937 noise(3);
    show(x, 300, 200, 160, 120, 0, &noise);
    Bytes blurred = acceptedFrame(frame);
    Bytes sharp = acceptedFrame(frame);
    FrameRecords records = recordsOf(sharp);
    ASSERT_TRUE(records.hasAreas);
    EXPECT_GT(sharp.size(), blurred.size());
    bool covered = std::any_of(records.areas.begin(), records.areas.end(), [](const FrameArea& a) {
        return a.place.x <= 300 && a.place.y <= 200 && a.place.x + a.place.width >= 460 &&
               a.place.y + a.place.height >= 320;
    });
    EXPECT_TRUE(covered);
    close(frame);
    EXPECT_TRUE(capped.waitForLine("frames 3 partial=2 sharp=1"));
}

// A 4K screen at --scale 50: frames of half its size show it averaged down, a line of one
// pixel included; the viewer's clicks land on the pixel under the frame pixel's centre,
// corners on corners; the changed areas, grown to every frame pixel they touch, laid over
// the picture give the scaled screen. --fit takes the largest size of its shape in the box.
TEST(HostTest, AScaledScreenIsAveragedDownAndClicksLandWhereTheViewerPoints)
{
    const int width = 3840, height = 2160;
    PrivateXvfb xvfb{width, height};
    Display* x = xvfb.display();
    ASSERT_NE(x, nullptr) << "no Xvfb";
    show(x, 0, 0, width, height, 0xFFFFFF);
    show(x, 1001, 0, 1, height, 0x000000);
    show(x, 301, 201, 777, 333, 0x0000FF);
    PeerProcess host(hostBinary(), {"--display", xvfb.name(), "--scale", "50", "--subsampling", "444"});
    ASSERT_TRUE(host.waitReady());
    int frame = host.connect(kFramePort);
    Picture shown(fetchFrame(frame));
    ASSERT_EQ(std::pair(shown.width, shown.height), std::pair(1920, 1080));
    EXPECT_TRUE(host.waitForLine("frame-scaled 3840x2160 -> 1920x1080"));
    EXPECT_EQ(offPixels(x, shown), 0);
    EXPECT_TRUE(shown.near(500, 900, 0x808080) && shown.near(499, 900, 0xFFFFFF));

    int input = host.connect(kInputPort);
    for (const std::array<int, 4>& c : {std::array{0, 0, 0, 0}, {1919, 1079, 3839, 2159}, {1919, 0, 3839, 0},
                                        {0, 1079, 0, 2159}, {5000, 4000, 3839, 2159}, {1, 1, 3, 3},
                                        {700, 300, 1401, 601}}) {
        ASSERT_TRUE(sendBytes(input, mouse(kMouseLeftUp, c[0], c[1], 1920, 1080)));
        EXPECT_TRUE(eventually([&] { return pointerIs(x, c[2], c[3], 0); })) << c[0] << "," << c[1];
    }

    // Rectangles ending on odd pixels: half a frame pixel past them is theirs too.
    for (const std::array<int, 5>& c : {std::array{0, 0, 1, 1, 0xFF0000}, {width - 3, height - 3, 3, 3, 0x00FF00},
                                        {1002, 500, 333, 77, 0xFF00FF}, {0, height - 1, width, 1, 0},
                                        {2000, 32, 1, 1, 0x00FFFF}})
        showAndLay(x, frame, c, shown);
    // A change of most of the screen is read in strips, each made into frame rows as it
    // arrives: bands that cross the strips' edges, and the pointer drawn at the frame's scale.
    XTestFakeMotionEvent(x, 0, 1601, 801, CurrentTime);
    for (int band = 0; band < 22; ++band)
        show(x, 0, band * 99, width, 99, band % 2 ? 0x00FF00 : 0x0000FF);
    Bytes body = acceptedFrame(frame);
    EXPECT_FALSE(recordsOf(body).hasAreas);
    shown = Picture(body);
    EXPECT_EQ(offPixels(x, shown), 0);
    EXPECT_GT(pointerPixels(shown, 804, 405, 0x00FF00), 10);
    close(frame);
    close(input);
    EXPECT_TRUE(host.waitForLine("frames "));
    EXPECT_EQ(host.countContaining("frames ", " streamed=0"), 0);

    PeerProcess fitted(hostBinary(), {"--display", xvfb.name(), "--fit", "1000x1000", "--subsampling", "444"});
    ASSERT_TRUE(fitted.waitReady());
    shown = Picture(fetchFrame(fitted.connect(kFramePort)));
    ASSERT_EQ(std::pair(shown.width, shown.height), std::pair(1000, 562));
    EXPECT_EQ(offPixels(x, shown), 0);
}

// The monitors as a user sets them: a monitor given the screen's output replaces the
// screen's own.
void xrandr(const PrivateXvfb& xvfb, const std::string& arguments)
{
    ASSERT_EQ(std::system(("DISPLAY=" + xvfb.name() + " xrandr " + arguments).c_str()), 0) << arguments;
}

// Two monitors, RIGHT made first: the host shares the one asked for by number (counting by
// place) or name, read where it changed and nowhere else, scaled as asked, with clicks kept
// inside it; one not there ends the host with status 2, one that goes ends the session.
TEST(HostTest, OneMonitorOfTwoIsSharedAndTheViewersClicksStayOnIt)
{
    PrivateXvfb xvfb{1600, 600};
    Display* x = xvfb.display();
    ASSERT_NE(x, nullptr) << "no Xvfb";
    xrandr(xvfb, "--setmonitor RIGHT 800/200x600/150+800+0 none");
    xrandr(xvfb, "--setmonitor LEFT 800/200x600/150+0+0 screen");
    show(x, 0, 0, 800, 600, 0xFF0000);
    show(x, 800, 0, 800, 600, 0x0000FF);
    show(x, 900, 50, 60, 40, 0x00FF00);

    PeerProcess unknown(hostBinary(), {"--display", xvfb.name(), "--monitor", "3"});
    EXPECT_EQ(unknown.waitExit(), 2);
    EXPECT_EQ(unknown.countContaining("monitor-unknown no monitor 3;", "1: LEFT 800x600+0+0, 2: RIGHT 800x600+800+0"), 1);

    PeerProcess host(hostBinary(), {"--display", xvfb.name(), "--monitor", "2", "--subsampling", "444"});
    ASSERT_TRUE(host.waitReady());
    EXPECT_EQ(host.count("monitor RIGHT 800x600+800+0 (2 of 2)"), 1);
    int frame = host.connect(kFramePort);
    Picture shown(fetchFrame(frame));
    ASSERT_EQ(std::pair(shown.width, shown.height), std::pair(800, 600));
    EXPECT_TRUE(shown.near(101, 51, 0x00FF00) && shown.near(158, 88, 0x00FF00) && shown.near(99, 51, 0x0000FF));
    EXPECT_TRUE(shown.near(0, 0, 0x0000FF) && shown.near(799, 599, 0x0000FF) && shown.near(400, 300, 0x0000FF));
    // A change on the other monitor: nothing to send; then one across both.
    show(x, 600, 100, 200, 50, 0xFFFFFF);
    ASSERT_TRUE(sendControl(frame, MSG_NEXT_FRAME));
    EXPECT_FALSE(readable(frame, 1500));
    show(x, 700, 200, 200, 50, 0xFF00FF);
    shown = Picture(finishFrame(frame));
    EXPECT_TRUE(shown.near(0, 200, 0xFF00FF) && shown.near(99, 249, 0xFF00FF) && shown.near(100, 249, 0x0000FF));
    EXPECT_TRUE(shown.near(50, 150, 0x0000FF) && shown.near(50, 250, 0x0000FF));

    int input = host.connect(kInputPort);
    for (const std::array<int, 6>& c : {std::array{0, 0, 800, 600, 800, 0}, {799, 599, 800, 600, 1599, 599},
                                        {5000, 4000, 6000, 5000, 1599, 599}, {130, 70, 800, 600, 930, 70}}) {
        ASSERT_TRUE(sendBytes(input, mouse(kMouseLeftUp, c[0], c[1], c[2], c[3])));
        EXPECT_TRUE(eventually([&] { return pointerIs(x, c[4], c[5], 0); })) << c[0] << "," << c[1];
    }
    // The pointer on it, drawn into its frame at its place there.
    shown = Picture(fetchFrame(frame));
    EXPECT_GT(pointerPixels(shown, 130, 70, 0x00FF00), 10);

    // The monitor goes: the next capture ends the session, saying what is left.
    xrandr(xvfb, "--delmonitor RIGHT");
    show(x, 1000, 300, 10, 10, 0xFFFFFF);
    ASSERT_TRUE(sendControl(frame, MSG_NEXT_FRAME));
    EXPECT_TRUE(receive(frame).empty());
    EXPECT_TRUE(host.waitForLine("capture-error monitor RIGHT is gone; the monitors now: 1: LEFT 800x600+0+0"));
    close(input);
    xrandr(xvfb, "--setmonitor RIGHT 800/200x600/150+800+0 none");

    // By name, any case, scaled: the monitor's size is what is scaled, clicks still inside it.
    PeerProcess scaled(hostBinary(), {"--display", xvfb.name(), "--monitor", "right", "--scale", "50"});
    ASSERT_TRUE(scaled.waitReady());
    shown = Picture(fetchFrame(scaled.connect(kFramePort)));
    ASSERT_EQ(std::pair(shown.width, shown.height), std::pair(400, 300));
    EXPECT_TRUE(shown.near(200, 100, 0x0000FF) && shown.near(53, 28, 0x00FF00));
    input = scaled.connect(kInputPort);
    for (const std::array<int, 4>& c : {std::array{0, 0, 800, 0}, {399, 299, 1599, 599}, {50, 25, 901, 51}}) {
        ASSERT_TRUE(sendBytes(input, mouse(kMouseLeftUp, c[0], c[1], 400, 300)));
        EXPECT_TRUE(eventually([&] { return pointerIs(x, c[2], c[3], 0); })) << c[0] << "," << c[1];
    }
}

// The punctuation and Japanese keys press the key of their place on the viewer's keyboard,
// found by name among the X server's keys (read here with XKB's own library); the X layout
// decides where --keyboard does not. Xvfb keeps its US keymap, so places are what is checked.
TEST(HostTest, KeysPressThePlacesOfTheViewersKeyboard)
{
    PrivateXvfb xvfb{640, 480};
    Display* x = xvfb.display();
    ASSERT_NE(x, nullptr) << "no Xvfb";
    xcb_connection_t* connection = xcb_connect(xvfb.name().c_str(), nullptr);
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    ASSERT_TRUE(xkb_x11_setup_xkb_extension(connection, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                            XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr));
    xkb_keymap* keymap = xkb_x11_keymap_new_from_device(
        context, connection, xkb_x11_get_core_keyboard_device_id(connection), XKB_KEYMAP_COMPILE_NO_FLAGS);
    ASSERT_NE(keymap, nullptr);
    const char rules[] = "evdev\0pc105\0jp\0\0";
    XChangeProperty(x, DefaultRootWindow(x), XInternAtom(x, "_XKB_RULES_NAMES", False), XA_STRING, 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(rules), sizeof rules);
    XSync(x, False);

    for (auto [layout, arguments, line] :
         {std::tuple{KeyboardLayout::Us, std::vector<std::string>{"--keyboard", "us"}, "keyboard us (--keyboard)"},
          {KeyboardLayout::Jis, std::vector<std::string>{}, "keyboard jis (from the X layout jp)"}}) {
        arguments.insert(arguments.end(), {"--display", xvfb.name()});
        PeerProcess host(hostBinary(), arguments);
        ASSERT_TRUE(host.waitReady());
        EXPECT_EQ(host.count(line), 1);
        int frame = host.connect(kFramePort), input = host.connect(kInputPort);
        std::set<int> expected;
        std::set<std::string> places;
        int unknown = 0;
        for (uint32_t key : {0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF, 0xC0, 0xDB, 0xDC, 0xDD, 0xDE, 0xE2, 0x14, 0x15,
                             0x19, 0x1C, 0x1D, 0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6}) {
            std::string place = keyPlace(layout, key);
            SCOPED_TRACE(testing::Message() << line << " 0x" << std::hex << key << " " << place);
            ASSERT_TRUE(sendBytes(input, inputMessage(MSG_KEY, 0, key)));
            unknown += place.empty();
            if (place.empty())
                continue;
            xkb_keycode_t code = xkb_keymap_key_by_name(keymap, place.c_str());
            ASSERT_NE(code, XKB_KEYCODE_INVALID);
            expected.insert(int(code));
            places.insert(place);
            ASSERT_TRUE(eventually([&] { return keysDown(x) == expected; }));
        }
        // Held keys go with the viewer, whichever of its channels closes first.
        shutdown(layout == KeyboardLayout::Us ? frame : input, SHUT_RDWR);
        EXPECT_TRUE(host.waitForLine("input-released keys=" + std::to_string(places.size()) + " "));
        EXPECT_TRUE(eventually([&] { return keysDown(x).empty(); }));
        EXPECT_EQ(host.count("input-key-unknown"), unknown);
        EXPECT_EQ(host.count("input-key-unmapped"), 0);
    }
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
    xcb_disconnect(connection);
}

// 0 when the host closes `fd` without sending a byte; on the frame port after being
// asked for a frame.
int closedUnanswered(int fd, bool askForFrame)
{
    if (fd < 0)
        return 1;
    if (askForFrame)
        sendControl(fd, MSG_NEXT_FRAME);  // may already meet the close
    uint8_t byte;
    ssize_t got = recv(fd, &byte, 1, 0);
    return got == 0 || (got < 0 && errno == ECONNRESET) ? 0 : 2;
}

TEST(HostPeerTest, OnlyTheHostsOwnUserGetsInThroughLoopbackUnlessOthersAreAllowed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    PrivateXvfb xvfb{320, 240};
    ASSERT_NE(xvfb.display(), nullptr) << "no Xvfb";
    {
        PeerProcess host(TAVIMO_HOST_BINARY, {"--display", xvfb.name()});
        ASSERT_TRUE(host.waitReady());
        EXPECT_EQ(asOtherUser([&] { return closedUnanswered(host.connect(kFramePort), true); }), 0);
        EXPECT_TRUE(host.waitForLine("peer-refused frame uid=65534 "));
        // No session was started for it: the host's own user is served.
        int frame = host.connect(kFramePort);
        EXPECT_FALSE(fetchFrame(frame).empty());

        // The input port is polled only while a session runs.
        EXPECT_EQ(asOtherUser([&] { return closedUnanswered(host.connect(kInputPort), false); }), 0);
        EXPECT_TRUE(host.waitForLine("peer-refused input uid=65534 "));
        EXPECT_EQ(host.count("input-connected"), 0);
        host.connect(kInputPort);
        EXPECT_TRUE(host.waitForLine("input-connected"));
        EXPECT_EQ(host.count("peer-refused"), 2);
    }
    PeerProcess host(TAVIMO_HOST_BINARY, {"--display", xvfb.name(), "--allow-other-users"});
    ASSERT_TRUE(host.waitReady());
    EXPECT_EQ(asOtherUser([&] { return fetchFrame(host.connect(kFramePort)).empty() ? 1 : 0; }), 0);
    EXPECT_TRUE(host.waitForLine("frame-connected"));
    EXPECT_EQ(host.count("peer-refused"), 0);
}

}  // namespace
