#include "session/frame_pacer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// One thing that happens at time t, then what the pacer says at t.
struct Step {
    char what;  // 's' a frame sent, 'S' the sharp frame sent, '-' time passes
    int64_t t;
    size_t bytes;
    int64_t sendAt;
    int quality;
    int64_t sharpenAt;
};

struct Case {
    const char* name;
    PacerSettings settings;
    std::vector<Step> steps;
};

TEST(FramePacerTest, CapAndSharpening)
{
    const Case cases[] = {
        {"no cap: at once, full quality, never sharpened",
         {0, 80, 30, 300},
         {{'-', 0, 0, 0, 80, -1}, {'s', 0, 400000, 0, 80, -1}, {'s', 5, 400000, 5, 80, -1}}},
        {"the cap's debt delays the next frame and lowers quality to the floor, never below",
         {1000, 80, 60, 300},
         {{'s', 0, 500, 500, 70, -1},  // sent at full quality: nothing to sharpen
          {'s', 500, 500, 1000, 60, 1000},  // blurred: sharpened when still, once the debt is paid
          {'s', 1000, 2000, 3000, 60, 3000}}},
        {"a quiet link builds a little credit, not more",
         {1000, 80, 30, 300},
         {{'s', 0, 100, 100, 80, -1}, {'s', 60000, 200, 60100, 70, -1}}},
        {"small frames raise quality back a step at a time; the sharp frame leaves it alone",
         {1000000, 80, 30, 300},
         {{'s', 0, 300000, 300, 70, -1},
          {'s', 300, 300000, 600, 60, 600},
          {'S', 900, 600000, 1400, 60, -1},  // sharp: no more sharpening, the ceiling kept
          {'s', 1500, 30000, 1500, 70, 1800},
          {'s', 1550, 30000, 1550, 80, 1850},
          {'s', 1600, 30000, 1600, 80, -1}}},
    };
    for (const Case& c : cases) {
        FramePacer pacer(c.settings);
        for (const Step& step : c.steps) {
            if (step.what == 's' || step.what == 'S')
                pacer.sent(step.t, step.bytes, step.what == 'S');
            EXPECT_EQ(pacer.sendAt(step.t), step.sendAt) << c.name << " at " << step.t;
            EXPECT_EQ(pacer.quality(), step.quality) << c.name << " at " << step.t;
            EXPECT_EQ(pacer.sharpenAt(step.t), step.sharpenAt) << c.name << " at " << step.t;
        }
        pacer.reset();
        EXPECT_EQ(pacer.quality(), c.settings.quality);
        EXPECT_EQ(pacer.sendAt(0), 0);
    }
}

TEST(FramePacerTest, RatesReadAsBytesASecond)
{
    const std::pair<const char*, int64_t> cases[] = {
        {"1M", 1000000}, {"250K", 250000}, {"1.5m", 1500000}, {"4096", 4096}, {"0", -1}, {"-1M", -1},
        {"1G", -1},      {"", -1},         {"M", -1},          {"1MB", -1},   {"nan", -1}, {"1e30", -1},
    };
    for (auto [text, rate] : cases)
        EXPECT_EQ(parseRate(text), rate) << text;
}

}  // namespace
