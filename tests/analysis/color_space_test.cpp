#include "analysis/color_space.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

namespace {

class ColorSpaceTest : public FreshSettingsTest {
protected:
    // Whole-image conversions as the stages call them, without the -v line.
    void toYcc(WorkPixel* image, int width, int height) { rgbToYcc(run.console, 0, image, width, height); }
    void toRgb(WorkPixel* image, int width, int height) { yccToRgb(run.console, 0, image, width, height); }
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
        toYcc(&p, 1, 1);
        expectPixel(p, c.y0, c.y1, c.y2, c.rgb.alpha);
        toRgb(&p, 1, 1);
        expectPixel(p, c.r0, c.r1, c.r2, c.rgb.alpha);
    }
}

TEST_F(ColorSpaceTest, GreysKeepNeutralChroma)
{
    WorkPixel row[64];
    for (int i = 0; i < 64; ++i)
        row[i] = WorkPixel{static_cast<int16_t>(i * 260), static_cast<int16_t>(i * 260),
                           static_cast<int16_t>(i * 260), kAlphaPresent};
    toYcc(row, 8, 8);
    for (const WorkPixel& p : row) {
        EXPECT_EQ(p.c0, 8192);
        EXPECT_EQ(p.c2, 8192);
    }
}

TEST_F(ColorSpaceTest, BackConversionClamps)
{
    WorkPixel p{0, 16383, 16383, kAlphaPresent};  // R = 4898, G = 19414, B = 30897
    toRgb(&p, 1, 1);
    expectPixel(p, 4898, 16383, 16383, kAlphaPresent);
    WorkPixel q{0, 0, 0, kAlphaPresent};  // R, B below 0; G = 0 - trunc(-8669.3)
    toRgb(&q, 1, 1);
    expectPixel(q, 0, 8669, 0, kAlphaPresent);
}

// Both directions against the arithmetic written out step by step, on 14-bit
// samples and on full-range ones (Laplacian values, out-of-range rows): the
// single-precision sums and products must not be regrouped or widened.
TEST_F(ColorSpaceTest, MatchesLiteralArithmeticOnRandomSamples)
{
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> in14(0, 16383), full(-32768, 32767);
    for (int k = 0; k < 200000; ++k) {
        auto draw = [&] { return k % 4 == 0 ? full(rng) : in14(rng); };
        const WorkPixel p{static_cast<int16_t>(draw()), static_cast<int16_t>(draw()), static_cast<int16_t>(draw()),
                          kAlphaPresent};

        const int r = p.c0, g = p.c1, b = p.c2;
        const float luma = (float(r) * 0.299f + float(g) * 0.587f) + float(b) * 0.114f;
        const int y = int(luma);
        const int cb = int(double(float(b - y)) * 0.5 / double(0.886f));
        const int cr = int(double(float(r - y)) * 0.5 / double(0.701f));
        WorkPixel q = p;
        toYcc(&q, 1, 1);
        ASSERT_EQ(q.c0, int16_t(cr + 8192)) << r << " " << g << " " << b;
        ASSERT_EQ(q.c1, int16_t(y)) << r << " " << g << " " << b;
        ASSERT_EQ(q.c2, int16_t(cb + 8192)) << r << " " << g << " " << b;

        const float crf = float(p.c0 - 8192), cbf = float(p.c2 - 8192);
        const float redPart = 1.402f * crf, bluePart = 1.772f * cbf;
        const float greenPart = 0.71413624f * crf + 0.34413627f * cbf;
        auto clamp14 = [](int v) { return std::clamp(v, 0, 16383); };
        q = p;
        toRgb(&q, 1, 1);
        ASSERT_EQ(q.c0, clamp14(p.c1 + int(redPart))) << p.c0 << " " << p.c1 << " " << p.c2;
        ASSERT_EQ(q.c1, clamp14(p.c1 - int(greenPart))) << p.c0 << " " << p.c1 << " " << p.c2;
        ASSERT_EQ(q.c2, clamp14(p.c1 + int(bluePart))) << p.c0 << " " << p.c1 << " " << p.c2;
    }
}

TEST_F(ColorSpaceTest, VerboseMessageOncePerCall)
{
    WorkPixel image[6] = {};
    ::testing::internal::CaptureStdout();
    rgbToYcc(run.console, 0, image, 3, 2);
    yccToRgb(run.console, 0, image, 3, 2);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ::testing::internal::CaptureStdout();
    rgbToYcc(run.console, 1, image, 3, 2);
    yccToRgb(run.console, 1, image, 3, 2);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "RGB -> YCC\nYCC -> RGB\n");
}

} // namespace
