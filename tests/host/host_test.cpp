// The real tavimo-host on a private Xvfb, with the test as its viewer over loopback
// sockets; what the host does to the screen is read back from the X server itself.
// gtest first: X.h defines None, a name gtest uses.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <turbojpeg.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>

#include "input/input_message.h"
#include "tests/support/private_xvfb.h"
#include "tests/support/session_peer.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 1024;

// A window of the test's own on the shared screen, filled with the given pixels.
Window showPicture(Display* display, int x, int y, int width, int height, const std::function<uint32_t(int, int)>& pixel)
{
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), x, y, unsigned(width), unsigned(height),
                                        0, 0, 0);
    XSetWindowAttributes attributes;
    attributes.override_redirect = True;
    XChangeWindowAttributes(display, window, CWOverrideRedirect, &attributes);
    XMapRaised(display, window);
    XImage* image = XCreateImage(display, DefaultVisual(display, 0), 24, ZPixmap, 0,
                                 static_cast<char*>(std::malloc(size_t(width) * height * 4)), unsigned(width),
                                 unsigned(height), 32, 0);
    for (int row = 0; row < height; ++row)
        for (int column = 0; column < width; ++column)
            XPutPixel(image, column, row, pixel(column, row));
    XPutImage(display, window, DefaultGC(display, 0), image, 0, 0, 0, 0, unsigned(width), unsigned(height));
    XDestroyImage(image);
    XSync(display, False);
    return window;
}

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    uint32_t at(int x, int y) const
    {
        const uint8_t* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
        return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    }
};

Picture decode(const Bytes& jpeg)
{
    Picture picture;
    tjhandle handle = tjInitDecompress();
    int subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &picture.width, &picture.height, &subsampling,
                            &colourspace) == 0) {
        picture.rgb.resize(size_t(picture.width) * size_t(picture.height) * 3);
        if (tjDecompress2(handle, jpeg.data(), jpeg.size(), picture.rgb.data(), picture.width, 0, picture.height,
                          TJPF_RGB, 0) != 0)
            picture = Picture{};
    }
    tjDestroy(handle);
    return picture;
}

bool near(uint32_t a, uint32_t b)
{
    for (int shift : {0, 8, 16})
        if (std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) > 24)
            return false;
    return true;
}

// Waits until the X server's own state says so.
bool eventually(const std::function<bool()>& condition)
{
    for (auto until = std::chrono::steady_clock::now() + kPeerWait; std::chrono::steady_clock::now() < until;) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

struct PointerState {
    int x = -1, y = -1;
    unsigned mask = 0;
};

PointerState pointer(Display* display)
{
    PointerState state;
    Window root, child;
    int windowX, windowY;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &state.x, &state.y, &windowX, &windowY,
                  &state.mask);
    return state;
}

bool keyDown(Display* display, KeySym keysym)
{
    char keys[32];
    XQueryKeymap(display, keys);
    KeyCode code = XKeysymToKeycode(display, keysym);
    return (keys[code / 8] >> (code % 8)) & 1;
}

uint32_t packed(int x, int y)
{
    return uint32_t(y) << 16 | uint32_t(x);
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(xvfb.display(), nullptr) << "no Xvfb";
        host = std::make_unique<PeerProcess>(TAVIMO_HOST_BINARY,
                                             std::vector<std::string>{"--display", xvfb.name(), "--address", address});
        ASSERT_TRUE(host->waitReady());
        frame = std::make_unique<Socket>(connectTo(address, kFramePort));
        ASSERT_GE(frame->fd(), 0);
    }

    PrivateXvfb xvfb{kWidth, kHeight};
    std::string address = randomLoopbackAddress();
    std::unique_ptr<PeerProcess> host;
    std::unique_ptr<Socket> frame;
};

TEST_F(HostTest, FramesShowTheScreenAndInputActsOnIt)
{
    Display* x = xvfb.display();
    showPicture(x, 100, 100, 200, 150, [](int, int) { return 0xFF0000u; });
    Picture picture = decode(fetchFrame(frame->fd()));
    ASSERT_EQ(picture.width, kWidth);
    ASSERT_EQ(picture.height, kHeight);
    EXPECT_TRUE(near(picture.at(150, 120), 0xFF0000)) << std::hex << picture.at(150, 120);
    EXPECT_TRUE(near(picture.at(260, 230), 0xFF0000)) << std::hex << picture.at(260, 230);
    // Nothing changed: the same frame again. Then only a part changes, and is read again.
    Bytes first = fetchFrame(frame->fd());
    EXPECT_EQ(fetchFrame(frame->fd()), first);
    showPicture(x, 250, 200, 40, 30, [](int, int) { return 0x00FF00u; });
    picture = decode(fetchFrame(frame->fd()));
    EXPECT_TRUE(near(picture.at(270, 215), 0x00FF00)) << std::hex << picture.at(270, 215);
    EXPECT_TRUE(near(picture.at(150, 120), 0xFF0000)) << std::hex << picture.at(150, 120);

    Socket input(connectTo(address, kInputPort));
    ASSERT_GE(input.fd(), 0);
    // A left drag presses the button, then follows the frame coordinates.
    ASSERT_TRUE(sendBytes(input.fd(), inputMessage(MSG_MOUSE, kMouseLeftDrag, packed(200, 170), kWidth, kHeight)));
    EXPECT_TRUE(eventually([&] {
        PointerState p = pointer(x);
        return p.x == 200 && p.y == 170 && (p.mask & Button1Mask);
    }));
    // The pointer is drawn into the frame, over the red window.
    picture = decode(fetchFrame(frame->fd()));
    ASSERT_EQ(picture.width, kWidth);
    int drawn = 0;
    for (int dy = -8; dy <= 8; ++dy)
        for (int dx = -8; dx <= 8; ++dx)
            drawn += !near(picture.at(200 + dx, 170 + dy), 0xFF0000);
    EXPECT_GT(drawn, 10);

    ASSERT_TRUE(sendBytes(input.fd(), inputMessage(MSG_MOUSE, kMouseLeftUp, packed(210, 180), kWidth, kHeight)));
    EXPECT_TRUE(eventually([&] {
        PointerState p = pointer(x);
        return p.x == 210 && p.y == 180 && !(p.mask & Button1Mask);
    }));
    // Outside the screen: clamped to its edge.
    ASSERT_TRUE(sendBytes(input.fd(), inputMessage(MSG_MOUSE, kMouseRightDown, packed(5000, 4000), 6000, 5000)));
    EXPECT_TRUE(eventually([&] {
        PointerState p = pointer(x);
        return p.x == kWidth - 1 && p.y == kHeight - 1 && (p.mask & Button3Mask);
    }));
    Bytes keys = inputMessage(MSG_KEY, 0, 0x10);
    for (uint32_t key : {0xA0u, 0x41u, 0x07u})
        for (uint8_t b : inputMessage(MSG_KEY, 0, key))
            keys.push_back(b);
    ASSERT_TRUE(sendBytes(input.fd(), keys));
    EXPECT_TRUE(eventually([&] { return keyDown(x, XK_Shift_L) && keyDown(x, XK_a); }));
    EXPECT_TRUE(host->waitForLine("input-key-unknown 0x7"));

    // The viewer goes with a key and a button down: the host lets them go.
    input.reset();
    EXPECT_TRUE(eventually([&] { return !keyDown(x, XK_Shift_L) && !keyDown(x, XK_a) && pointer(x).mask == 0; }));
    EXPECT_TRUE(host->waitForLine("input-released keys=2 buttons=1"));
}

TEST_F(HostTest, ANoisyScreenIsSentReencodedWithinTheLimit)
{
    std::mt19937 noise(8);
    showPicture(xvfb.display(), 0, 0, kWidth, kHeight, [&](int, int) { return uint32_t(noise()) & 0xFFFFFF; });
    for (int i = 0; i < 2; ++i) {
        Bytes body = fetchFrame(frame->fd());
        ASSERT_FALSE(body.empty());
        EXPECT_LE(body.size(), 500000u);
        Picture picture = decode(body);
        EXPECT_EQ(picture.width, kWidth);
        EXPECT_EQ(picture.height, kHeight);
    }
    // At the default quality it is far larger; the lower quality is logged once and kept.
    EXPECT_EQ(host->count("quality 80 -> "), 1);
    EXPECT_EQ(host->count("quality "), 1);
}

TEST_F(HostTest, OneViewerAtATimeGarbageEndsOnlyInputAndServerExitEndsTheHost)
{
    ASSERT_FALSE(fetchFrame(frame->fd()).empty());
    Socket input(connectTo(address, kInputPort));
    ASSERT_GE(input.fd(), 0);

    Socket second(connectTo(address, kFramePort));
    ASSERT_GE(second.fd(), 0);
    EXPECT_TRUE(receiveToEnd(second.fd()).empty());
    EXPECT_TRUE(host->waitForLine("frame-refused"));
    ASSERT_FALSE(fetchFrame(frame->fd()).empty());

    ASSERT_TRUE(sendBytes(input.fd(), inputMessage(0x0999)));
    EXPECT_TRUE(receiveToEnd(input.fd()).empty());
    EXPECT_TRUE(host->waitForLine("input-closed-by-server"));
    ASSERT_FALSE(fetchFrame(frame->fd()).empty());

    Socket again(connectTo(address, kInputPort));
    ASSERT_TRUE(sendBytes(again.fd(), inputMessage(MSG_TELNET)));
    ASSERT_TRUE(sendBytes(again.fd(), inputMessage(MSG_SERVER_EXIT)));
    EXPECT_EQ(host->waitExit(), 0);
    EXPECT_TRUE(receiveToEnd(frame->fd()).empty());
    EXPECT_EQ(host->count("input-message TELNET"), 1);
    EXPECT_EQ(host->count("server-exit"), 1);
}

}  // namespace
