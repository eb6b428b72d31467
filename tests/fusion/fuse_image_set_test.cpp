#include "fusion/fuse_image_set.h"

#include "fusion/run_fixture.h"
#include "resource_limits.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>

namespace {

class FuseImageSetTest : public RunTest {
protected:
    // The prepared run's inputs, fused with the weights of its second iteration.
    Status fuseAll(CombineMode mode, const std::string& output, bool applyLevels = false)
    {
        const IterationParams& it = settings.iteration2;
        return fuseImageSet(run, run.images, run.depths.levelCount, it.contrastWeight, it.exposureWeight,
                            it.saturationWeight, mode, output, applyLevels);
    }

    std::string fuseQuietly(CombineMode mode, const std::string& output)
    {
        testing::internal::CaptureStdout();
        Status status = fuseAll(mode, output);
        std::string console = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(status.ok()) << status.consoleText();
        return console;
    }

    std::string scratchName(const std::string& source, const char* tag, int level)
    {
        return run.scratch.scratchName(source, tag, level);
    }
};

void expectSameImage(const FixtureImage& a, const FixtureImage& b, int tolerance = 0)
{
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    ASSERT_EQ(a.samples, b.samples);
    int worst = 0;
    for (size_t k = 0; k < a.data.size(); ++k)
        worst = std::max(worst, std::abs(int(a.data[k]) - int(b.data[k])));
    EXPECT_LE(worst, tolerance);
}

TEST_F(FuseImageSetTest, SingleImageFusesToItself)
{
    FixtureImage scene = makeScene(37, 29, 100);
    std::string in = writeInput("one.tif", scene);
    const std::string out = tmp_.file("out.tif");
    prepare({"-l", "4", "-o", out, in});
    std::string console = fuseQuietly(CombineMode::Maximum, out);
    EXPECT_NE(std::string::npos, console.find("Fusing 1 images:\n  " + in + ", exposure=")) << console;
    EXPECT_NE(std::string::npos, console.find("Collapsing....\nFinalizing...\nWriting " + out + "\n")) << console;

    FixtureImage fused = readFixtureTiff(out);
    ASSERT_EQ(4, fused.samples);
    ASSERT_EQ(8, fused.bits);
    for (int y = 0; y < scene.height; ++y) {
        for (int x = 0; x < scene.width; ++x) {
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(scene.at(y, x, c), fused.at(y, x, c)) << x << "," << y << "," << c;
            ASSERT_EQ(255, fused.at(y, x, 3));
        }
    }
    // Average and Hybrid (no -u) give the same result.
    fuseQuietly(CombineMode::Average, tmp_.file("avg.tif"));
    fuseQuietly(CombineMode::Hybrid, tmp_.file("hyb.tif"));
    expectSameImage(fused, readFixtureTiff(tmp_.file("avg.tif")));
    expectSameImage(fused, readFixtureTiff(tmp_.file("hyb.tif")));
}

TEST_F(FuseImageSetTest, DepthFollowsTheRunsOutputName)
{
    FixtureImage scene = makeScene(16, 12, 100, 16, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x)
            scene.at(y, x, 3) = 0; // an absent corner
    std::string in = writeInput("one.tif", scene);
    const std::string out = tmp_.file("photo.jpg.tif");
    prepare({"-l", "2", "-a", "16", "-o", out, in});
    fuseQuietly(CombineMode::Average, out);
    FixtureImage fused = readFixtureTiff(out);
    EXPECT_EQ(8, fused.bits); // the name holds ".jpg"

    // An intermediate file follows the run's output name, not its own.
    settings.outputPath = tmp_.file("final.tif");
    fuseQuietly(CombineMode::Average, tmp_.file("group.tif"));
    fused = readFixtureTiff(tmp_.file("group.tif"));
    ASSERT_EQ(16, fused.bits);
    EXPECT_EQ(0, fused.at(0, 0, 3));
    EXPECT_EQ(0, fused.at(3, 4, 3));
    EXPECT_EQ(65535, fused.at(3, 5, 3));
    EXPECT_EQ(65535, fused.at(11, 15, 3));
}

TEST_F(FuseImageSetTest, ExposureBlendingLevelsAndConstraintSchedule)
{
    std::string a = writeInput("a.tif", makeScene(40, 40, 60));
    std::string b = writeInput("b.tif", makeScene(40, 40, 110));
    const std::string out = tmp_.file("out.tif");
    prepare({"-l", "4", "-u", "2", "-v", "-o", out, a, b});
    const IterationParams& it = settings.iteration1;
    testing::internal::CaptureStdout();
    Status status = fuseImageSet(run, run.images, 4, it.contrastWeight, it.exposureWeight, it.saturationWeight,
                                 CombineMode::Maximum, out, false);
    std::string console = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(status.ok()) << status.consoleText();
    EXPECT_NE(std::string::npos, console.find("Collapsing.Exposure blending level: 3.Exposure blending level: 2.Constrain"))
        << console;
    // Levels 1 and 0 are constrained after collapsing, level 0 once more at the end.
    size_t constrained = 0;
    for (size_t at = console.find("Constrain: "); at != std::string::npos; at = console.find("Constrain: ", at + 1))
        ++constrained;
    EXPECT_EQ(3u, constrained) << console;
    EXPECT_EQ(std::string::npos, console.find("Exposure blending level: 1"));
}

TEST_F(FuseImageSetTest, DebugImagesForEveryLevel)
{
    std::string in = writeInput("one.tif", makeScene(20, 20, 100));
    const std::string out = tmp_.file("out.tif");
    prepare({"-l", "4", "-d", "-o", out, in});
    fuseQuietly(CombineMode::Average, out);
    for (int level = 0; level < 4; ++level) {
        EXPECT_TRUE(fileExists(scratchName("result_before_exp", "t", level))) << level;
        EXPECT_TRUE(fileExists(scratchName("result", "t", level))) << level;
        ASSERT_TRUE(fileExists(scratchName("avg_lapl", "l", level))) << level;
    }
    // The raw Laplacian holds the signed samples as they are: the finest level
    // of a textured image has negative detail, stored as values above 32767.
    FixtureImage lap = readFixtureTiff(scratchName("avg_lapl", "l", 0));
    ASSERT_EQ(16, lap.bits);
    ASSERT_EQ(4, lap.samples);
    ASSERT_EQ(20, lap.width);
    bool negative = false;
    for (size_t k = 0; k < lap.data.size(); k += 4)
        negative = negative || lap.data[k] > 32767;
    EXPECT_TRUE(negative);
    EXPECT_EQ(16384, lap.at(5, 5, 3));
    // The coarsest "before expansion" image is the zeroed previous result.
    FixtureImage before = readFixtureTiff(scratchName("result_before_exp", "t", 3));
    ASSERT_EQ(2, before.width); // 20 -> 10 -> 5 -> 3 -> 2
    for (uint16_t v : before.data)
        EXPECT_EQ(0, v);
}

// Noise does not compress: an output that needs far more than 8 KiB.
FixtureImage noiseScene(int width, int height)
{
    FixtureImage scene = makeScene(width, height, 100);
    std::mt19937 random(7);
    for (uint16_t& v : scene.data)
        v = static_cast<uint16_t>(random() & 255);
    return scene;
}

TEST_F(FuseImageSetTest, IncompleteOutputLeavesThePreviousFile)
{
    std::string in = writeInput("one.tif", noiseScene(160, 120));
    const std::string out = tmp_.file("out.tif");
    prepare({"-l", "3", "-o", out, in});
    writeFile(out, "previous output");
    Status status;
    testing::internal::CaptureStdout();
    {
        FileSizeCap cap(8192);
        ASSERT_TRUE(cap.applied());
        status = fuseAll(CombineMode::Average, out);
    }
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status.exitCode(), kExitIoError);
    EXPECT_EQ(status.consoleText(), "Error writing output file " + out + "\n");
    EXPECT_NE(console.find("Writing " + out + "\nError writing scanline "), std::string::npos) << console;
    EXPECT_EQ(readFile(out), "previous output");
    for (const auto& entry : std::filesystem::directory_iterator(tmp_.path()))
        EXPECT_EQ(entry.path().filename().string().find(".part-"), std::string::npos) << entry.path();
}

// A group result (any file but the run's output) that cannot be written
// completely ends the run, naming the file and the reason.
TEST_F(FuseImageSetTest, IncompleteIntermediateFileEndsTheRun)
{
    std::string in = writeInput("one.tif", noiseScene(160, 120));
    const std::string out = tmp_.file("out.tif");
    prepare({"-l", "3", "-o", out, in});
    const std::string group = tmp_.file("group.tif");
    Status status;
    testing::internal::CaptureStdout();
    {
        FileSizeCap cap(8192);
        ASSERT_TRUE(cap.applied());
        status = fuseAll(CombineMode::Average, group);
    }
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status.exitCode(), kExitIoError);
    EXPECT_EQ(status.consoleText(), "Cannot write TIFF file " + group + ": " + std::strerror(EFBIG) + "\n");
    EXPECT_EQ(status.unwrittenFile(), group);
    // The last lines: the file named, then the row that failed.
    const std::string head = "Writing " + group + "\nError writing scanline ";
    const size_t at = console.rfind(head);
    ASSERT_NE(at, std::string::npos) << console;
    const std::string row = console.substr(at + head.size());
    EXPECT_TRUE(std::regex_match(row, std::regex("[0-9]+\n"))) << console;
    EXPECT_FALSE(fileExists(out));
}

TEST_F(FuseImageSetTest, OutputFolderThatCannotBeWritten)
{
    std::string in = writeInput("one.tif", makeScene(8, 8, 100));
    // The folder is there when the run starts and gone when the result is written.
    const std::string out = tmp_.file("missing/out.tif");
    std::filesystem::create_directories(tmp_.file("missing"));
    prepare({"-l", "2", "-o", out, in});
    std::filesystem::remove(tmp_.file("missing"));
    testing::internal::CaptureStdout();
    Status status = fuseAll(CombineMode::Average, out);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status.exitCode(), kExitIoError);
    EXPECT_EQ(status.consoleText(), "Cannot open TIFF file for w: " + out);
    const std::string tail = "Writing " + out + "\nCouldn't open TIFF file: " + out;
    ASSERT_GE(console.size(), tail.size()) << console;
    EXPECT_EQ(console.substr(console.size() - tail.size()), tail) << console;
}

// The pyramid work is spread over the run's workers; the result must not
// depend on how many there are.
TEST_F(FuseImageSetTest, SameOutputForAnyWorkerCount)
{
    std::string a = writeInput("a.tif", makeScene(90, 230, 70));
    std::string b = writeInput("b.tif", makeScene(90, 230, 120));
    std::string expected;
    for (int workers : {1, 2, 3, 8}) {
        const std::string out = tmp_.file("out" + std::to_string(workers) + ".tif");
        prepare({"-l", "5", "-c", "--wSaturation", "0.2", "-o", out, a, b}, workers);
        ASSERT_EQ(run.pool.workers(), workers);
        fuseQuietly(CombineMode::Maximum, out);
        const std::string fused = readFile(out);
        ASSERT_FALSE(fused.empty());
        if (expected.empty())
            expected = fused;
        else
            EXPECT_TRUE(fused == expected) << workers << " workers";
    }
}

TEST_F(FuseImageSetTest, ConsoleOrderWithColourConversionAndLevels)
{
    std::string in = writeInput("one.tif", makeScene(12, 10, 100));
    const std::string out = tmp_.file("out.tif");
    prepare({"-l", "3", "-c", "--gLevelsWP", "1", "-o", out, in});
    testing::internal::CaptureStdout();
    Status status = fuseAll(CombineMode::Average, out, true);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(status.ok()) << status.consoleText();
    const std::string head = "Fusing 1 images:\n  " + in + ", exposure=";
    ASSERT_EQ(head, console.substr(0, head.size())) << console;
    const size_t rest = console.find('\n', head.size());
    ASSERT_NE(std::string::npos, rest);
    EXPECT_EQ("\nCollapsing...\nFinalizing...\n.\nPerforming levels adjustment: bp=0.00 wp1.00 f=1.00 w=0.50\n"
              "Writing " + out + "\n",
              console.substr(rest))
        << console;
}

} // namespace
