#include "imageio/image_list.h"

#include "analysis/analyse_images.h"
#include "image_samples.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using samples::failedWith;

class ImageListTest : public FreshSettingsTest {
protected:
    ImageList listOf(int32_t capacity)
    {
        ImageList list;
        createImageList(capacity, list);
        return list;
    }
    void append(ImageList& list, const std::string& path, int32_t type, int32_t scale, const ImageInfo& info = {})
    {
        Status status = appendImage(list, path, type, scale, info);
        EXPECT_TRUE(status.ok()) << status.consoleText();
    }
};

TEST_F(ImageListTest, CopiesPrintAtEachVerbosity)
{
    ImageList inputs = listOf(3);
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
    inputs[0].exposure = 6400.0;
    inputs[0].group = 2;
    inputs[1].exposure = 100.0;
    inputs[1].type = TypePreviewCache;
    inputs[1].scale = ScaleScaled;

    ImageList copy = listOf(2);
    ASSERT_TRUE(appendImageCopy(copy, inputs, 1).ok());
    ASSERT_TRUE(appendImageCopy(copy, inputs, 0).ok());
    EXPECT_EQ(copy.count(), 2);
    EXPECT_EQ(copy[0].path, "/p/b.jpg");
    EXPECT_EQ(copy[1].exposure, 6400.0);
    EXPECT_EQ(copy[1].group, 2u);
    EXPECT_EQ(copy[0].type, TypePreviewCache);
    EXPECT_EQ(copy[0].scale, ScaleScaled);
    // The classification travels with the entry.
    EXPECT_TRUE(copy[0].info.known);
    EXPECT_EQ(copy[0].info.format, FileFormat::Jpeg);
    EXPECT_EQ(copy[0].info.region.width, 40);
    EXPECT_EQ(copy[0].info.bytesPerPixel, 3);
    EXPECT_FALSE(copy[1].info.known);

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
    EXPECT_EQ(a[0].path, "x.tif");
    EXPECT_EQ(b.count(), 0);
}

TEST_F(ImageListTest, LongPathsAreKeptWholeAndMovesKeepTheEntries)
{
    ImageList list = listOf(2);
    std::string longPath = "/" + std::string(600, 'q') + ".tif";
    append(list, longPath, TypeInput, ScaleFull);
    ImageList copy = listOf(1);
    ASSERT_TRUE(appendImageCopy(copy, list, 0).ok());
    EXPECT_EQ(copy[0].path, longPath);

    ImageList moved(std::move(list));
    EXPECT_EQ(moved.count(), 1);
    EXPECT_EQ(moved[0].path, longPath);
    ImageList assigned = listOf(1);
    assigned = std::move(moved);
    EXPECT_EQ(assigned.capacity, 2);
    EXPECT_EQ(assigned[0].path, longPath);
}

TEST_F(ImageListTest, ReplacedAndRemovedEntriesKeepTheirInputs)
{
    ImageList list = listOf(4);
    const char* names[] = {"/p/a-.tif", "/p/a.tif", "/p/b-.tif", "/p/b.tif"};
    for (int i = 0; i < 4; ++i) {
        append(list, names[i], i % 2 == 0 ? TypeExposureAdjusted : TypeInput, ScaleFull);
        list[i].input = i / 2;
        list[i].bracketCopy = i % 2 == 0;
    }
    EXPECT_EQ(inputEntries(list), (std::vector<int32_t>{1, 3}));

    // A run copy keeps the first name for messages, however often replaced.
    ImageInfo aligned;
    aligned.known = true;
    aligned.bytesPerPixel = 8;
    ASSERT_TRUE(replaceImage(list, 3, "/run/b.aln.tif", TypeAligned, ScaleFull, aligned).ok());
    ASSERT_TRUE(replaceImage(list, 3, "/run/b.aln2.tif", TypeAligned, ScaleFull, aligned).ok());
    EXPECT_EQ(list[3].path, "/run/b.aln2.tif");
    EXPECT_STREQ(list[3].shown(), "/p/b.tif");
    EXPECT_STREQ(list[1].shown(), "/p/a.tif");
    EXPECT_EQ(list[3].info.bytesPerPixel, 8);
    EXPECT_EQ(list[3].input, 1);
    EXPECT_TRUE(failedWith(replaceImage(list, 4, "x", TypeAligned, ScaleFull, aligned), 1,
                           "Fatal Error: Error: Source file index error\n\n"));

    removeImage(list, 0);
    removeImage(list, 7);  // out of range: nothing happens
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list[0].path, "/p/a.tif");
    EXPECT_EQ(inputEntries(list), (std::vector<int32_t>{0, 2}));
    // An input whose own entry left the list has none.
    removeImage(list, 0);
    EXPECT_EQ(inputEntries(list), (std::vector<int32_t>{-1, 1}));
    // The freed slot takes a new entry.
    append(list, "/p/c.tif", TypeInput, ScaleFull);
    EXPECT_EQ(list.count(), 3);
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
