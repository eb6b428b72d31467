#include "analysis/exposure_curve.h"
#include "analysis/weight_maps.h"
#include "support/settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

class WeightMapsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSettings();
        buildCurveTables();
    }
    void TearDown() override { resetSettings(); }
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
    contrastWeightMap(level, 3, 1, out);
    EXPECT_EQ(out[0], 612);
    EXPECT_EQ(out[1], 65535);  // v = 17700
    EXPECT_EQ(out[2], 65532);  // v = 16383, absent pixels are measured too
    gSettings.useYCrCb = true;
    contrastWeightMap(level, 3, 1, out);
    EXPECT_EQ(out[0], 600);
}

TEST_F(WeightMapsTest, SaturationExamples)
{
    const WorkPixel level[6] = {px(16383, 0, 0), px(8000, 8000, 8000), px(0, 0, 0),
                                px(300, 100, 200), px(0, 16383, 8000), px(5, -5, 0)};
    uint16_t out[6];
    ::testing::internal::CaptureStdout();
    saturationWeightMap(level, 3, 2, out);
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
    gSettings.useYCrCb = true;
    gSettings.verbosity = 1;
    // (8192, Y, 8192) is grey; pure green in YCrCb comes back as (2, 16380, 2).
    WorkPixel level[4] = {px(8192, 5000, 8192), px(1334, 9616, 2766), px(8192, 0, 8192), px(8192, 9000, 8192)};
    const WorkPixel before[4] = {level[0], level[1], level[2], level[3]};
    uint16_t out[4];
    ::testing::internal::CaptureStdout();
    saturationWeightMap(level, 2, 2, out);
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
    exposureWeightMap(level, 2, 1, out);
    EXPECT_EQ(out[0], weightCurve[100]);
    EXPECT_EQ(out[1], weightCurve[(30 * 16383 + 59 * 8192) / 100]);

    gSettings.exposureWeightMode = 1;
    exposureWeightMap(level, 2, 1, out);
    EXPECT_EQ(out[0], weightCurve[100]);
    EXPECT_EQ(out[1], (weightCurve[16383] + weightCurve[8192] + weightCurve[0]) / 3);

    gSettings.useYCrCb = true;  // luma only, whatever the mode
    exposureWeightMap(level, 2, 1, out);
    EXPECT_EQ(out[1], weightCurve[8192]);

    // Unknown modes fall back to greyscale rather than leaving stale content.
    gSettings.useYCrCb = false;
    gSettings.exposureWeightMode = 7;
    out[1] = 7;
    exposureWeightMap(level, 2, 1, out);
    EXPECT_EQ(out[1], weightCurve[(30 * 16383 + 59 * 8192) / 100]);
}

TEST_F(WeightMapsTest, ExposureMeasureCountsOnlyPresentPixels)
{
    const WorkPixel level[4] = {px(8192, 8192, 8192), px(0, 0, 0, 0), px(16383, 16383, 16383, 0), px(4096, 4096, 4096)};
    EXPECT_DOUBLE_EQ(measureExposure(level, 2, 2), (3566 + 776) / 2.0);
    gSettings.useYCrCb = true;
    const WorkPixel ycc[2] = {px(0, 8192, 0), px(16383, 0, 16383)};
    EXPECT_DOUBLE_EQ(measureExposure(ycc, 2, 1), 3566 / 2.0);

    const WorkPixel absent[2] = {px(9000, 9000, 9000, 0), px(9000, 9000, 9000, 0)};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(measureExposure(absent, 2, 1), 0.0);
    EXPECT_EQ(measureExposure(absent, 0, 1), 0.0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Warning: Zero exposure in image\nWarning: Zero exposure in image\n");
}

} // namespace
