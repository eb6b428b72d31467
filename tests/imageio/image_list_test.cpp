#include "imageio/image_types.h"

#include "support/memory.h"
#include "support/scratch_files.h"
#include "support/settings.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <set>

namespace {

class ImageListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSettings();
        resetResourceCounters();
        setenv("TMPDIR", dir.path().c_str(), 1);
        resetScratchFolders();
    }
    void TearDown() override
    {
        resetSettings();
        unsetenv("TMPDIR");
        resetScratchFolders();
    }
    TempDir dir;
};

TEST_F(ImageListTest, CopiesPrintAtEachVerbosity)
{
    ImageList inputs = createImageList(3);
    EXPECT_EQ(inputs.last, -1);
    EXPECT_EQ(inputs.count(), 0);
    appendImage(inputs, "/p/a.tif", TypeInput, ScaleFull);
    appendImage(inputs, "/p/b.jpg", TypeInput, ScaleFull);
    inputs.exposure[0] = 6400.0;
    inputs.group[0] = 2;
    inputs.exposure[1] = 100.0;
    inputs.type[1] = TypePreviewCache;
    inputs.scale[1] = ScaleScaled;

    ImageList copy = createImageList(2);
    appendImageCopy(copy, inputs, 1);
    appendImageCopy(copy, inputs, 0);
    EXPECT_EQ(copy.count(), 2);
    EXPECT_STREQ(copy.paths[0], "/p/b.jpg");
    EXPECT_EQ(copy.exposure[1], 6400.0);
    EXPECT_EQ(copy.group[1], 2u);
    EXPECT_EQ(copy.type[0], TypePreviewCache);
    EXPECT_EQ(copy.scale[0], ScaleScaled);

    const char* expected[4] = {
        "  /p/b.jpg\n  /p/a.tif\n",
        "  /p/b.jpg, exposure=1.56\n  /p/a.tif, exposure=100.00\n",
        "  /p/b.jpg, exposure=1.56\n  /p/a.tif, exposure=100.00, group 2\n",
        "  /p/b.jpg, exposure=1.56, type: Preview Cache, scale: Scaled\n"
        "  /p/a.tif, exposure=100.00, group 2, type: Input, scale: Full\n",
    };
    for (int v = 0; v < 4; ++v) {
        testing::internal::CaptureStdout();
        printImageList(copy, v);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected[v]) << v;
    }
    releaseImageList(copy);
    releaseImageList(inputs);
    EXPECT_EQ(inputs.paths, nullptr);
}

TEST_F(ImageListTest, OverflowsEndTheRun)
{
    ImageList a = createImageList(1);
    appendImage(a, "x.tif", TypeInput, ScaleFull);
    ImageList b = createImageList(1);
    EXPECT_EXIT(
        {
            std::fflush(stdout);
            dup2(2, 1);
            appendImageCopy(a, a, 0);
        },
        ::testing::ExitedWithCode(1), "^Fatal Error: Error: Dest file index error\n\n$");
    EXPECT_EXIT(
        {
            std::fflush(stdout);
            dup2(2, 1);
            appendImageCopy(b, a, 1);
        },
        ::testing::ExitedWithCode(1), "^Fatal Error: Error: Source file index error\n\n$");
    releaseImageList(a);
    releaseImageList(b);
}

TEST_F(ImageListTest, LongPathsAreKeptWholeAndEveryBlockIsReleased)
{
    gSettings.traceResources = true;
    testing::internal::CaptureStdout();
    ImageList list = createImageList(2);
    std::string longPath = "/" + std::string(600, 'q') + ".tif";
    appendImage(list, longPath, TypeInput, ScaleFull);
    ImageList copy = createImageList(1);
    appendImageCopy(copy, list, 0);
    EXPECT_EQ(std::string(copy.paths[0]), longPath);
    releaseImageList(copy);
    releaseImageList(list);
    std::string out = testing::internal::GetCapturedStdout();
    gSettings.traceResources = false;

    // Every traced allocation is released exactly once.
    std::regex alloc("Mem\\|\\d+\\|alloc\\|(0x[0-9a-f]+)\\|"), freed("Mem\\|\\d+\\|free\\|(0x[0-9a-f]+)\n");
    std::multiset<std::string> allocated, released;
    for (std::sregex_iterator it(out.begin(), out.end(), alloc), end; it != end; ++it)
        allocated.insert((*it)[1]);
    for (std::sregex_iterator it(out.begin(), out.end(), freed), end; it != end; ++it)
        released.insert((*it)[1]);
    EXPECT_EQ(allocated.size(), 3u + 5 + 2 + 5);  // path buffers (+1 long), arrays of two lists
    EXPECT_EQ(allocated, released);
}

TEST_F(ImageListTest, RemoveLevelScratchRemovesOnlyLevelFiles)
{
    ImageList list = createImageList(2);
    appendImage(list, "/in/a.tif", TypeInput, ScaleFull);
    appendImage(list, "/in/b.tif", TypeInput, ScaleFull);
    std::vector<std::string> removed, kept;
    for (int level = 0; level < 3; ++level) {
        for (const char* path : {"/in/a.tif", "/in/b.tif"}) {
            for (const char* tag : {"l", "e", "c", "s"}) {
                writeFile(scratchName(path, tag, level), "x");
                (level < 2 ? removed : kept).push_back(scratchName(path, tag, level));
            }
            writeFile(scratchName(path, "g", level), "debug");
            kept.push_back(scratchName(path, "g", level));
        }
    }
    std::remove(scratchName("/in/b.tif", "s", 1).c_str());  // a missing file is passed over
    removeLevelScratch(list, 2);
    for (const auto& p : removed)
        EXPECT_FALSE(fileExists(p)) << p;
    for (const auto& p : kept)
        EXPECT_TRUE(fileExists(p)) << p;
    releaseImageList(list);
}

} // namespace
