#include "fusion/settings_check.h"
#include "image_fixture.h"
#include "test_util.h"

#include "quovix/version.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

class ValidateTest : public FreshSettingsTest {
protected:
    std::string validate()
    {
        testing::internal::CaptureStdout();
        validateSettings(run);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(ValidateTest, DefaultsPassSilently)
{
    EXPECT_EQ(validate(), "");
    EXPECT_EQ(settings.iterationCount, 2);
    EXPECT_EQ(settings.iteration1.mode, CombineMode::Maximum);
    EXPECT_FLOAT_EQ(settings.gamma, 2.2f);
}

TEST_F(ValidateTest, EveryResetInOrder)
{
    RunSettings& s = settings;
    s.iterationCount = 3;
    s.iteration1.mode = static_cast<CombineMode>(5);
    s.iteration2.mode = static_cast<CombineMode>(7);
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
    EXPECT_EQ(s.iteration1.mode, CombineMode::Maximum);
    EXPECT_EQ(s.iteration2.mode, CombineMode::Average);
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
    RunSettings& s = settings;
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
    settings.gamma = std::numeric_limits<float>::quiet_NaN();
    settings.curve.brightness = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(validate(), "Invalid Gamma value...resetting\nInvalid exposure curve brightness value...resetting\n");
    EXPECT_FLOAT_EQ(settings.gamma, 2.2f);
    EXPECT_EQ(settings.curve.brightness, 0.0f);
}

TEST(NormalizeWeights, RescalesToSumOne)
{
    IterationParams a{1.0f, 1.0f, 1.0f, CombineMode::Average};
    IterationParams b{2.0f, 0.0f, 0.0f, CombineMode::Average};
    EXPECT_EQ(normalizeWeights(a, b), 2);
    EXPECT_FLOAT_EQ(a.exposureWeight, 1.0f / 3.0f);
    EXPECT_FLOAT_EQ(a.saturationWeight, 1.0f / 3.0f);
    EXPECT_EQ(b.exposureWeight, 1.0f);
    EXPECT_EQ(normalizeWeights(a, b), a.contrastWeight + a.exposureWeight + a.saturationWeight == 1.0f ? 0 : 1);

    IterationParams exact{0.25f, 0.5f, 0.25f, CombineMode::Average};
    IterationParams exact2{0.0f, 0.0f, 1.0f, CombineMode::Average};
    EXPECT_EQ(normalizeWeights(exact, exact2), 0);
}

TEST_F(ValidateTest, ZeroOrNaNWeightsFallBackToDefaults)
{
    settings.iteration1 = {0.0f, 0.0f, 0.0f, CombineMode::Maximum};
    settings.iteration2 = {std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f, CombineMode::Average};
    EXPECT_EQ(validate(), "Invalid weights (must sum to 1 for each iteration)...resetting\n");
    EXPECT_EQ(settings.iteration1.contrastWeight, 1.0f);
    EXPECT_EQ(settings.iteration1.exposureWeight, 0.0f);
    EXPECT_EQ(settings.iteration2.exposureWeight, 1.0f);
    EXPECT_EQ(settings.iteration2.contrastWeight, 0.0f);
    for (float w : {settings.iteration1.exposureWeight, settings.iteration2.saturationWeight})
        EXPECT_FALSE(std::isnan(w));
}

TEST_F(ValidateTest, ReportShowsSettings)
{
    settings.outputPath = "out.tif";
    run.depths.levelCount = 7;
    testing::internal::CaptureStdout();
    printSettingsReport(run);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Output: out.tif\nInput Images: 0\nIterations: 2\nLevels: 7\n\n");

    settings.verbosity = 1;
    settings.iterationCount = 1;
    testing::internal::CaptureStdout();
    printSettingsReport(run);
    std::string verbose = testing::internal::GetCapturedStdout();
    EXPECT_NE(verbose.find("Exposure Diff Threshold: 0.33, Gamma=2.20\n"), std::string::npos);
    EXPECT_NE(verbose.find("Exposure curve params [b,c,s,h,sf,hf] = 0.00, 0.00, 0.00, 0.00, 0.10, 0.10\n\n"),
              std::string::npos);
    EXPECT_NE(verbose.find("  Fusion iteration 1: Not used\n  Fusion iteration 2:\n"
                           "    Weights (Exposure, Contrast, Saturation) = 1.00, 0.00, 0.00\n"
                           "    Laplacian combination mode=Average\n\n"),
              std::string::npos);
}

// The banner is the program's, printed before anything else, even before the
// version text.
TEST(Banner, ExactText)
{
    ASSERT_TRUE(fileExists(QUOVIX_BIN)) << "the program is built before its tests";
    const CommandResult r = runQuovix({"-V"});
    EXPECT_EQ(r.exitCode, 0);
    // The banner names the platform the program was built for.
#if defined(__aarch64__)
    const std::string platform = "arm64";
#else
    const std::string platform = "x64";
#endif
    const std::string head =
        "                             Quovix " QUOVIX_VERSION " (" + platform + ")\n\nQuovix " QUOVIX_VERSION "\n";
    EXPECT_EQ(r.output.compare(0, head.size(), head), 0) << r.output;
    EXPECT_STREQ(versionString(), "Quovix " QUOVIX_VERSION);
}

// A whole run: banner, then the validation messages, the curve print and the
// report in that order, and the elapsed-time line last, labelled with the
// program path as it was given.
TEST(EntrySequence, OutputOrderAndElapsedLine)
{
    if (!fileExists(QUOVIX_BIN))
        GTEST_SKIP() << "quovix binary not built";
    TempDir dir;
    FixtureImage flat = makeFixture(8, 8, 3, 8);
    std::fill(flat.data.begin(), flat.data.end(), 100);
    ASSERT_TRUE(writeFixtureTiff(dir.file("a.tif"), flat));
    ASSERT_TRUE(writeFixtureTiff(dir.file("b.tif"), flat));

    CommandResult r = runQuovix({"-dt", "-C", "-p", "3", "--wMode2", "7", "-k", "11", "-l", "2", "-o", "out.tif",
                                 "a.tif", "b.tif"},
                                dir.path(), {"TMPDIR=" + dir.path()});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const std::string head = programBanner() +
                             "Invalid iteration count...resetting to 2\n"
                             "Invalid laplacian combination mode 2...resetting\n"
                             "Invalid Gamma value...resetting\n"
                             "exposure: 0 -> weight: ";
    EXPECT_EQ(r.output.compare(0, head.size(), head), 0) << r.output.substr(0, 400);
    const size_t chart = r.output.find("\nURL For Exposure Curve Chart:\n");
    const size_t report = r.output.find("Output: out.tif\nInput Images: 2\nIterations: 2\nLevels: 2\n\n");
    ASSERT_NE(chart, std::string::npos);
    ASSERT_NE(report, std::string::npos);
    EXPECT_LT(chart, report);

    // The closing summary (on standard error) comes last; the elapsed line
    // just before it.
    const size_t summary = r.output.rfind('\n', r.output.size() - 2) + 1;
    EXPECT_EQ(r.output.compare(summary, 22, "Wrote out.tif: 8x8 pix"), 0) << r.output.substr(summary);
    const size_t lastLine = r.output.rfind('\n', summary - 2) + 1;
    const std::string tail = r.output.substr(lastLine, summary - lastLine);
    const std::string label = std::string(QUOVIX_BIN) + ":  Elapsed time=";
    ASSERT_EQ(tail.compare(0, label.size(), label), 0) << tail;
    // Seconds with two decimals, then " secs".
    const std::string seconds = tail.substr(label.size());
    const size_t point = seconds.find('.');
    ASSERT_NE(point, std::string::npos) << tail;
    EXPECT_GT(point, 0u);
    EXPECT_EQ(seconds.find_first_not_of("0123456789"), point) << tail;
    EXPECT_EQ(seconds.substr(point + 1), seconds.substr(point + 1, 2) + " secs\n") << tail;
    EXPECT_EQ(seconds.substr(point + 1, 2).find_first_not_of("0123456789"), std::string::npos) << tail;
    EXPECT_TRUE(fileExists(dir.file("out.tif")));
}

} // namespace
