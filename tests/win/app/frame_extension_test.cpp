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

Bytes withSegment(const Bytes& jpeg, const Bytes& segment)
{
    Bytes out;
    insertSegment(jpeg.data(), jpeg.size(), segment, out);
    return out;
}

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

// Tavimo connected to a host that sends `frames`.
struct HostedViewer {
    std::string log = scratchFolder("frame-extension") + "/log-" + std::to_string(GetCurrentProcessId()) + "-" +
                      std::to_string(++runs);
    EventLog events;
    AppSession app;
    std::unique_ptr<ExtensionHost> host;
    std::thread loop;
    static inline int runs = 0;

    void start(std::vector<Bytes> frames)
    {
        std::string error;
        ASSERT_TRUE(events.open(windowsPath(log), error)) << error;
        SessionConfig config;
        config.address = freshLoopbackAddress();
        host = std::make_unique<ExtensionHost>(config, events);
        host->frames = std::move(frames);
        ASSERT_TRUE(host->listen(error)) << error;
        loop = std::thread([this] { host->run(); });
        ASSERT_NO_FATAL_FAILURE(app.openDialog());
        connectTo(app.dialog, wide(config.address));
        ASSERT_TRUE(app.waitForMain());
    }
    // The viewer first: a host gone first would have it tell the user.
    void finish()
    {
        if (app.main && IsWindow(app.main))
            PostMessageW(app.main, WM_CLOSE, 0, 0);
        app.viewer.waitForExit(10000);
        if (host)
            host->stop();
        if (loop.joinable())
            loop.join();
    }
    ~HostedViewer() { finish(); }
};

TEST(FrameExtension, AreasAfterAnOfferMakeThePictureAndOtherVersionsStayPlain)
{
    const int w = 203, h = 141;
    Picture truth(w, h), atlas(0, 0);
    truth.paint({0, 0, w, h}, 0);
    const Bytes first = jpegOf(truth);
    std::vector<Bytes> accepting = {withSegment(first, offerSegment(1, 1))};
    const std::vector<std::vector<PixelRect>> changes = {
        {{0, 0, 1, 1}, {w - 1, h - 1, 1, 1}, {0, 70, w, 3}, {w - 3, 0, 3, h}},
        {{10, 10, 50, 40}, {30, 20, 50, 40}, {0, h - 5, 5, 5}},
        {{w - 13, h - 11, 13, 11}, {37, 53, 17, 9}},
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        for (const PixelRect& place : changes[i])
            truth.paint(place, int(i) + 1);
        std::vector<FrameArea> areas = packAtlas(truth, changes[i], atlas);
        accepting.push_back(withSegment(jpegOf(atlas), areasSegment(w, h, areas)));
    }
    Picture plain(w, h);
    plain.paint({0, 0, w, h}, 7);
    const struct {
        std::vector<Bytes> frames;
        const Picture& shows;
        uint16_t accepts;  // what the requests after the first carry
    } cases[] = {
        {accepting, truth, 1},
        {{withSegment(first, offerSegment(2, 3)), withSegment(jpegOf(plain), offerSegment(0, 0))}, plain, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.accepts);
        HostedViewer run;
        ASSERT_NO_FATAL_FAILURE(run.start(c.frames));
        ASSERT_TRUE(waitUntil([&] { return countLines(run.log, "frame-recv NEXT_FRAME") > int(c.frames.size()); }));
        ASSERT_TRUE(run.app.waitForClient(w, h));
        EXPECT_TRUE(waitUntil([&] {
            std::vector<uint8_t> rows = clientPixels(run.app.main, w, h, 24);
            return largestError(rows.data(), (w * 3 + 3) & ~3, 3, c.shows) <= kJpegError;
        }, 5000));
        EXPECT_EQ(0, countLines(run.log, "frame-recv unexpected"));
        run.finish();
        std::vector<uint16_t> expected(c.frames.size() + 1, c.accepts);
        expected[0] = 0;
        EXPECT_EQ(expected, run.host->accepted);
    }
}

TEST(FrameExtension, ABrokenRecordEndsTheConnectionWithItsMessage)
{
    Picture picture(64, 48);
    picture.paint({0, 0, 64, 48}, 3);
    const Bytes jpeg = jpegOf(picture), areas = areasSegment(64, 48, {{{60, 40, 5, 5}, 0, 0}});
    const struct {
        std::vector<Bytes> frames;
        const char* problem;
    } cases[] = {
        {{withSegment(jpeg, offerSegment(1, 1)), withSegment(jpeg, areas)}, "outside the picture"},
        {{withSegment(jpeg, areasSegment(64, 48, {{{0, 0, 5, 5}, 0, 0}}))}, "answer to a plain request"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        HostedViewer run;
        ASSERT_NO_FATAL_FAILURE(run.start(c.frames));
        HWND box = run.app.viewer.waitForMessageBox();
        EXPECT_EQ(L"受信エラー\r\nフレームの内容が正しくありません(*_*)", messageBoxText(box));
        EXPECT_TRUE(waitUntil([&] { return countLines(run.log, "frame-closed-by-client") == 1; }));
        EXPECT_NE(std::string::npos, readFile(run.app.viewer.folder + "/stderr.txt").find(c.problem));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(STILL_ACTIVE, run.app.viewer.waitForExit(300));
    }
}

}  // namespace
