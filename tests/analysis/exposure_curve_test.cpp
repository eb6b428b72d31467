#include "analysis/exposure_curve.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

class ExposureCurveTest : public FreshSettingsTest {
protected:
    void build() { buildCurveTables(settings, run.console, run.curves); }
    void buildCurve(double contrast, double brightness, double shadows, double highlights, double floorShadow,
                    double floorHighlight)
    {
        buildWeightCurve(run.curves.weightCurve.data(), contrast, brightness, shadows, highlights, floorShadow,
                         floorHighlight);
    }
    const std::vector<uint16_t>& weightCurve = run.curves.weightCurve;
    const std::vector<uint16_t>& linearTable = run.curves.linearTable;
};

TEST_F(ExposureCurveTest, DefaultCurveEntries)
{
    build();
    EXPECT_EQ(weightCurve[0], 1184);
    EXPECT_EQ(weightCurve[4096], 37384);
    EXPECT_EQ(weightCurve[8192], 65535);
    EXPECT_EQ(weightCurve[12288], 37373);
    EXPECT_EQ(weightCurve[16383], 1184);
    for (int i = 16384; i < 65536; ++i)
        ASSERT_EQ(weightCurve[i], 65535) << i;
}

TEST_F(ExposureCurveTest, BrightnessMovesPeakAndShadowsNarrowOnlyTheLeftSide)
{
    buildCurve(0, 1, 0, 0, 0.1, 0.1);
    EXPECT_EQ(weightCurve[10922], 65535);
    EXPECT_LT(weightCurve[8192], 65535);

    buildCurve(0, 0, 1, 0, 0.1, 0.1);
    EXPECT_EQ(weightCurve[4096], 21548);
    EXPECT_EQ(weightCurve[12288], 37373);
}

TEST_F(ExposureCurveTest, ZeroFloorReachesZero)
{
    buildCurve(0, 0, 0, 0, 0, 0);
    EXPECT_EQ(weightCurve[0], 0);
    EXPECT_EQ(weightCurve[16383], 0);
    EXPECT_EQ(weightCurve[8192], 65535);
}

TEST_F(ExposureCurveTest, UnderflowingCurveIsFlatAtItsFloor)
{
    // Narrow and far right: every shadow and highlight sample underflows to 0.
    buildCurve(5, 5, 5, 5, 0.1, 0.1);
    for (int i = 0; i < 16384; ++i)
        ASSERT_EQ(weightCurve[i], 1184) << i;
    // A negative floor lies below 0 and is cut off there.
    buildCurve(5, 5, 5, 5, -1, -1);
    for (int i = 0; i < 16384; ++i)
        ASSERT_EQ(weightCurve[i], 0) << i;
}

// The curve written out step by step in double precision, with the two curves
// in one array so that the join may look one sample past the shadow curve.
std::vector<uint16_t> literalCurve(double contrast, double brightness, double shadows, double highlights,
                                   double floorShadow, double floorHighlight)
{
    const double k = 2.0 * std::pow(2.0, contrast), g = std::pow(2.0, brightness);
    const double hS = std::pow(2.0, shadows), hH = std::pow(2.0, highlights);
    const double mS = std::pow(1.2, floorShadow) - 1.0, mH = std::pow(1.2, floorHighlight) - 1.0;
    const double gmax = std::max(g, 1.0), gmin = std::min(g, 1.0);
    const double pS = k * hS * gmax, qS = k * hS / gmin, pH = k * hH * gmax, qH = k * hH / gmin;
    std::vector<double> both(2 * 16384);
    double* S = both.data();
    double* H = S + 16384;
    double maxS = 0, maxH = 0;
    for (int i = 0; i < 16384; ++i) {
        const double x = i / 16383.0;
        S[i] = std::pow(1.0 - x, qS) * std::pow(x, pS);
        H[i] = std::pow(1.0 - x, qH) * std::pow(x, pH);
        maxS = std::max(maxS, S[i]);
        maxH = std::max(maxH, H[i]);
    }
    for (int i = 0; i < 16384; ++i) {
        S[i] = (S[i] / maxS + mS) / (mS + 1.0);
        H[i] = (H[i] / maxH + mH) / (mH + 1.0);
    }
    bool on = false;
    std::vector<uint16_t> out(16384);
    for (int i = 0; i < 16384; ++i) {
        if (!on && S[i] > S[i + 1])
            on = true;
        if (on)
            S[i] = H[i];
        if (S[i] < 0)
            S[i] = 0;
        const double v = S[i] * 65535.0;
        out[i] = static_cast<uint16_t>(static_cast<int>(v < 0 ? v - 0.49999999 : v + 0.49999999));
    }
    return out;
}

TEST_F(ExposureCurveTest, MatchesLiteralCurveOverTheParameterRange)
{
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> any(-5.0f, 5.0f), moderate(-1.5f, 1.5f);
    for (int t = 0; t < 12; ++t) {
        // Moderate contrast keeps the curves from underflowing; floors range
        // over negative values too, which the clamp at 0 must catch.
        const float p[6] = {moderate(rng), any(rng), any(rng), any(rng), any(rng), any(rng)};
        buildCurve(p[0], p[1], p[2], p[3], p[4], p[5]);
        const std::vector<uint16_t> expected = literalCurve(p[0], p[1], p[2], p[3], p[4], p[5]);
        for (int i = 0; i < 16384; ++i)
            ASSERT_EQ(weightCurve[i], expected[i]) << "set " << t << " sample " << i;
    }
}

TEST_F(ExposureCurveTest, LinearTableForGamma22)
{
    settings.gamma = 2.2f;
    build();
    EXPECT_EQ(linearTable[0], 0);
    EXPECT_EQ(linearTable[4096], 776);
    EXPECT_EQ(linearTable[8192], 3566);
    EXPECT_EQ(linearTable[16383], 16383);
    for (int i = 16384; i < 65536; ++i)
        ASSERT_EQ(linearTable[i], 16383) << i;

    // x is rounded to single precision before the double-precision power.
    for (float gamma : {0.5f, 1.7f, 10.0f}) {
        settings.gamma = gamma;
        build();
        for (int i = 0; i < 16384; ++i) {
            const float x = static_cast<float>(i / 16383.0);
            ASSERT_EQ(linearTable[i], static_cast<int>(std::pow(double(x), double(gamma)) * 16383.0)) << i;
        }
    }
}

// The tables are built before the run's first traced buffer: building them
// must not take a tracked block, or every later -dm sequence number shifts.
TEST_F(ExposureCurveTest, BuildingLeavesTheResourceTraceAlone)
{
    run.console.setTracing(true);
    ::testing::internal::CaptureStdout();
    build();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(run.console.counters.allocCount.load(), 0u);
    EXPECT_EQ(run.console.counters.vAllocCount.load(), 0u);
}

TEST_F(ExposureCurveTest, PrintedCurveAndChartValues)
{
    settings.printCurve = true;
    ::testing::internal::CaptureStdout();
    build();
    const std::string out = ::testing::internal::GetCapturedStdout();

    std::istringstream in(out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_GE(lines.size(), 256u + 4u);
    EXPECT_EQ(lines[0], "exposure: 0 -> weight: 0.01807");
    EXPECT_EQ(lines[128], "exposure: 128 -> weight: 1.00000");
    EXPECT_EQ(lines[64], "exposure: 64 -> weight: 0.57044");  // 37384 / 65535
    EXPECT_EQ(lines[256], "");
    EXPECT_EQ(lines[257], "URL For Exposure Curve Chart:");

    const std::string& url = lines[259];
    EXPECT_NE(url.find("/chart?chs=500x350&cht=lc&chxt=x,y,x&chxl=0:|0|128|255|1:|0(Low%20Weight)"),
              std::string::npos);
    EXPECT_EQ(url.find("%%"), std::string::npos);
    const size_t data = url.find("&chd=t:");
    ASSERT_NE(data, std::string::npos);
    EXPECT_EQ(url.substr(data + 7),
              "1,2,4,6,9,14,18,23,29,34,40,46,52,58,63,69,74,79,83,87,90,93,96,97,99,99,99,99,98,96,94,"
              "91,88,84,79,75,70,64,59,53,47,41,35,30,24,19,14,10,7,4,2,1");
    EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
}

} // namespace
