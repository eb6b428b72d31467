// Helpers for the fusion tests: a private scratch folder and hand-made
// analysis files (Laplacian levels and weight maps) for invented image paths.
#pragma once

#include "imageio/image_types.h"
#include "imageio/tiff_io.h"
#include "support/memory.h"
#include "support/scratch_files.h"
#include "support/settings.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Points the scratch folder at a fresh TempDir and restores default settings.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedTmp_ = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
        setenv("TMPDIR", tmp_.path().c_str(), 1);
        resetScratchFolders();
        resetSettings();
        gCanvas = ImageRegion{};
    }
    void TearDown() override
    {
        resetScratchFolders();
        if (savedTmp_.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", savedTmp_.c_str(), 1);
        resetSettings();
    }
    TempDir tmp_;
    std::string savedTmp_;
};

// An ImageList of invented paths (only the names matter for scratch files).
class TestList {
public:
    explicit TestList(const std::vector<std::string>& paths) : list_(createImageList(static_cast<int>(paths.size())))
    {
        for (const auto& p : paths)
            appendImage(list_, p, TypeInput, ScaleFull);
    }
    ~TestList() { releaseImageList(list_); }
    TestList(const TestList&) = delete;
    TestList& operator=(const TestList&) = delete;
    ImageList& get() { return list_; }
private:
    ImageList list_;
};

inline void writeLevelFile(const std::string& image, int level, const std::vector<WorkPixel>& pixels, int width,
                           int height)
{
    ASSERT_EQ(0, writeTiffImage(scratchName(image, "l", level), pixels.data(), width, height, 8, 1, nullptr));
}

inline void writeWeightFile(const std::string& image, const char* tag, int level, const std::vector<uint16_t>& weights,
                            int width, int height)
{
    ASSERT_EQ(0, writeTiffImage(scratchName(image, tag, level), weights.data(), width, height, 2, 0, nullptr));
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
