// What a run tells while it goes on and when it ends: the library's progress
// callback, the program's progress line and its closing summary.
#include "app/console_view.h"
#include "image_fixture.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Two 16-bit inputs of different brightness, so that both iterations run.
struct TwoInputs {
    TempDir dir;
    std::string a = dir.file("a.tif");
    std::string b = dir.file("b.tif");
    TwoInputs(int width = 40, int height = 30)
    {
        for (const std::string& path : {a, b}) {
            FixtureImage image = makeFixture(width, height, 3, 16);
            for (size_t i = 0; i < image.data.size(); ++i)
                image.data[i] = static_cast<uint8_t>((i * 7 + (path == a ? 0 : 90)) & 0xFF);
            EXPECT_TRUE(writeFixtureTiff(path, image));
        }
    }
};

TEST(Progress, LibraryReportsStagesAndAGrowingFraction)
{
    TwoInputs in;
    struct Report {
        std::string stage;
        double fraction;
    };
    for (int iterations : {1, 2}) {
        SCOPED_TRACE(iterations);
        std::vector<Report> reports;
        Options options = testOptions(in.dir.path());
        options.onMessage = nullptr;
        options.iterationCount = iterations;
        options.onProgress = [&reports](std::string_view stage, double fraction) {
            reports.push_back({std::string(stage), fraction});
        };
        const FuseResult result = fuse(options, {in.a, in.b}, in.dir.file("out.tif"));
        ASSERT_TRUE(result.ok()) << result.error;
        EXPECT_EQ(result.width, 40);
        EXPECT_EQ(result.height, 30);
        EXPECT_EQ(result.bitsPerSample, 16);
        ASSERT_GT(reports.size(), 4u);
        // Never backwards, 1 only at the very end.
        for (size_t i = 1; i < reports.size(); ++i)
            EXPECT_GE(reports[i].fraction, reports[i - 1].fraction) << i;
        EXPECT_EQ(reports.back().stage, "done");
        EXPECT_EQ(reports.back().fraction, 1.0);
        EXPECT_LT(reports[reports.size() - 2].fraction, 1.0);
        // Analysis first, fusion later, and fusion brings real progress.
        EXPECT_EQ(reports.front().stage, "analysing");
        const auto fusing = std::find_if(reports.begin(), reports.end(), [](const Report& r) { return r.stage == "fusing"; });
        ASSERT_NE(fusing, reports.end());
        EXPECT_GT(fusing->fraction, 0.2);
        EXPECT_GT(reports[reports.size() - 2].fraction, 0.9);
    }

    // A failed run never reports completion.
    std::vector<double> fractions;
    Options options = testOptions(in.dir.path());
    options.onMessage = nullptr;
    options.onProgress = [&fractions](std::string_view, double f) { fractions.push_back(f); };
    EXPECT_FALSE(fuse(options, {in.a, in.dir.file("missing.tif")}, in.dir.file("out2.tif")).ok());
    EXPECT_TRUE(fractions.empty() || fractions.back() < 1.0);
}

TEST(Progress, TimeLeftFromTheRateSoFar)
{
    EXPECT_EQ(timeLeft(0.5, 10000), "about 10 s left");
    EXPECT_EQ(timeLeft(0.25, 60000), "about 3 min 0 s left");
    EXPECT_EQ(timeLeft(0.9, 10500), "about 2 s left");  // rounded up
    EXPECT_EQ(timeLeft(0.01, 60000), "");                // too early to tell
    EXPECT_EQ(timeLeft(0.5, 300), "");
    EXPECT_EQ(timeLeft(1.0, 5000), "");
}

// The line sits after an unfinished console line, gives way to each piece of
// console text (erasing only itself) and comes back after it.
TEST(Progress, LineGivesWayToConsoleText)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        ConsoleView view(false, true, true);
        view.message(MessageKind::Info, "Analyzing a.tif");
        view.progress("analysing", 0.5);
        view.message(MessageKind::Info, ".\n");
        view.progress("fusing", 0.75);
        view.clearProgress();
        view.message(MessageKind::Info, "end\n");
    }
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Analyzing a.tif.\nend\n");
    EXPECT_EQ(err, "  [analysing 50%]\033[17D\033[Kanalysing 50%\033[13D\033[Kfusing 75%\033[10D\033[K");

    // Quiet: nothing at all; no terminal: no line.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        ConsoleView quiet(true, true, true);
        quiet.message(MessageKind::Info, "x\n");
        quiet.progress("analysing", 0.5);
        ConsoleView piped(false, false, false);
        piped.progress("analysing", 0.5);
        piped.message(MessageKind::Info, "y\n");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "y\n");
}

TEST(Progress, ProgramClosesWithOneSummaryLine)
{
    if (!fileExists(QUOVIX_BIN))
        GTEST_SKIP() << "quovix binary not built";
    TwoInputs in(300, 200);
    CommandResult r = runQuovix({"-o", "out.tif", "--compression", "NONE", "a.tif", "b.tif"}, in.dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const size_t last = r.output.rfind('\n', r.output.size() - 2) + 1;
    const std::string summary = r.output.substr(last);
    // 300 x 200 x 4 samples x 2 bytes, uncompressed: 0.48 MB and the tags.
    EXPECT_EQ(summary.rfind("Wrote out.tif: 300x200 pixels, 16 bits per sample, 0.5 MB, ", 0), 0u) << summary;
    EXPECT_EQ(summary.substr(summary.size() - 3), " s\n");

    // A preview run writes an 8-bit JPEG; -q leaves out the summary with
    // everything else.
    r = runQuovix({"--gScale", "0.5", "-a", "16", "-o", "small.jpg", "a.tif", "b.tif"}, in.dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Wrote small.jpg: 150x100 pixels, 8 bits per sample, "), std::string::npos) << r.output;
    r = runQuovix({"-q", "-o", "quiet.tif", "a.tif", "b.tif"}, in.dir.path());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "");
    EXPECT_TRUE(fileExists(in.dir.file("quiet.tif")));
}

} // namespace
