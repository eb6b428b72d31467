// Alignment estimation on the bundled photographs: synthetic brackets and
// focus steps with known transforms, the hand-held crusader bracket, failures
// and determinism.
#include "alignment/common_crop.h"
#include "alignment/estimate_alignment.h"
#include "alignment/refine_dense.h"
#include "alignment/refine_ecc.h"
#include "alignment/warp_frame.h"
#include "photo_frames.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace quovix::align;
using namespace alignfx;

struct Shot {
    double dx, dy, rotationDeg, scalePercent, px, py;  // motion (see alignfx::motion)
    double ev, blur;
};

// A set of frames of one photograph: frame 0 is the unmoved, unblurred,
// normally exposed view; the others follow the shots.
struct SyntheticSet {
    std::vector<LoadedFrame> frames;
    std::vector<Homography> truth;
    int width = 0, height = 0;
};

SyntheticSet makeSet(const std::string& photoPath, double photoScale, int margin, const std::vector<Shot>& shots)
{
    SyntheticSet set;
    const cv::Mat photo = linearPhoto(sourceDir() + "/" + photoPath, photoScale);
    EXPECT_FALSE(photo.empty()) << photoPath;
    if (photo.empty())
        return set;
    const cv::Size size(photo.cols - 2 * margin, photo.rows - 2 * margin);
    set.width = size.width;
    set.height = size.height;
    set.frames.push_back(shoot(photo, identityHomography(), {margin, margin}, size, 0, 0));
    set.truth.push_back(identityHomography());
    for (const Shot& s : shots) {
        const Homography h = motion(s.dx, s.dy, s.rotationDeg, s.scalePercent, s.px, s.py, size.width, size.height);
        set.frames.push_back(shoot(photo, h, {margin, margin}, size, s.ev, s.blur));
        set.truth.push_back(h);
    }
    return set;
}

// Corner error of every frame against the truth, checked against its limit.
void expectAccurate(const SyntheticSet& set, const AlignmentResult& result, const std::vector<double>& limits)
{
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_EQ(result.frames.size(), set.frames.size());
    for (size_t i = 0; i < set.frames.size(); ++i) {
        const FrameEstimate& f = result.frames[i];
        const double error = cornerDistanceRms(f.toReference, set.truth[i], set.width, set.height);
        std::printf("  frame %zu: corner error %.3f px (limit %.2f), inliers %d, patches %d, residual %.3f px, "
                    "model %s\n",
                    i, error, limits[i], f.inliers, f.patches, f.medianResidualPx, motionModelName(f.model));
        EXPECT_TRUE(f.ok) << "frame " << i << ": " << f.failure;
        EXPECT_LE(error, limits[i]) << "frame " << i;
    }
}

// Photographs at about 1300 px on the long side, moved by up to 60 px, 3
// degrees and 4 %, tilted, 2 stops darker or brighter, blurred up to 6 px.
TEST(EstimateAlignment, RecoversKnownTransformsAcrossExposureAndBlur)
{
    const SyntheticSet set = makeSet("examples/crusader/1.jpeg", 0.8, 150,
                                     {
                                         {37.3, -52.8, 1.7, 2.5, 2e-5, -1e-5, -2, 0},
                                         {-58.1, 21.6, -2.9, -3.8, -1e-5, 2e-5, 2, 0},
                                         {12.4, 44.2, 0.8, 1.2, 0, 1.5e-5, 0, 6},
                                         {-25.5, -8.3, -1.4, -2.0, 1e-5, 0, -2, 6},
                                         {40.7, 30.2, 2.5, 3.5, 0, 0, 2, 3},
                                     });
    AlignOptions options;
    options.referenceIndex = 0;
    options.chained = false;
    const AlignmentResult result = estimateAlignment(static_cast<int>(set.frames.size()), memoryLoader(set.frames), options);
    expectAccurate(set, result, {0.0, 0.3, 0.3, 0.6, 0.6, 0.6});
    // The summary describes the motion of the frame.
    EXPECT_NEAR(result.frames[2].rotationDeg, -2.9, 0.05);
    EXPECT_NEAR(result.frames[2].scalePercent, -3.8, 0.1);
    EXPECT_NEAR(result.frames[1].shiftPx, std::hypot(37.3, -52.8), 1.0);
}

// A focus stack: each frame more blurred and further moved than the last,
// matched against its neighbour and composed.
TEST(EstimateAlignment, ChainsAFocusStack)
{
    const SyntheticSet set = makeSet("examples/focus_pcb/pcb_004.jpg", 0.7, 150,
                                     {
                                         {8.2, -5.1, 0.4, 1.0, 0, 0, 0, 2},
                                         {17.5, -11.3, 0.9, 2.1, 4e-6, 0, 0, 4},
                                         {26.9, -15.8, 1.3, 3.0, 8e-6, -4e-6, 0, 6},
                                     });
    AlignOptions options;
    options.referenceIndex = 0;
    options.chained = true;
    const AlignmentResult result = estimateAlignment(static_cast<int>(set.frames.size()), memoryLoader(set.frames), options);
    expectAccurate(set, result, {0.0, 0.6, 0.6, 0.6});
    EXPECT_EQ(result.frames[3].matchedTo, 2);
    EXPECT_EQ(result.frames[1].matchedTo, 0);
}

// A breathing focus stack: every frame a little larger and more blurred than
// the last. Each chained transform is checked against the reference
// directly; here the chain holds, so it is kept, and every frame lines up.
TEST(EstimateAlignment, ChainedTransformsAreCheckedAgainstTheReference)
{
    std::vector<Shot> breathing;
    for (int k = 1; k <= 4; ++k)
        breathing.push_back({0.6 * k, -0.4 * k, 0.0, 0.7 * k, 0, 0, 0, 0.8 * k});
    const SyntheticSet set = makeSet("examples/focus_pcb/pcb_004.jpg", 0.4, 80, breathing);
    AlignOptions options;
    options.referenceIndex = 0;
    options.chained = true;
    const AlignmentResult result =
        estimateAlignment(static_cast<int>(set.frames.size()), memoryLoader(set.frames), options);
    expectAccurate(set, result, {0.0, 0.5, 0.5, 0.5, 0.5});
    EXPECT_LT(result.frames[1].directCheckPx, 0.0);  // matched to the reference itself: nothing to check
    for (size_t i = 2; i < set.frames.size(); ++i) {
        std::printf("  frame %zu: chain %.3f px from the direct refinement\n", i, result.frames[i].directCheckPx);
        EXPECT_GE(result.frames[i].directCheckPx, 0.0) << "frame " << i;
        EXPECT_LE(result.frames[i].directCheckPx, options.maxResidualPx) << "frame " << i;
        EXPECT_FALSE(result.frames[i].directKept);
    }
}

// The direct check measures misregistration in pixels: a wrong transform
// planted 3 px off the truth stands about 3 px from its refinement against
// the reference, the truth within a fraction of a pixel, and the refinement
// of the wrong one lands back on the truth.
TEST(EstimateAlignment, PlantedWrongTransformIsMeasuredOff)
{
    const SyntheticSet set = makeSet("examples/focus_pcb/pcb_004.jpg", 0.4, 80, {{5.2, -3.1, 0.3, 1.0, 0, 0, 0, 2}});
    const AlignImageSizes sizes;
    AlignImage reference, moving;
    for (int i = 0; i < 2; ++i) {
        const LoadedFrame& f = set.frames[static_cast<size_t>(i)];
        buildAlignImage({f.pixels.data(), f.width, f.height, f.channels, static_cast<size_t>(f.width) * f.channels},
                        sizes, i == 0 ? reference : moving);
    }
    const Homography truth = set.truth[1];
    const Homography planted = multiply({1, 0, 3.0, 0, 1, 0, 0, 0, 1}, truth);
    Homography refined;
    double residual = 0.0;
    const double right = disagreementWithReference(moving, reference, MotionModel::Homography, truth, refined, residual);
    const double wrong =
        disagreementWithReference(moving, reference, MotionModel::Homography, planted, refined, residual);
    std::printf("  truth %.3f px off, planted %.3f px off\n", right, wrong);
    EXPECT_GE(right, 0.0);
    EXPECT_LT(right, 0.3);
    EXPECT_NEAR(wrong, 3.0, 0.4);
    EXPECT_LT(cornerDistanceRms(refined, truth, set.width, set.height), 0.3);
    EXPECT_GT(wholeFrameCorrelation(moving, reference, truth), wholeFrameCorrelation(moving, reference, planted));
}

// Left to the frames, the chaining follows their exposures: evenly exposed
// frames (a focus stack) are matched against their neighbours, a bracket's
// against the reference, and either way the motion is recovered.
TEST(EstimateAlignment, ChainingFollowsTheExposures)
{
    const std::vector<Shot> focus = {{6.1, -4.2, 0.4, 0.8, 0, 0, 0, 1.5}, {12.3, -8.8, 0.8, 1.6, 0, 0, 0, 3}};
    const std::vector<Shot> bracket = {{6.1, -4.2, 0.4, 0.8, 0, 0, -1, 0}, {12.3, -8.8, 0.8, 1.6, 0, 0, 1, 0}};
    for (const bool stack : {true, false}) {
        const SyntheticSet set = makeSet("examples/focus_pcb/pcb_004.jpg", 0.4, 80, stack ? focus : bracket);
        AlignOptions options;
        options.referenceIndex = 0;
        options.chained = !stack;  // overridden by the frames
        options.chainWhenEvenlyExposed = true;
        const AlignmentResult result =
            estimateAlignment(static_cast<int>(set.frames.size()), memoryLoader(set.frames), options);
        SCOPED_TRACE(stack ? "focus stack" : "bracket");
        expectAccurate(set, result, {0.0, 0.6, 0.6});
        EXPECT_EQ(result.chained, stack);
        EXPECT_EQ(result.frames[2].matchedTo, stack ? 1 : 0);
    }
}

// Each narrower model recovers a motion of its own kind.
TEST(EstimateAlignment, NarrowerModels)
{
    const SyntheticSet set = makeSet("examples/crusader/6.jpeg", 0.6, 100,
                                     {
                                         {23.6, -41.2, 0, 0, 0, 0, -2, 0},
                                         {-31.4, 17.9, 2.2, 0, 0, 0, 2, 0},
                                     });
    struct Case {
        MotionModel model;
        int frame;
    };
    for (const Case& c : {Case{MotionModel::Translation, 1}, Case{MotionModel::Euclidean, 2}, Case{MotionModel::Affine, 2}}) {
        SCOPED_TRACE(motionModelName(c.model));
        const std::vector<LoadedFrame> pair = {set.frames[0], set.frames[c.frame]};
        AlignOptions options;
        options.model = c.model;
        options.referenceIndex = 0;
        const AlignmentResult result = estimateAlignment(2, memoryLoader(pair), options);
        ASSERT_TRUE(result.ok) << result.error;
        const FrameEstimate& f = result.frames[1];
        ASSERT_TRUE(f.ok) << f.failure;
        EXPECT_EQ(f.model, c.model);
        const double error = cornerDistanceRms(f.toReference, set.truth[c.frame], set.width, set.height);
        std::printf("  %s: corner error %.3f px\n", motionModelName(c.model), error);
        EXPECT_LE(error, 0.3);
        if (c.model != MotionModel::Affine) {
            // Nothing outside the model: no scale, no shear, no tilt.
            EXPECT_DOUBLE_EQ(f.toReference[6], 0.0);
            EXPECT_DOUBLE_EQ(f.toReference[7], 0.0);
            EXPECT_NEAR(f.toReference[0] * f.toReference[4] - f.toReference[1] * f.toReference[3], 1.0, 1e-9);
        }
    }
}

TEST(EstimateAlignment, SingleFrameIsTheReference)
{
    const std::vector<LoadedFrame> frames = {frameFrom8Bit(readJpeg(sourceDir() + "/examples/crusader/1.jpeg"))};
    const AlignmentResult result = estimateAlignment(1, memoryLoader(frames), AlignOptions());
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_EQ(result.frames.size(), 1u);
    EXPECT_EQ(result.referenceIndex, 0);
    EXPECT_TRUE(result.frames[0].ok);
    EXPECT_EQ(result.frames[0].toReference, identityHomography());
}

// Another scene, and a frame that cannot be read, fail alone with a reason;
// the others align.
TEST(EstimateAlignment, UnrelatedOrUnreadableFramesFailAlone)
{
    const cv::Mat knight = readJpeg(sourceDir() + "/examples/crusader/2.jpeg");
    const cv::Mat rocket = readJpeg(sourceDir() + "/tests/data/rocket/rocket.jpg");
    ASSERT_FALSE(knight.empty());
    ASSERT_FALSE(rocket.empty());
    cv::Mat rocketLarge;
    cv::resize(rocket, rocketLarge, knight.size(), 0, 0, cv::INTER_CUBIC);
    const std::vector<LoadedFrame> frames = {frameFrom8Bit(knight),
                                             frameFrom8Bit(readJpeg(sourceDir() + "/examples/crusader/1.jpeg")),
                                             frameFrom8Bit(rocketLarge), LoadedFrame()};
    const FrameLoader load = [&frames](int index, LoadedFrame& frame, std::string& error) {
        if (index == 3) {
            error = "no such file";
            return false;
        }
        frame = frames[index];
        return true;
    };
    AlignOptions options;
    options.referenceIndex = 0;
    options.chained = false;  // a hand-held bracket: its parallax is no misregistration
    const AlignmentResult result = estimateAlignment(4, load, options);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(result.frames[1].ok) << result.frames[1].failure;
    EXPECT_FALSE(result.frames[2].ok);
    EXPECT_FALSE(result.frames[2].failure.empty());
    EXPECT_EQ(result.frames[2].toReference, identityHomography());
    std::printf("  unrelated scene: %s\n", result.frames[2].failure.c_str());
    EXPECT_FALSE(result.frames[3].ok);
    EXPECT_NE(result.frames[3].failure.find("no such file"), std::string::npos) << result.frames[3].failure;
}

TEST(EstimateAlignment, UnreadableReferenceOrBadArgumentsFailTheRun)
{
    const FrameLoader failing = [](int, LoadedFrame&, std::string& error) {
        error = "broken";
        return false;
    };
    AlignmentResult r = estimateAlignment(3, failing, AlignOptions());
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("broken"), std::string::npos) << r.error;
    AlignOptions options;
    options.referenceIndex = 5;
    r = estimateAlignment(3, failing, options);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());
    EXPECT_FALSE(estimateAlignment(0, failing, AlignOptions()).ok);
}

// Same matrices, bit for bit, whatever OpenCV's thread count, run after run.
TEST(EstimateAlignment, DeterministicForAnyThreadCount)
{
    const SyntheticSet set = makeSet("examples/crusader/1.jpeg", 0.5, 80,
                                     {
                                         {13.3, -9.8, 1.1, 1.5, 1e-5, 0, -2, 0},
                                         {-21.1, 12.6, -1.9, -2.8, 0, 1e-5, 1, 2},
                                     });
    std::vector<AlignmentResult> runs;
    for (int threads : {1, 2, 8, 1}) {
        AlignOptions options;
        options.threads = threads;
        options.chained = true;
        runs.push_back(estimateAlignment(static_cast<int>(set.frames.size()), memoryLoader(set.frames), options));
        ASSERT_TRUE(runs.back().ok) << runs.back().error;
    }
    for (size_t r = 1; r < runs.size(); ++r)
        for (size_t i = 0; i < set.frames.size(); ++i) {
            EXPECT_EQ(runs[r].frames[i].ok, runs[0].frames[i].ok);
            EXPECT_EQ(std::memcmp(runs[r].frames[i].toReference.data(), runs[0].frames[i].toReference.data(),
                                  sizeof(Homography)),
                      0)
                << "run " << r << " frame " << i;
        }
}

} // namespace

namespace {

// Grey in linear light of an RGBA (or, with alpha 65535 everywhere, RGB)
// 16-bit sRGB image.
std::vector<float> linearGrey(const uint16_t* rgba, size_t pixels, int step)
{
    static const std::vector<float> table = [] {
        std::vector<float> t(256);
        for (int v = 0; v < 256; ++v)
            t[v] = static_cast<float>(alignfx::srgbToLinear(v / 255.0));
        return t;
    }();
    std::vector<float> out(pixels);
    for (size_t p = 0; p < pixels; ++p)
        out[p] = (table[rgba[p * step] / 257] + table[rgba[p * step + 1] / 257] + table[rgba[p * step + 2] / 257]) / 3.0f;
    return out;
}

// The hand-held bracket: 7 unordered exposures, the camera moved between
// shots by up to 270 px and 4 % in scale. Aligned, neighbouring frames differ
// far less than as shot. The figurine stands well in front of the wall, so no
// single plane transform fits the whole frame: the pairs now reach 1.9x to
// 3.1x, and the check guards that level.
TEST(EstimateAlignment, HandHeldBracketLinesUp)
{
    std::vector<LoadedFrame> frames;
    for (int k = 1; k <= 7; ++k)
        frames.push_back(frameFrom8Bit(readJpeg(sourceDir() + "/examples/crusader/" + std::to_string(k) + ".jpeg")));
    AlignOptions options;
    options.chained = false;
    options.detailMaxSide = 1024;  // half size keeps the test quick
    const AlignmentResult result = estimateAlignment(7, memoryLoader(frames), options);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.referenceIndex, 3);
    const int w = frames[3].width, h = frames[3].height;
    const size_t pixels = static_cast<size_t>(w) * h;
    std::vector<std::vector<uint16_t>> warped(7);
    for (int i = 0; i < 7; ++i) {
        const FrameEstimate& f = result.frames[i];
        ASSERT_TRUE(f.ok) << "frame " << i + 1 << ": " << f.failure;
        std::printf("  frame %d: shift %.1f px, rotation %.2f deg, scale %+.2f %%, residual %.3f px, %d inliers, "
                    "%d patches\n",
                    i + 1, f.shiftPx, f.rotationDeg, f.scalePercent, f.medianResidualPx, f.inliers, f.patches);
        warped[i].resize(pixels * 4);
        const Frame16 source{frames[i].pixels.data(), frames[i].width, frames[i].height, 3,
                             static_cast<size_t>(frames[i].width) * 3};
        std::string error;
        ASSERT_TRUE(warpRows(source, f.toReference, w, h, 0, h, WarpKernel::Bicubic, warped[i].data(), error)) << error;
    }
    for (int i = 0; i + 1 < 7; ++i) {
        std::vector<uint8_t> common(pixels);
        for (size_t p = 0; p < pixels; ++p)
            common[p] = warped[i][p * 4 + 3] && warped[i + 1][p * 4 + 3];
        const double before = exposureMatchedDifference(linearGrey(frames[i].pixels.data(), pixels, 3),
                                                        linearGrey(frames[i + 1].pixels.data(), pixels, 3), common);
        const double after = exposureMatchedDifference(linearGrey(warped[i].data(), pixels, 4),
                                                       linearGrey(warped[i + 1].data(), pixels, 4), common);
        std::printf("  frames %d-%d: difference %.4f as shot, %.4f aligned (%.1fx)\n", i + 1, i + 2, before, after,
                    before / after);
        EXPECT_GE(before / after, 1.7) << "frames " << i + 1 << "-" << i + 2;
    }
}

} // namespace
