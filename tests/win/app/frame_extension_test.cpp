// Tavimo.exe and the frame extension, against a host inside the test: the session loop the
// hosts run, speaking version 1, sending frames made here.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "session/session_loop.h"
#include "tests/support/atlas_frames.h"
#include "tests/support/make_jpeg.h"
#include "tests/win/support/app_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes jpegOf(const Picture& picture) { return makeJpeg(picture.rgb.data(), picture.width, picture.height); }

// Answers its requests with `frames` in turn, then holds the next one.
struct ExtensionHost : SessionLoop {
    using SessionLoop::SessionLoop;
    std::vector<Bytes> frames;
    std::vector<uint16_t> accepted;  // by each request it answered or holds

    FrameAnswer nextFrame(uint64_t index, std::vector<uint8_t>& body, int32_t& announced, const char*&) override
    {
        accepted.resize(index + 1);
        accepted[index] = SessionLoop::accepted();
        if (index >= frames.size())
            return FrameAnswer::Wait;
        body = frames[index];
        announced = int32_t(body.size());
        return FrameAnswer::Send;
    }
    uint16_t extensionVersion() const override { return 1; }
    bool inputMessage(const InputEvent&) override { return true; }
};

// The picture from an offer and three frames of areas; an offer of other versions leaving
// every request plain; a broken record ending the connection with its message.
TEST(FrameExtension, OfferedAreasMakeThePictureOtherVersionsStayPlainBrokenRecordsEnd)
{
    const int w = 203, h = 141;
    Picture truth(w, h), plain(w, h);
    truth.paint({0, 0, w, h}, 0);
    plain.paint({0, 0, w, h}, 7);
    const Bytes first = jpegOf(truth), offered = withSegment(first, offerSegment(1, 1));
    std::vector<Bytes> accepting = {offered};
    for (const std::vector<PixelRect>& places : std::vector<std::vector<PixelRect>>{
             {{0, 0, 1, 1}, {w - 1, h - 1, 1, 1}, {0, 70, w, 3}, {w - 3, 0, 3, h}},
             {{10, 10, 50, 40}, {30, 20, 50, 40}, {0, h - 5, 5, 5}},
             {{w - 13, h - 11, 13, 11}, {37, 53, 17, 9}}})
        accepting.push_back(areasFrame(truth, places, int(accepting.size()), jpegOf));
    const struct {
        std::vector<Bytes> frames;
        Picture* shows;   // null: the frames end in a broken record
        uint16_t accepts;  // what the requests after the first carry
    } cases[] = {
        {accepting, &truth, 1},
        {{withSegment(first, offerSegment(2, 3)), withSegment(jpegOf(plain), offerSegment(0, 0))}, &plain, 0},
        {{offered, withSegment(first, areasSegment(w, h, {{{w - 4, 0, 5, 5}, 0, 0}}))}, nullptr, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.accepts);
        static int runs = 0;
        std::string log = scratchFolder("frame-extension") + "/log-" + std::to_string(++runs), error;
        EventLog events;
        ASSERT_TRUE(events.open(windowsPath(log), error)) << error;
        SessionConfig config;
        config.address = freshLoopbackAddress();
        ExtensionHost host(config, events);
        host.frames = c.frames;
        ASSERT_TRUE(host.listen(error)) << error;
        std::thread loop([&] { host.run(); });
        AppSession app;
        app.openDialog();
        connectTo(app.dialog, wide(config.address));
        EXPECT_TRUE(app.waitForMain());
        if (c.shows) {
            EXPECT_TRUE(waitUntil([&] { return countLines(log, "frame-recv NEXT_FRAME") > int(c.frames.size()); }));
            EXPECT_TRUE(app.waitForClient(w, h));
            EXPECT_TRUE(waitUntil([&] {
                std::vector<uint8_t> rows = clientPixels(app.main, w, h, 24);
                return largestError(rows.data(), (w * 3 + 3) & ~3, 3, *c.shows) <= kJpegError;
            }, 5000));
        } else {
            HWND box = app.viewer.waitForMessageBox();
            EXPECT_EQ(L"受信エラー\r\nフレームの内容が正しくありません(*_*)", messageBoxText(box));
            EXPECT_TRUE(waitUntil([&] { return countLines(log, "frame-closed-by-client") == 1; }));
            EXPECT_NE(std::string::npos, readFile(app.viewer.folder + "/stderr.txt").find("outside the picture"));
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            EXPECT_EQ(STILL_ACTIVE, app.viewer.waitForExit(300));
        }
        EXPECT_EQ(0, countLines(log, "frame-recv unexpected"));
        // The viewer first: a host gone first would have it tell the user.
        PostMessageW(app.main, WM_CLOSE, 0, 0);
        app.viewer.waitForExit(10000);
        host.stop();
        loop.join();
        // One request more than frames: the held one, or the one an accepting viewer sent
        // right behind SEND_BODY before it found the broken record.
        std::vector<uint16_t> expected(c.frames.size() + 1, c.accepts);
        expected[0] = 0;
        EXPECT_EQ(expected, host.accepted);
    }
}

}  // namespace
