#include "imageio/image_list.h"

#include "analysis/analyse_images.h"
#include "image_samples.h"
#include "support/memory.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>

namespace {

using samples::failedWith;

class ImageListTest : public FreshSettingsTest {
protected:
    ImageList listOf(int32_t capacity)
    {
        ImageList list;
        EXPECT_TRUE(createImageList(run.console, capacity, list).ok());
        return list;
    }
    void append(ImageList& list, const std::string& path, int32_t type, int32_t scale, const ImageInfo& info = {})
    {
        Status status = appendImage(list, path, type, scale, info);
        EXPECT_TRUE(status.ok()) << status.consoleText();
    }
};

// The traced allocations and releases of a piece of console output.
struct TracedBlocks {
    std::multiset<std::string> allocated, released;
};

TracedBlocks tracedBlocks(const std::string& out)
{
    TracedBlocks blocks;
    std::regex alloc("Mem\\|\\d+\\|alloc\\|(0x[0-9a-f]+)\\|"), freed("Mem\\|\\d+\\|free\\|(0x[0-9a-f]+)\n");
    for (std::sregex_iterator it(out.begin(), out.end(), alloc), end; it != end; ++it)
        blocks.allocated.insert((*it)[1]);
    for (std::sregex_iterator it(out.begin(), out.end(), freed), end; it != end; ++it)
        blocks.released.insert((*it)[1]);
    return blocks;
}

TEST_F(ImageListTest, CopiesPrintAtEachVerbosity)
{
    ImageList inputs = listOf(3);
    EXPECT_EQ(inputs.last, -1);
    EXPECT_EQ(inputs.count(), 0);
    EXPECT_EQ(inputs.capacity, 3);
    ImageInfo jpegInfo;
    jpegInfo.known = true;
    jpegInfo.format = FileFormat::Jpeg;
    jpegInfo.region = ImageRegion{0, 0, 40, 30};
    jpegInfo.bytesPerPixel = 3;
    jpegInfo.bitsPerSample = 8;
    append(inputs, "/p/a.tif", TypeInput, ScaleFull);
    append(inputs, "/p/b.jpg", TypeInput, ScaleFull, jpegInfo);
    inputs.exposure[0] = 6400.0;
    inputs.group[0] = 2;
    inputs.exposure[1] = 100.0;
    inputs.type[1] = TypePreviewCache;
    inputs.scale[1] = ScaleScaled;

    ImageList copy = listOf(2);
    ASSERT_TRUE(appendImageCopy(copy, inputs, 1).ok());
    ASSERT_TRUE(appendImageCopy(copy, inputs, 0).ok());
    EXPECT_EQ(copy.count(), 2);
    EXPECT_STREQ(copy.paths[0], "/p/b.jpg");
    EXPECT_EQ(copy.exposure[1], 6400.0);
    EXPECT_EQ(copy.group[1], 2u);
    EXPECT_EQ(copy.type[0], TypePreviewCache);
    EXPECT_EQ(copy.scale[0], ScaleScaled);
    // The classification travels with the entry.
    EXPECT_TRUE(copy.info[0].known);
    EXPECT_EQ(copy.info[0].format, FileFormat::Jpeg);
    EXPECT_EQ(copy.info[0].region.width, 40);
    EXPECT_EQ(copy.info[0].bytesPerPixel, 3);
    EXPECT_FALSE(copy.info[1].known);

    const char* expected[4] = {
        "  /p/b.jpg\n  /p/a.tif\n",
        "  /p/b.jpg, exposure=1.56\n  /p/a.tif, exposure=100.00\n",
        "  /p/b.jpg, exposure=1.56\n  /p/a.tif, exposure=100.00, group 2\n",
        "  /p/b.jpg, exposure=1.56, type: Preview Cache, scale: Scaled\n"
        "  /p/a.tif, exposure=100.00, group 2, type: Input, scale: Full\n",
    };
    for (int v = 0; v < 4; ++v) {
        testing::internal::CaptureStdout();
        printImageList(run.console, copy, v);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected[v]) << v;
    }
    releaseImageList(copy);
    releaseImageList(inputs);
    EXPECT_EQ(inputs.paths, nullptr);
    EXPECT_EQ(inputs.count(), 0);
    EXPECT_TRUE(inputs.info.empty());
}

TEST_F(ImageListTest, OverflowsEndTheRun)
{
    ImageList a = listOf(1);
    append(a, "x.tif", TypeInput, ScaleFull);
    ImageList b = listOf(1);
    EXPECT_TRUE(failedWith(appendImageCopy(a, a, 0), 1, "Fatal Error: Error: Dest file index error\n\n"));
    EXPECT_TRUE(failedWith(appendImage(a, "y.tif", TypeInput, ScaleFull), 1,
                           "Fatal Error: Error: Dest file index error\n\n"));
    EXPECT_TRUE(failedWith(appendImageCopy(b, a, 1), 1, "Fatal Error: Error: Source file index error\n\n"));
    EXPECT_TRUE(failedWith(appendImageCopy(b, a, -1), 1, "Fatal Error: Error: Source file index error\n\n"));
    // A refused append changes nothing.
    EXPECT_EQ(a.count(), 1);
    EXPECT_STREQ(a.paths[0], "x.tif");
    EXPECT_EQ(b.count(), 0);
}

TEST_F(ImageListTest, LongPathsAreKeptWholeAndEveryBlockIsReleased)
{
    run.console.setTracing(true);
    testing::internal::CaptureStdout();
    ImageList list = listOf(2);
    std::string longPath = "/" + std::string(600, 'q') + ".tif";
    append(list, longPath, TypeInput, ScaleFull);
    ImageList copy = listOf(1);
    ASSERT_TRUE(appendImageCopy(copy, list, 0).ok());
    EXPECT_EQ(std::string(copy.paths[0]), longPath);
    releaseImageList(copy);
    releaseImageList(list);
    releaseImageList(list);  // a second release is harmless
    std::string out = testing::internal::GetCapturedStdout();

    // Every traced allocation is released exactly once.
    TracedBlocks blocks = tracedBlocks(out);
    EXPECT_EQ(blocks.allocated.size(), 3u + 5 + 2 + 5);  // path buffers (+1 long), arrays of two lists
    EXPECT_EQ(blocks.allocated, blocks.released);
}

TEST_F(ImageListTest, ListsReleaseThemselvesAndMovesReleaseOnce)
{
    run.console.setTracing(true);
    testing::internal::CaptureStdout();
    {
        ImageList first = listOf(2);
        append(first, "/p/a.tif", TypeInput, ScaleFull);
        ImageList moved(std::move(first));
        EXPECT_EQ(first.paths, nullptr);
        EXPECT_EQ(moved.count(), 1);
        EXPECT_STREQ(moved.paths[0], "/p/a.tif");
        ImageList assigned = listOf(1);  // its own blocks go when it is assigned over
        assigned = std::move(moved);
        EXPECT_EQ(assigned.capacity, 2);
        EXPECT_STREQ(assigned.paths[0], "/p/a.tif");
        ASSERT_EQ(assigned.info.size(), 2u);
    }
    std::string out = testing::internal::GetCapturedStdout();
    TracedBlocks blocks = tracedBlocks(out);
    EXPECT_EQ(blocks.allocated.size(), (2u + 5) + (1u + 5));
    EXPECT_EQ(blocks.allocated, blocks.released);
}

TEST_F(ImageListTest, RemoveLevelScratchRemovesOnlyLevelFiles)
{
    ImageList list = listOf(2);
    append(list, "/in/a.tif", TypeInput, ScaleFull);
    append(list, "/in/b.tif", TypeInput, ScaleFull);
    ASSERT_TRUE(run.scratch.ensureRunFolder().ok());
    auto scratchName = [&](const char* path, const char* tag, int level) {
        return run.scratch.scratchName(path, tag, level);
    };
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
    removeLevelScratch(run, list, 2);
    for (const auto& p : removed)
        EXPECT_FALSE(fileExists(p)) << p;
    for (const auto& p : kept)
        EXPECT_TRUE(fileExists(p)) << p;
}

} // namespace
