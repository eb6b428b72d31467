// The common crop: inside every warped footprint, and the largest such
// rectangle.
#include "alignment/common_crop.h"
#include "alignment/warp_frame.h"
#include "photo_frames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using namespace quovix::align;

bool insideAll(const std::vector<FramePlacement>& frames, int x, int y)
{
    for (const FramePlacement& f : frames) {
        Homography back;
        double sx, sy;
        if (!invert(f.toReference, back) || !sourcePosition(back, f.width, f.height, x, y, sx, sy))
            return false;
    }
    return true;
}

// Largest area by trying every rectangle of a small canvas (the footprints are
// convex, so a rectangle is covered when its corners are).
int64_t bruteForceArea(const std::vector<FramePlacement>& frames, int w, int h)
{
    int64_t best = 0;
    for (int y0 = 0; y0 < h; ++y0)
        for (int y1 = y0; y1 < h; ++y1)
            for (int x0 = 0; x0 < w; ++x0)
                for (int x1 = x0; x1 < w; ++x1) {
                    const int64_t area = static_cast<int64_t>(x1 - x0 + 1) * (y1 - y0 + 1);
                    if (area > best && insideAll(frames, x0, y0) && insideAll(frames, x1, y0) &&
                        insideAll(frames, x0, y1) && insideAll(frames, x1, y1))
                        best = area;
                }
    return best;
}

TEST(CommonCrop, ShiftedFramesShareTheirOverlap)
{
    const std::vector<FramePlacement> frames = {
        {identityHomography(), 100, 80},
        {{1, 0, 10, 0, 1, 5, 0, 0, 1}, 100, 80},   // frame pixel (0,0) lands on (10,5)
        {{1, 0, -4, 0, 1, 2, 0, 0, 1}, 100, 80},
    };
    const CropRect c = commonCrop(frames, 100, 80);
    EXPECT_EQ(c.x, 10);
    EXPECT_EQ(c.y, 5);
    EXPECT_EQ(c.width, 86);   // 10..95
    EXPECT_EQ(c.height, 75);  // 5..79
}

TEST(CommonCrop, RotatedFramesGiveTheLargestCoveredRectangle)
{
    const int w = 36, h = 28;
    const std::vector<FramePlacement> frames = {
        {identityHomography(), w, h},
        {alignfx::motion(2.3, -1.4, 6.0, 3.0, 0, 0, w, h), w, h},
        {alignfx::motion(-1.1, 0.8, -4.5, -2.0, 3e-3, -2e-3, w, h), w, h},
    };
    const CropRect c = commonCrop(frames, w, h);
    ASSERT_GT(c.width, 0);
    for (int y = c.y; y < c.y + c.height; ++y)
        for (int x = c.x; x < c.x + c.width; ++x)
            ASSERT_TRUE(insideAll(frames, x, y)) << x << "," << y;
    EXPECT_EQ(static_cast<int64_t>(c.width) * c.height, bruteForceArea(frames, w, h));
}

TEST(CommonCrop, DisjointOrSingularGiveNothing)
{
    const std::vector<FramePlacement> apart = {{identityHomography(), 50, 50}, {{1, 0, 60, 0, 1, 0, 0, 0, 1}, 50, 50}};
    EXPECT_EQ(commonCrop(apart, 50, 50).width, 0);
    const std::vector<FramePlacement> singular = {{{0, 0, 0, 0, 0, 0, 0, 0, 1}, 50, 50}};
    EXPECT_EQ(commonCrop(singular, 50, 50).width, 0);
}

} // namespace
