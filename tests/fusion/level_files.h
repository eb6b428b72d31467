// Helpers for the fusion tests: a private scratch folder and hand-made
// analysis files (Laplacian levels and weight maps) for invented image paths.
#pragma once

#include "analysis/work_files.h"
#include "imageio/tiff_io.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A run with default settings whose scratch folder is ready; `tmp_` is its
// private temporary folder.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(run.scratch.ensureRunFolder().ok()); }
    TestRun testRun_;
    FusionRun& run = *testRun_;
    RunSettings& settings = run.settings;
    const TempDir& tmp_ = testRun_.dir();
};

// An ImageList of invented paths (only the names matter for scratch files).
class TestList {
public:
    explicit TestList(const std::vector<std::string>& paths)
    {
        createImageList(static_cast<int>(paths.size()), list_);
        for (const auto& p : paths)
            EXPECT_TRUE(appendImage(list_, p, TypeInput, ScaleFull).ok());
    }
    TestList(const TestList&) = delete;
    TestList& operator=(const TestList&) = delete;
    ImageList& get() { return list_; }
private:
    ImageList list_;
};

inline void writeLevelFile(FusionRun& run, const std::string& image, int level, const std::vector<WorkPixel>& pixels,
                           int width, int height)
{
    ASSERT_TRUE(
        writeLaplacianFile(run, run.scratch.scratchName(image, "l", level), pixels.data(), width, height, run.canvas)
            .ok());
}

inline void writeWeightFile(FusionRun& run, const std::string& image, const char* tag, int level,
                            const std::vector<uint16_t>& weights, int width, int height)
{
    ASSERT_TRUE(writeTiffImage(run, run.scratch.scratchName(image, tag, level), weights.data(),
                               TiffLayout{width, height, 2, run.canvas})
                    .ok());
}

// In a death test child: our messages go to stdout, gtest matches stderr.
inline void stdoutToStderr()
{
    std::fflush(stdout);
    dup2(2, 1);
}

inline WorkPixel px(int c0, int c1, int c2, int alpha = kAlphaPresent)
{
    return WorkPixel{static_cast<int16_t>(c0), static_cast<int16_t>(c1), static_cast<int16_t>(c2),
                     static_cast<int16_t>(alpha)};
}

inline bool samePixel(const WorkPixel& a, const WorkPixel& b)
{
    return a.c0 == b.c0 && a.c1 == b.c1 && a.c2 == b.c2 && a.alpha == b.alpha;
}
