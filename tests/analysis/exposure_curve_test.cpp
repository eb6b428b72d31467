#include "analysis/exposure_curve.h"
#include "support/settings.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

class ExposureCurveTest : public ::testing::Test {
protected:
    void SetUp() override { resetSettings(); }
    void TearDown() override
    {
        resetSettings();
        buildCurveTables();  // leave the default tables for other tests
    }
};

TEST_F(ExposureCurveTest, DefaultCurveEntries)
{
    buildCurveTables();
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
    buildWeightCurve(0, 1, 0, 0, 0.1, 0.1);
    EXPECT_EQ(weightCurve[10922], 65535);
    EXPECT_LT(weightCurve[8192], 65535);

    buildWeightCurve(0, 0, 1, 0, 0.1, 0.1);
    EXPECT_EQ(weightCurve[4096], 21548);
    EXPECT_EQ(weightCurve[12288], 37373);
}

TEST_F(ExposureCurveTest, ZeroFloorReachesZero)
{
    buildWeightCurve(0, 0, 0, 0, 0, 0);
    EXPECT_EQ(weightCurve[0], 0);
    EXPECT_EQ(weightCurve[16383], 0);
    EXPECT_EQ(weightCurve[8192], 65535);
}

TEST_F(ExposureCurveTest, UnderflowingCurveIsFlatAtItsFloor)
{
    // Narrow and far right: every shadow and highlight sample underflows to 0.
    buildWeightCurve(5, 5, 5, 5, 0.1, 0.1);
    for (int i = 0; i < 16384; ++i)
        ASSERT_EQ(weightCurve[i], 1184) << i;
    // A negative floor lies below 0 and is cut off there.
    buildWeightCurve(5, 5, 5, 5, -1, -1);
    for (int i = 0; i < 16384; ++i)
        ASSERT_EQ(weightCurve[i], 0) << i;
}

TEST_F(ExposureCurveTest, LinearTableForGamma22)
{
    gSettings.gamma = 2.2f;
    buildCurveTables();
    EXPECT_EQ(linearTable[0], 0);
    EXPECT_EQ(linearTable[4096], 776);
    EXPECT_EQ(linearTable[8192], 3566);
    EXPECT_EQ(linearTable[16383], 16383);
    for (int i = 16384; i < 65536; ++i)
        ASSERT_EQ(linearTable[i], 16383) << i;
}

TEST_F(ExposureCurveTest, PrintedCurveAndChartValues)
{
    gSettings.printCurve = true;
    ::testing::internal::CaptureStdout();
    buildCurveTables();
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
