#include "analysis/color_space.h"
#include "analysis/weight_maps.h"
#include "fusion/highlight_constraint.h"
#include "fusion/levels_adjust.h"

#include "level_files.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class HighlightConstraintTest : public FreshSettingsTest {
protected:
    void constrain(std::vector<WorkPixel>& pixels, int64_t count)
    {
        EXPECT_TRUE(constrainHighlights(run, pixels.data(), count).ok());
    }
};

TEST_F(HighlightConstraintTest, HalfStrengthExample)
{
    settings.highlightThreshold = 0.5f;
    settings.verbosity = 1;
    // c1 spans -1000 .. 20000; c0 and c2 stay in range.
    std::vector<WorkPixel> p = {px(100, -1000, 200), px(0, 0, 16383), px(16383, 16383, 5), px(8000, 20000, 9)};
    testing::internal::CaptureStdout();
    constrain(p, static_cast<int64_t>(p.size()));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("Constrain: colorspace=0, preservationStrength=0.500\n")) << out;
    EXPECT_NE(std::string::npos,
              out.find("Channel 0, min/max Vals = -1000/20000, black/white Vals = -500/18191,  shift/scale = 500/0.87652\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find("Channel 1, min/max Vals = 0/16383, black/white Vals = 0/16383,  shift/scale = 0/1.00000\n"))
        << out;
    EXPECT_EQ(-438, p[0].c1);
    EXPECT_EQ(438, p[1].c1);
    EXPECT_EQ(14798, p[2].c1);
    EXPECT_EQ(17968, p[3].c1);
    // In-range channels map through the identity; alpha is untouched.
    EXPECT_TRUE(samePixel(px(100, -438, 200), p[0]));
    EXPECT_TRUE(samePixel(px(16383, 14798, 5), p[2]));
}

TEST_F(HighlightConstraintTest, DecisionRestsOnTheMiddleSample)
{
    settings.highlightThreshold = 1.0f;
    // Red overshoots, green is in range: nothing changes at all.
    std::vector<WorkPixel> p = {px(20000, 100, -3000), px(-500, 16383, 100)};
    const std::vector<WorkPixel> before = p;
    constrain(p, 2);
    for (size_t i = 0; i < p.size(); ++i)
        EXPECT_TRUE(samePixel(before[i], p[i])) << i;

    // Once green overshoots, red and blue get their own maps as well.
    p = {px(20000, 17000, -3000), px(0, 0, 16383)};
    constrain(p, 2);
    // Red: black 0, white 20000, scale 16383/20000 in single precision, so the
    // top lands just below 16383 and truncates to 16382. Green (white 17000)
    // reaches 16383.
    EXPECT_EQ(16382, p[0].c0);
    EXPECT_EQ(16383, p[0].c1);
    // Blue: shift 3000, scale 16383/19383: -3000 -> 0, 16383 -> 16383.
    EXPECT_EQ(0, p[0].c2);
    EXPECT_EQ(16383, p[1].c2);
}

TEST_F(HighlightConstraintTest, ZeroStrengthAndAbsentPixels)
{
    settings.highlightThreshold = 0.0f;
    std::vector<WorkPixel> p = {px(20000, -900, 30000), px(1, 2, 3)};
    const std::vector<WorkPixel> before = p;
    constrain(p, 2);
    for (size_t i = 0; i < p.size(); ++i)
        EXPECT_TRUE(samePixel(before[i], p[i])) << i;

    // An absent pixel neither widens the range nor escapes the rescaling.
    settings.highlightThreshold = 1.0f;
    p = {px(0, 32000, 0, 0), px(0, 20000, 0), px(0, 0, 0)};
    constrain(p, 3);
    EXPECT_EQ(16382, p[1].c1); // white = 20000, not 32000
    EXPECT_EQ(26212, p[0].c1); // rescaled with the others
    EXPECT_EQ(0, p[0].alpha);

    // Without any present pixel nothing changes.
    p = {px(0, 32000, 0, 0)};
    constrain(p, 1);
    EXPECT_EQ(32000, p[0].c1);
}

TEST_F(HighlightConstraintTest, WhitePointSumIsNotRoundedToSinglePrecision)
{
    // 3 * 0.3333f + 16383 is 16383.9999: it truncates to 16383, so green needs
    // no change and nothing is rescaled (a single-precision sum would round it
    // to 16384 first and rescale every pixel).
    settings.highlightThreshold = 0.3333f;
    settings.verbosity = 1;
    std::vector<WorkPixel> p = {px(100, 16386, 200), px(0, 8000, 0), px(0, 0, 0)};
    testing::internal::CaptureStdout();
    constrain(p, 3);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos,
              out.find("Channel 0, min/max Vals = 0/16386, black/white Vals = 0/16383,  shift/scale = 0/1.00000\n"))
        << out;
    EXPECT_TRUE(samePixel(px(100, 16386, 200), p[0]));
    EXPECT_TRUE(samePixel(px(0, 8000, 0), p[1]));
}

// A stop request reaches the whole-image steps between their bands: they
// report it instead of returning with the image half processed.
TEST(WholeImageStepsTest, StopRequestIsReportedNotSwallowed)
{
    std::atomic<bool> stop{true};
    Options options = testOptions("");
    options.workerCount = 2;
    options.cancel = &stop;
    TestRun testRun(options);
    FusionRun& run = *testRun;
    run.settings.highlightThreshold = 1.0f;
    run.settings.levelsAdjust = LevelsParams{true, 0.1f, 0.9f, 0.5f, 1.0f};
    std::vector<WorkPixel> p(64, px(0, 20000, 0));
    uint16_t weights[64];
    testing::internal::CaptureStdout();
    EXPECT_EQ(kExitInterrupted, constrainHighlights(run, p.data(), 64).exitCode());
    EXPECT_EQ(kExitInterrupted, adjustLevels(run, p.data(), 8, 8).exitCode());
    EXPECT_EQ(kExitInterrupted, rgbToYcc(run, p.data(), 8, 8).exitCode());
    EXPECT_EQ(kExitInterrupted, exposureWeightMap(run, p.data(), 8, 8, weights).exitCode());
    EXPECT_EQ(kExitInterrupted, contrastWeightMap(run, p.data(), 8, 8, weights).exitCode());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(20000, p[0].c1);  // nothing ran
}

} // namespace
