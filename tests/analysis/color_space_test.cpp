#include "analysis/color_space.h"
#include "support/settings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class ColorSpaceTest : public ::testing::Test {
protected:
    void SetUp() override { resetSettings(); }
    void TearDown() override { resetSettings(); }
};

void expectPixel(const WorkPixel& p, int c0, int c1, int c2, int alpha)
{
    EXPECT_EQ(p.c0, c0);
    EXPECT_EQ(p.c1, c1);
    EXPECT_EQ(p.c2, c2);
    EXPECT_EQ(p.alpha, alpha);
}

TEST_F(ColorSpaceTest, ForwardAndBackExamples)
{
    struct Case {
        WorkPixel rgb;
        int y0, y1, y2;  // converted
        int r0, r1, r2;  // converted back
    };
    const Case cases[] = {
        {{0, 0, 0, kAlphaPresent}, 8192, 0, 8192, 0, 0, 0},
        {{16383, 16383, 16383, kAlphaPresent}, 8192, 16383, 8192, 16383, 16383, 16383},
        {{8000, 4000, 2000, kAlphaPresent}, 10354, 4968, 6518, 7999, 4001, 2002},
        {{0, 0, 16383, kAlphaPresent}, 6861, 1867, 16383, 1, 0, 16381},
        {{0, 16383, 0, 0}, 1334, 9616, 2766, 2, 16380, 2},  // alpha 0 converts alike
    };
    for (const Case& c : cases) {
        WorkPixel p = c.rgb;
        rgbToYcc(&p, 1, 1);
        expectPixel(p, c.y0, c.y1, c.y2, c.rgb.alpha);
        yccToRgb(&p, 1, 1);
        expectPixel(p, c.r0, c.r1, c.r2, c.rgb.alpha);
    }
}

TEST_F(ColorSpaceTest, GreysKeepNeutralChroma)
{
    WorkPixel row[64];
    for (int i = 0; i < 64; ++i)
        row[i] = WorkPixel{static_cast<int16_t>(i * 260), static_cast<int16_t>(i * 260),
                           static_cast<int16_t>(i * 260), kAlphaPresent};
    rgbToYcc(row, 8, 8);
    for (const WorkPixel& p : row) {
        EXPECT_EQ(p.c0, 8192);
        EXPECT_EQ(p.c2, 8192);
    }
}

TEST_F(ColorSpaceTest, BackConversionClamps)
{
    WorkPixel p{0, 16383, 16383, kAlphaPresent};  // R = 4898, G = 19414, B = 30897
    yccToRgb(&p, 1, 1);
    expectPixel(p, 4898, 16383, 16383, kAlphaPresent);
    WorkPixel q{0, 0, 0, kAlphaPresent};  // R, B below 0; G = 0 - trunc(-8669.3)
    yccToRgb(&q, 1, 1);
    expectPixel(q, 0, 8669, 0, kAlphaPresent);
}

TEST_F(ColorSpaceTest, VerboseMessageOncePerCall)
{
    WorkPixel image[6] = {};
    ::testing::internal::CaptureStdout();
    rgbToYcc(image, 3, 2);
    yccToRgb(image, 3, 2);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    gSettings.verbosity = 1;
    ::testing::internal::CaptureStdout();
    rgbToYcc(image, 3, 2);
    yccToRgb(image, 3, 2);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "RGB -> YCC\nYCC -> RGB\n");
}

} // namespace
