#include "fusion/levels_adjust.h"

#include "level_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

class LevelsAdjustTest : public FreshSettingsTest {
protected:

    // Maps every value of `in` (through c0, c1 and c2 alike) and returns c1.
    std::vector<int> map(float bp, float wp, float f, float w, const std::vector<int>& in)
    {
        settings.levelsAdjust = LevelsParams{true, bp, wp, w, f};
        std::vector<WorkPixel> p;
        for (int v : in)
            p.push_back(px(v, v, v, 1234));
        testing::internal::CaptureStdout();
        EXPECT_TRUE(adjustLevels(run, p.data(), static_cast<int>(p.size()), 1).ok());
        lastOutput = testing::internal::GetCapturedStdout();
        std::vector<int> out;
        for (const WorkPixel& q : p) {
            EXPECT_EQ(q.c0, q.c1);
            EXPECT_EQ(q.c2, q.c1);
            EXPECT_EQ(1234, q.alpha);
            out.push_back(static_cast<uint16_t>(q.c1));
        }
        return out;
    }
    std::string lastOutput;
};

TEST_F(LevelsAdjustTest, CurveExamples)
{
    EXPECT_EQ((std::vector<int>{0, 11936, 16383, 0, 16383}), map(0.1f, 0.9f, 2.0f, 0.5f, {0, 8192, 16383, 1000, 15500}));
    EXPECT_EQ("\nPerforming levels adjustment: bp=0.10 wp0.90 f=2.00 w=0.50\n", lastOutput);
    EXPECT_EQ(std::vector<int>{12287}, map(0.0f, 1.0f, 2.0f, 0.0f, {8192}));
    EXPECT_EQ(std::vector<int>{11584}, map(0.0f, 1.0f, 2.0f, 1.0f, {8192}));
}

TEST_F(LevelsAdjustTest, DefaultsAreTheIdentityUpToTruncation)
{
    std::vector<int> all;
    for (int v = 0; v <= 16383; ++v)
        all.push_back(v);
    std::vector<int> out = map(0.0f, 1.0f, 1.0f, 0.5f, all);
    EXPECT_EQ(8192, out[8192]);
    EXPECT_EQ(0, out[1]);
    EXPECT_EQ(16383, out[16383]);
    int lower = 0;
    for (int v = 0; v <= 16383; ++v) {
        ASSERT_TRUE(out[v] == v || out[v] == v - 1) << v;
        lower += out[v] == v - 1;
    }
    // About one value in six comes out one less.
    EXPECT_GT(lower, 16384 / 7);
    EXPECT_LT(lower, 16384 / 5);
}

TEST_F(LevelsAdjustTest, EqualPointsGiveAHardStep)
{
    // bp = wp = 0.5: below the point 0, at and above it full scale; no NaN
    // reaches the table (8191.5 is the point: 8191 below, 8192 above).
    std::vector<int> out = map(0.5f, 0.5f, 1.0f, 0.5f, {0, 8191, 8192, 16383});
    EXPECT_EQ((std::vector<int>{0, 0, 16383, 16383}), out);
    // The exact point: index 0 with bp = wp = 0.
    EXPECT_EQ((std::vector<int>{16383, 16383}), map(0.0f, 0.0f, 2.0f, 0.5f, {0, 1}));
}

TEST_F(LevelsAdjustTest, EveryIndexFollowsTheCurveInSinglePrecision)
{
    // Factors whose reciprocal is inexact (1/3 differs between single and
    // double precision) and points that cut inside the range; every 16-bit
    // index, negative samples included, is checked.
    const float params[][4] = {{0.05f, 0.83f, 3.0f, 0.7f}, {0.0f, 1.0f, 0.3f, 0.2f}, {0.2f, 0.6f, 7.0f, 0.5f}};
    for (const auto& q : params) {
        const float bp = q[0], wp = q[1], f = q[2], w = q[3];
        std::vector<int> all;
        for (int i = 0; i < 65536; ++i)
            all.push_back(static_cast<int16_t>(i));
        std::vector<int> out = map(bp, wp, f, w, all);
        const float invF = 1.0f / f;
        for (int i = 0; i < 65536; ++i) {
            float x = (static_cast<float>(i) / 16383.0f - bp) / (wp - bp);
            x = x < 0.0f ? 0.0f : (x > 1.0f ? 1.0f : x);
            const float a = static_cast<float>(std::pow(static_cast<double>(1.0f - x), static_cast<double>(f)));
            const float b = static_cast<float>(std::pow(static_cast<double>(x), static_cast<double>(invF)));
            float y = (1.0f - a) * (1.0f - w) + b * w;
            if (y < 0.0f)
                y = 0.0f;
            float v = y * 16383.0f;
            if (v > 16383.0f)
                v = 16383.0f;
            ASSERT_EQ(static_cast<int>(v), out[i]) << "index " << i << " f " << f;
        }
    }
}

} // namespace
