// Transform arithmetic, motion summary and model names.
#include "alignment/homography.h"
#include "alignment/motion_model.h"
#include "photo_frames.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace quovix::align;

TEST(Homography, InverseComposeAndRescale)
{
    const Homography h = alignfx::motion(12.5, -7.25, 2.0, 3.0, 1e-5, -2e-5, 800, 600);
    Homography back;
    ASSERT_TRUE(invert(h, back));
    const Homography round = multiply(back, h);
    for (int k = 0; k < 9; ++k)
        EXPECT_NEAR(round[k] / round[8], identityHomography()[k], 1e-12) << k;
    EXPECT_FALSE(invert({1, 2, 3, 2, 4, 6, 0, 0, 1}, back));

    // The same motion on copies scaled by 1/4 (from) and 1/2 (to): pixel
    // centres follow x' = (x + 0.5) * s - 0.5.
    const Homography scaled = rescale(h, 0.25, 0.5);
    const double x = 317.0, y = 211.0;
    double u, v, us, vs;
    ASSERT_TRUE(mapPoint(h, x, y, u, v));
    ASSERT_TRUE(mapPoint(scaled, (x + 0.5) * 0.25 - 0.5, (y + 0.5) * 0.25 - 0.5, us, vs));
    EXPECT_NEAR(us, (u + 0.5) * 0.5 - 0.5, 1e-9);
    EXPECT_NEAR(vs, (v + 0.5) * 0.5 - 0.5, 1e-9);
}

TEST(Homography, SummaryReadsTheMotion)
{
    const MotionSummary m = summarizeMotion(alignfx::motion(30.0, -40.0, -2.5, 4.0, 0, 0, 1000, 700), 1000, 700);
    EXPECT_NEAR(m.shiftPx, 50.0, 1e-9);
    EXPECT_NEAR(m.rotationDeg, -2.5, 1e-9);
    EXPECT_NEAR(m.scale, 1.04, 1e-12);
    EXPECT_NEAR(m.anisotropy, 1.0, 1e-12);
    EXPECT_NEAR(m.perspective, 0.0, 1e-12);
    EXPECT_TRUE(m.orientationKept);

    const MotionSummary mirrored = summarizeMotion({-1, 0, 999, 0, 1, 0, 0, 0, 1}, 1000, 700);
    EXPECT_FALSE(mirrored.orientationKept);
    const MotionSummary tilted = summarizeMotion(alignfx::motion(0, 0, 0, 0, 4e-4, 0, 1000, 700), 1000, 700);
    EXPECT_NEAR(tilted.perspective, 0.2, 1e-3);
    const MotionSummary stretched = summarizeMotion({1.3, 0, 0, 0, 1, 0, 0, 0, 1}, 1000, 700);
    EXPECT_NEAR(stretched.anisotropy, 1.3, 1e-12);
}

TEST(MotionModel, NamesParseBack)
{
    for (MotionModel m : {MotionModel::Translation, MotionModel::Euclidean, MotionModel::Affine, MotionModel::Homography}) {
        MotionModel parsed = MotionModel::Translation;
        ASSERT_TRUE(parseMotionModel(motionModelName(m), parsed));
        EXPECT_EQ(parsed, m);
    }
    MotionModel parsed;
    EXPECT_TRUE(parseMotionModel("Homography", parsed));
    EXPECT_FALSE(parseMotionModel("similarity", parsed));
    EXPECT_FALSE(parseMotionModel("", parsed));
}

} // namespace
