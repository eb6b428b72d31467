#include "fusion/fusion_driver.h"

#include "fusion/run_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

class GroupingTest : public FreshSettingsTest {
protected:
    ImageList& make(const std::vector<double>& exposures)
    {
        createImageList(static_cast<int>(exposures.size()), list_);
        for (size_t i = 0; i < exposures.size(); ++i) {
            EXPECT_TRUE(appendImage(list_, "/in/" + std::to_string(i) + ".tif", TypeInput, ScaleFull).ok());
            list_.entries[i].exposure = exposures[i];
        }
        return list_;
    }
    int group(const std::vector<double>& exposures) { return groupSimilarExposures(run, make(exposures)); }
    std::vector<int> groups() const
    {
        std::vector<int> ids;
        for (int i = 0; i < list_.count(); ++i)
            ids.push_back(static_cast<int>(list_[i].group));
        return ids;
    }
    ImageList list_;
};

TEST_F(GroupingTest, GroupsStartAtTheirDarkestMember)
{
    EXPECT_EQ(2, group({100, 110, 120, 200, 400, 410}));
    EXPECT_EQ((std::vector<int>{1, 1, 1, 0, 2, 2}), groups());
    // Same exposures in another order: the walk follows exposure, not index.
    EXPECT_EQ(2, group({410, 200, 100, 400, 120, 110}));
    EXPECT_EQ((std::vector<int>{2, 0, 1, 2, 1, 1}), groups());
    // Compared with the anchor, not the neighbour: 150 / 100 - 1 = 0.5.
    EXPECT_EQ(1, group({100, 125, 150}));
    EXPECT_EQ((std::vector<int>{1, 1, 0}), groups());
    EXPECT_EQ(0, group({100, 200, 400}));
    EXPECT_EQ((std::vector<int>{0, 0, 0}), groups());
    EXPECT_EQ(0, group({}));
}

TEST_F(GroupingTest, VerboseGroupingMessages)
{
    settings.verbosity = 1;
    testing::internal::CaptureStdout();
    group({100, 105, 300, 310});
    EXPECT_EQ("  Similar...assigning group ID 1\n  Similar...assigning group ID 2\n",
              testing::internal::GetCapturedStdout());
}

TEST_F(GroupingTest, EqualAndZeroExposures)
{
    EXPECT_EQ(1, group({100, 100, 100}));
    EXPECT_EQ((std::vector<int>{1, 1, 1}), groups());
    EXPECT_EQ(1, group({0, 0}));
    EXPECT_EQ(0, group({0, 5}));
    // Zero exposures are similar to each other at any threshold.
    settings.exposureThreshold = -1.0f;
    EXPECT_EQ(1, group({0, 0, 7}));
    EXPECT_EQ((std::vector<int>{1, 1, 0}), groups());
}

TEST_F(GroupingTest, WalkEndsWhenEqualExposuresAreNotSimilar)
{
    // At a threshold of 0 or below, or NaN, equal exposures are not similar;
    // the walk must still end, with nothing grouped.
    for (float threshold : {0.0f, -0.5f, std::nanf("")}) {
        settings.exposureThreshold = threshold;
        EXPECT_EQ(0, group({100, 100, 50, 100, 50}));
        EXPECT_EQ((std::vector<int>{0, 0, 0, 0, 0}), groups()) << threshold;
    }
}

TEST_F(GroupingTest, NextBrighterAndSimilarity)
{
    ImageList& list = make({200, 100, 100, 150});
    list[2].group = 1;
    EXPECT_EQ(1, nextBrighter(list, -1));  // darkest ungrouped
    EXPECT_EQ(3, nextBrighter(list, 1));
    EXPECT_EQ(0, nextBrighter(list, 3));
    EXPECT_EQ(-1, nextBrighter(list, 0));
    list[2].group = 0;
    EXPECT_EQ(2, nextBrighter(list, 1));   // an equal exposure qualifies
    EXPECT_EQ(1, nextBrighter(list, 2));
    EXPECT_EQ(-1, nextBrighter(make({0, 100000}), 0)); // only differences below 99999

    EXPECT_FALSE(exposuresSimilar(0.5f, 100, 150)); // strictly above the ratio
    EXPECT_TRUE(exposuresSimilar(0.5f, 149, 100));
    EXPECT_TRUE(exposuresSimilar(0.5f, 0, 0));
    EXPECT_FALSE(exposuresSimilar(0.5f, 0, 5));
    EXPECT_TRUE(exposuresSimilar(0.0f, 0, 0));     // zero exposures at any threshold
    EXPECT_FALSE(exposuresSimilar(0.0f, 100, 100));
}

// The grouping walk exactly as described: next brighter from the current
// image, with no guard against revisiting. Returns -2 when it has not ended
// after many steps (equal exposures that are not similar).
int plainWalk(float threshold, std::vector<double> exposure, std::vector<unsigned>& group, std::string& messages)
{
    const int n = static_cast<int>(exposure.size());
    group.assign(n, 0);
    auto next = [&](int k) {
        const double r = (k >= 0 && k <= n - 1) ? exposure[k] : 0.0;
        double best = 99999;
        int found = -1;
        for (int i = 0; i < n; ++i) {
            if (i == k || group[i] != 0)
                continue;
            const double d = exposure[i] - r;
            if (d >= 0 && d < best) {
                best = d;
                found = i;
            }
        }
        return found;
    };
    auto similar = [threshold](double a, double b) {
        if (a == 0 && b == 0)
            return true;
        const double hi = std::max(a, b), lo = std::min(a, b);
        return static_cast<double>(threshold) > hi / lo - 1;
    };
    int index = next(-1);
    if (index == -1)
        return 0;
    unsigned id = 1;
    bool open = false;
    int anchor = index;
    for (int steps = 0; index >= 0; ++steps) {
        if (steps > 100 * (n + 1))
            return -2;
        const int following = next(index);
        if (following >= 0) {
            if (similar(exposure[anchor], exposure[following])) {
                messages += "  Similar...assigning group ID " + std::to_string(id) + "\n";
                group[index] = id;
                group[following] = id;
                open = true;
            } else {
                if (open)
                    ++id;
                open = false;
                anchor = following;
            }
        }
        index = following;
    }
    return static_cast<int>(open ? id : id - 1);
}

TEST_F(GroupingTest, AgreesWithThePlainWalkWheneverItEnds)
{
    // Small pools of exposures make equal values, near-threshold ratios, zero
    // and steps beyond the 99999 search limit common.
    const double pool[] = {0, 0, 50, 100, 100, 110, 125, 132.9, 133, 150, 99998, 100099, 100100, 230000};
    const float thresholds[] = {0.33f, 0.1f, 0.5f, 1.0f, 0.0f, -0.5f, std::nanf("")};
    std::mt19937 random(99);
    settings.verbosity = 1;
    int compared = 0, endless = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        settings.exposureThreshold = thresholds[random() % 7];
        std::vector<double> exposures(random() % 8 + 1);
        for (double& e : exposures)
            e = pool[random() % 14];
        std::vector<unsigned> expectedGroups;
        std::string expectedMessages;
        const int expected = plainWalk(settings.exposureThreshold, exposures, expectedGroups, expectedMessages);
        testing::internal::CaptureStdout();
        const int count = group(exposures);
        const std::string messages = testing::internal::GetCapturedStdout();
        if (expected == -2) {
            ++endless;
            continue;
        }
        ++compared;
        ASSERT_EQ(expected, count) << "trial " << trial;
        for (size_t i = 0; i < exposures.size(); ++i)
            ASSERT_EQ(expectedGroups[i], list_[i].group) << "trial " << trial << " entry " << i;
        ASSERT_EQ(expectedMessages, messages) << "trial " << trial;
    }
    EXPECT_GT(compared, 2000);
    EXPECT_GT(endless, 50); // the walk above really does loop in such cases
}

class FusionDriverTest : public RunTest {
protected:
    // Three inputs of one scene; exposures are then set as the grouping needs.
    void prepareThree(const std::vector<std::string>& options, const std::vector<double>& exposures)
    {
        std::vector<std::string> args = options;
        for (int i = 0; i < 3; ++i)
            args.push_back(writeInput("in" + std::to_string(i) + ".tif", makeScene(30, 24, 70 + 20 * i)));
        prepare(args);
        for (int i = 0; i < 3; ++i)
            run.images[i].exposure = exposures[static_cast<size_t>(i)];
    }
    // Runs the iterations; returns what was printed.
    std::string fuse(Status& status)
    {
        testing::internal::CaptureStdout();
        status = runFusion(run);
        return testing::internal::GetCapturedStdout();
    }
    std::string fuse()
    {
        Status status;
        std::string console = fuse(status);
        EXPECT_TRUE(status.ok()) << status.consoleText();
        return console;
    }
    bool runFolderEmpty() { return std::filesystem::is_empty(run.scratch.runFolder()); }
};

TEST_F(FusionDriverTest, OneGroupIsTheOutput)
{
    const std::string out = tmp_.file("out.tif");
    writeFile(out, "older file");
    prepareThree({"-l", "3", "--gLevelsBP", "0.1", "-o", out}, {100, 101, 102});
    std::string console = fuse();
    const size_t levels = console.find("Performing levels adjustment: bp=0.10");
    const size_t shortcut = console.find("Iteration 2: No images remain to be fused\n");
    ASSERT_NE(std::string::npos, levels) << console;
    ASSERT_NE(std::string::npos, shortcut) << console;
    EXPECT_LT(levels, shortcut); // applied within the group's fusion
    EXPECT_EQ(std::string::npos, console.find("Iteration 2: 1 images"));
    EXPECT_EQ(30, readFixtureTiff(out).width);
    EXPECT_TRUE(runFolderEmpty());
}

TEST_F(FusionDriverTest, OneGroupMovedAcrossFileSystems)
{
    // The scratch folder and the output on different file systems: the group
    // result is copied beside the output and renamed into place.
    char pattern[] = "/dev/shm/quovix-out-XXXXXX";
    if (!std::filesystem::is_directory("/dev/shm") || mkdtemp(pattern) == nullptr)
        GTEST_SKIP() << "no second file system";
    const std::string folder = pattern;
    const std::string out = folder + "/out.tif";
    prepareThree({"-l", "2", "-o", out}, {100, 101, 102});
    fuse();
    EXPECT_EQ(30, readFixtureTiff(out).width);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(std::vector<std::string>{"out.tif"}, names);
    EXPECT_TRUE(runFolderEmpty());
    std::filesystem::remove_all(folder);
}

TEST_F(FusionDriverTest, OneGroupWithNowhereToGo)
{
    // The folder is there when the run starts and gone when the result is moved.
    const std::string out = tmp_.file("missing/out.tif");
    std::filesystem::create_directories(tmp_.file("missing"));
    prepareThree({"-l", "2", "-o", out}, {100, 101, 102});
    std::filesystem::remove(tmp_.file("missing"));
    Status status;
    const std::string console = fuse(status);
    // The group was fused; only putting it in place failed, and the run ends.
    EXPECT_NE(std::string::npos, console.find("Iteration 1: 3 images remain to be fused in 1 groups\n")) << console;
    const std::string shortcut = "Iteration 2: No images remain to be fused\n";
    ASSERT_GE(console.size(), shortcut.size());
    EXPECT_EQ(shortcut, console.substr(console.size() - shortcut.size())) << console;
    EXPECT_EQ(kExitIoError, status.exitCode());
    EXPECT_EQ("Error writing output file " + out + ": No such file or directory\n", status.consoleText());
    EXPECT_FALSE(fileExists(out));
}

TEST_F(FusionDriverTest, JpegNamedOutputIsReencoded)
{
    const std::string out = tmp_.file("result.JPG");
    prepareThree({"-l", "3", "-a", "16", "-o", out}, {100, 200, 400});
    fuse();
    std::string bytes = readFile(out);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ('\xFF', bytes[0]);
    EXPECT_EQ('\xD8', bytes[1]);

    // Only the four spellings count: result.Jpg stays a TIFF.
    const std::string mixed = tmp_.file("result.Jpg");
    prepareThree({"-l", "3", "-o", mixed}, {100, 200, 400});
    fuse();
    EXPECT_EQ(30, readFixtureTiff(mixed).width);
}

} // namespace
