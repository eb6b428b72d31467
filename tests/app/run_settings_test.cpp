#include "app/run_settings.h"
#include "imageio/image_types.h"
#include "support/settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

class ValidateTest : public ::testing::Test {
protected:
    void SetUp() override { resetSettings(); }
    void TearDown() override { resetSettings(); }

    std::string validate()
    {
        testing::internal::CaptureStdout();
        validateSettings();
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(ValidateTest, DefaultsPassSilently)
{
    EXPECT_EQ(validate(), "");
    EXPECT_EQ(gSettings.iterationCount, 2);
    EXPECT_EQ(gSettings.iteration1.mode, Maximum);
    EXPECT_FLOAT_EQ(gSettings.gamma, 2.2f);
}

TEST_F(ValidateTest, EveryResetInOrder)
{
    RunSettings& s = gSettings;
    s.iterationCount = 3;
    s.iteration1.mode = 5;
    s.iteration2.mode = 7;
    s.gamma = 11.0f;
    s.curve.contrast = -6.0f;
    s.curve.brightness = 5.5f;
    s.curve.shadows = 9.0f;
    s.curve.highlights = -9.0f;
    s.curve.floorShadow = 6.0f;
    s.curve.floorHighlight = -7.0f;
    s.jpegQuality = 101;
    s.highlightThreshold = 1.5f;
    EXPECT_EQ(validate(), "Invalid iteration count...resetting to 2\n"
                          "Invalid laplacian combination mode 1...resetting\n"
                          "Invalid laplacian combination mode 2...resetting\n"
                          "Invalid Gamma value...resetting\n"
                          "Invalid exposure curve contrast value...resetting\n"
                          "Invalid exposure curve brightness value...resetting\n"
                          "Invalid exposure curve shadows value...resetting\n"
                          "Invalid exposure curve highlights value...resetting\n"
                          "Invalid exposure curve floorShadow value...resetting\n"
                          "Invalid exposure curve floorHighlight value...resetting\n"
                          "Invalid JPEG Quality...resetting\n"
                          "Invalid highlight constraint threshold...resetting\n");
    EXPECT_EQ(s.iterationCount, 2);
    EXPECT_EQ(s.iteration1.mode, Maximum);
    EXPECT_EQ(s.iteration2.mode, Average);
    EXPECT_FLOAT_EQ(s.gamma, 2.2f);
    EXPECT_EQ(s.curve.contrast, 0.0f);
    EXPECT_EQ(s.curve.highlights, 0.0f);
    EXPECT_FLOAT_EQ(s.curve.floorShadow, 0.1f);
    EXPECT_FLOAT_EQ(s.curve.floorHighlight, 0.1f);
    EXPECT_EQ(s.jpegQuality, 90);
    EXPECT_FLOAT_EQ(s.highlightThreshold, 0.1f);
}

TEST_F(ValidateTest, BoundaryValuesAreValid)
{
    RunSettings& s = gSettings;
    s.iterationCount = 1;
    s.gamma = 0.5f;
    s.curve.contrast = -5.0f;
    s.curve.floorHighlight = 5.0f;
    s.jpegQuality = 1;
    s.highlightThreshold = 0.0f;
    EXPECT_EQ(validate(), "");
    s.gamma = 10.0f;
    s.jpegQuality = 100;
    s.highlightThreshold = 1.0f;
    EXPECT_EQ(validate(), "");
    s.gamma = 0.49f;
    s.jpegQuality = 0;
    s.highlightThreshold = -0.1f;
    EXPECT_EQ(validate(), "Invalid Gamma value...resetting\nInvalid JPEG Quality...resetting\n"
                          "Invalid highlight constraint threshold...resetting\n");
}

TEST_F(ValidateTest, NotANumberIsReset)
{
    gSettings.gamma = std::numeric_limits<float>::quiet_NaN();
    gSettings.curve.brightness = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(validate(), "Invalid Gamma value...resetting\nInvalid exposure curve brightness value...resetting\n");
    EXPECT_FLOAT_EQ(gSettings.gamma, 2.2f);
    EXPECT_EQ(gSettings.curve.brightness, 0.0f);
}

TEST(NormalizeWeights, RescalesToSumOne)
{
    IterationParams a{1.0f, 1.0f, 1.0f, Average};
    IterationParams b{2.0f, 0.0f, 0.0f, Average};
    EXPECT_EQ(normalizeWeights(a, b), 2);
    EXPECT_FLOAT_EQ(a.exposureWeight, 1.0f / 3.0f);
    EXPECT_FLOAT_EQ(a.saturationWeight, 1.0f / 3.0f);
    EXPECT_EQ(b.exposureWeight, 1.0f);
    EXPECT_EQ(normalizeWeights(a, b), a.contrastWeight + a.exposureWeight + a.saturationWeight == 1.0f ? 0 : 1);

    IterationParams exact{0.25f, 0.5f, 0.25f, Average};
    IterationParams exact2{0.0f, 0.0f, 1.0f, Average};
    EXPECT_EQ(normalizeWeights(exact, exact2), 0);
}

TEST_F(ValidateTest, ZeroOrNaNWeightsFallBackToDefaults)
{
    gSettings.iteration1 = {0.0f, 0.0f, 0.0f, Maximum};
    gSettings.iteration2 = {std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f, Average};
    EXPECT_EQ(validate(), "Invalid weights (must sum to 1 for each iteration)...resetting\n");
    EXPECT_EQ(gSettings.iteration1.contrastWeight, 1.0f);
    EXPECT_EQ(gSettings.iteration1.exposureWeight, 0.0f);
    EXPECT_EQ(gSettings.iteration2.exposureWeight, 1.0f);
    EXPECT_EQ(gSettings.iteration2.contrastWeight, 0.0f);
    for (float w : {gSettings.iteration1.exposureWeight, gSettings.iteration2.saturationWeight})
        EXPECT_FALSE(std::isnan(w));
}

TEST_F(ValidateTest, ReportShowsSettings)
{
    gSettings.outputPath = "out.tif";
    gSettings.levelCount = 7;
    testing::internal::CaptureStdout();
    printSettingsReport();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Output: out.tif\nInput Images: 0\nIterations: 2\nLevels: 7\n\n");

    gSettings.verbosity = 1;
    gSettings.iterationCount = 1;
    testing::internal::CaptureStdout();
    printSettingsReport();
    std::string verbose = testing::internal::GetCapturedStdout();
    EXPECT_NE(verbose.find("Exposure Diff Threshold: 0.33, Gamma=2.20\n"), std::string::npos);
    EXPECT_NE(verbose.find("Exposure curve params [b,c,s,h,sf,hf] = 0.00, 0.00, 0.00, 0.00, 0.10, 0.10\n\n"),
              std::string::npos);
    EXPECT_NE(verbose.find("  Fusion iteration 1: Not used\n  Fusion iteration 2:\n"
                           "    Weights (Exposure, Contrast, Saturation) = 1.00, 0.00, 0.00\n"
                           "    Laplacian combination mode=Average\n\n"),
              std::string::npos);
}

TEST(Banner, ExactText)
{
    testing::internal::CaptureStdout();
    printBanner();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "                             Quovix 1.60 (x64)\n\n");
}

} // namespace
