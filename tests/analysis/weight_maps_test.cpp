#include "analysis/exposure_curve.h"
#include "analysis/weight_maps.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

class WeightMapsTest : public FreshSettingsTest {
protected:
    void SetUp() override { buildCurveTables(settings, run.console, run.curves); }
    const std::vector<uint16_t>& weightCurve = run.curves.weightCurve;
};

WorkPixel px(int c0, int c1, int c2, int alpha = kAlphaPresent)
{
    return WorkPixel{static_cast<int16_t>(c0), static_cast<int16_t>(c1), static_cast<int16_t>(c2),
                     static_cast<int16_t>(alpha)};
}

TEST_F(WeightMapsTest, ContrastExamples)
{
    const WorkPixel level[3] = {px(100, -200, 50), px(0, 30000, 0), px(0, 27768, 0, 0)};
    uint16_t out[3];
    ASSERT_TRUE(contrastWeightMap(run, level, 3, 1, out).ok());
    EXPECT_EQ(out[0], 612);
    EXPECT_EQ(out[1], 65535);  // v = 17700
    EXPECT_EQ(out[2], 65532);  // v = 16383, absent pixels are measured too
    settings.useYCrCb = true;
    ASSERT_TRUE(contrastWeightMap(run, level, 3, 1, out).ok());
    EXPECT_EQ(out[0], 600);
}

TEST_F(WeightMapsTest, SaturationExamples)
{
    const WorkPixel level[6] = {px(16383, 0, 0), px(8000, 8000, 8000), px(0, 0, 0),
                                px(300, 100, 200), px(0, 16383, 8000), px(5, -5, 0)};
    uint16_t out[6];
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(saturationWeightMap(run, level, 3, 2, out).ok());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error max min: 5 -5\n");
    EXPECT_EQ(out[0], 65535);
    EXPECT_EQ(out[1], 1);
    EXPECT_EQ(out[2], 1);
    EXPECT_EQ(out[3], 32767);
    EXPECT_EQ(out[4], 65535);
    EXPECT_EQ(out[5], 1);
}

TEST_F(WeightMapsTest, SaturationUnderYccMeasuresRgbAndLeavesLevel)
{
    settings.useYCrCb = true;
    settings.verbosity = 1;
    // (8192, Y, 8192) is grey; pure green in YCrCb comes back as (2, 16380, 2).
    WorkPixel level[4] = {px(8192, 5000, 8192), px(1334, 9616, 2766), px(8192, 0, 8192), px(8192, 9000, 8192)};
    const WorkPixel before[4] = {level[0], level[1], level[2], level[3]};
    uint16_t out[4];
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(saturationWeightMap(run, level, 2, 2, out).ok());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "YCC -> RGB\nYCC -> RGB\n");  // once per row
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], (16380 - 2) * 65535 / (16380 + 2));
    EXPECT_EQ(out[2], 1);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(level[i].c0, before[i].c0);
        EXPECT_EQ(level[i].c1, before[i].c1);
        EXPECT_EQ(level[i].c2, before[i].c2);
    }
}

TEST_F(WeightMapsTest, ExposureModes)
{
    const WorkPixel level[2] = {px(100, 100, 100), px(16383, 8192, 0)};
    uint16_t out[2] = {7, 7};
    ASSERT_TRUE(exposureWeightMap(run, level, 2, 1, out).ok());
    EXPECT_EQ(out[0], weightCurve[100]);
    EXPECT_EQ(out[1], weightCurve[(30 * 16383 + 59 * 8192) / 100]);

    settings.exposureWeightMode = 1;
    ASSERT_TRUE(exposureWeightMap(run, level, 2, 1, out).ok());
    EXPECT_EQ(out[0], weightCurve[100]);
    EXPECT_EQ(out[1], (weightCurve[16383] + weightCurve[8192] + weightCurve[0]) / 3);

    settings.useYCrCb = true;  // luma only, whatever the mode
    ASSERT_TRUE(exposureWeightMap(run, level, 2, 1, out).ok());
    EXPECT_EQ(out[1], weightCurve[8192]);

    // Unknown modes fall back to greyscale rather than leaving stale content.
    settings.useYCrCb = false;
    settings.exposureWeightMode = 7;
    out[1] = 7;
    ASSERT_TRUE(exposureWeightMap(run, level, 2, 1, out).ok());
    EXPECT_EQ(out[1], weightCurve[(30 * 16383 + 59 * 8192) / 100]);
}

TEST_F(WeightMapsTest, ExposureMeasureCountsOnlyPresentPixels)
{
    const WorkPixel level[4] = {px(8192, 8192, 8192), px(0, 0, 0, 0), px(16383, 16383, 16383, 0), px(4096, 4096, 4096)};
    EXPECT_DOUBLE_EQ(measureExposure(run, level, 2, 2), (3566 + 776) / 2.0);
    settings.useYCrCb = true;
    const WorkPixel ycc[2] = {px(0, 8192, 0), px(16383, 0, 16383)};
    EXPECT_DOUBLE_EQ(measureExposure(run, ycc, 2, 1), 3566 / 2.0);

    const WorkPixel absent[2] = {px(9000, 9000, 9000, 0), px(9000, 9000, 9000, 0)};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(measureExposure(run, absent, 2, 1), 0.0);
    EXPECT_EQ(measureExposure(run, absent, 0, 1), 0.0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Warning: Zero exposure in image\nWarning: Zero exposure in image\n");
}

// Every run weighs with its own tables: a second run with other gamma and
// curve settings changes nothing for the first.
TEST_F(WeightMapsTest, EachRunUsesItsOwnTables)
{
    TestRun other;
    other->settings.gamma = 1.0f;
    other->settings.curve.brightness = 1.0f;
    buildCurveTables(other->settings, other->console, other->curves);

    const WorkPixel level[2] = {px(4096, 4096, 4096), px(8192, 8192, 8192)};
    EXPECT_DOUBLE_EQ(measureExposure(run, level, 2, 1), (776 + 3566) / 2.0);
    // Gamma 1: x * 16383 with x rounded to single precision lands a hair
    // below the index and truncates.
    EXPECT_DOUBLE_EQ(measureExposure(*other, level, 2, 1), (4095 + 8191) / 2.0);
    uint16_t mine[2], theirs[2];
    ASSERT_TRUE(exposureWeightMap(run, level, 2, 1, mine).ok());
    ASSERT_TRUE(exposureWeightMap(*other, level, 2, 1, theirs).ok());
    EXPECT_EQ(mine[1], 65535);
    EXPECT_LT(theirs[1], 65535);  // the peak moved to 10922
    EXPECT_EQ(theirs[1], other->curves.weightCurve[8192]);
}

} // namespace
