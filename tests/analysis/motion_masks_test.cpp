// Motion detection on cell grids: the intensity mapping between exposures,
// the comparison with the mapped reference, noise estimation and mask
// cleaning, on generated grids with known content.
#include "analysis/motion_masks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>

namespace {

using namespace quovix;

constexpr int kWidth = 120;
constexpr int kHeight = 90;

int16_t clamp14(double v)
{
    return static_cast<int16_t>(std::clamp(std::lround(v), 0L, 16383L));
}

// A textured scene in 0..1 per channel: gradients plus a fine pattern, so
// that every tone is present and neighbouring cells differ.
double sceneValue(int x, int y, int c)
{
    const double base = 0.1 + 0.7 * (x + 2 * y) / (kWidth + 2.0 * kHeight);
    const double texture = 0.08 * std::sin(0.9 * x + 0.3 * c) * std::cos(0.7 * y);
    return std::clamp(base + texture, 0.0, 1.0);
}

// The scene through a tone curve per channel, with small deterministic noise.
MotionGrid makeGrid(const std::function<double(double, int)>& curve, double noise = 0.0, uint32_t seed = 1)
{
    MotionGrid grid;
    grid.width = kWidth;
    grid.height = kHeight;
    grid.cells.resize(static_cast<size_t>(kWidth) * kHeight);
    uint32_t state = seed;
    auto uniform = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 16777216.0 - 0.5;
    };
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            int16_t v[3];
            for (int c = 0; c < 3; ++c)
                v[c] = clamp14(16383.0 * curve(sceneValue(x, y, c), c) + noise * (uniform() + uniform() + uniform()));
            grid.cells[static_cast<size_t>(y) * kWidth + x] = {v[0], v[1], v[2], kAlphaPresent};
        }
    }
    return grid;
}

double identity(double v, int)
{
    return v;
}

// A darker exposure with a different gamma per channel.
double darker(double v, int c)
{
    return 0.45 * std::pow(v, 1.0 + 0.1 * c);
}

void paste(MotionGrid& grid, int x0, int y0, int size, int16_t value)
{
    for (int y = y0; y < y0 + size; ++y)
        for (int x = x0; x < x0 + size; ++x)
            grid.cells[static_cast<size_t>(y) * grid.width + x] = {value, static_cast<int16_t>(value / 2),
                                                                     static_cast<int16_t>(value / 3), kAlphaPresent};
}

size_t flaggedIn(const std::vector<uint8_t>& m, int x0, int y0, int size)
{
    size_t n = 0;
    for (int y = y0; y < y0 + size; ++y)
        for (int x = x0; x < x0 + size; ++x)
            n += (m[static_cast<size_t>(y) * kWidth + x] & kMotionMoving) != 0 ? 1 : 0;
    return n;
}

size_t flaggedTotal(const std::vector<uint8_t>& m)
{
    return static_cast<size_t>(std::count_if(m.begin(), m.end(), [](uint8_t v) { return (v & kMotionMoving) != 0; }));
}

TEST(MotionIntensityMapping, RecoversEachChannelsToneCurve)
{
    const MotionGrid reference = makeGrid(identity);
    const MotionGrid frame = makeGrid(darker);
    const std::vector<uint16_t> table = matchIntensities(reference, frame);
    ASSERT_EQ(table.size(), 3u * 16384u);
    for (int c = 0; c < 3; ++c) {
        for (double v = 0.2; v <= 0.75; v += 0.05) {
            const int from = static_cast<int>(16383.0 * v);
            const double expected = 16383.0 * darker(v, c);
            EXPECT_NEAR(table[static_cast<size_t>(c) * 16384 + from], expected, 0.01 * 16383.0)
                << "channel " << c << " value " << v;
        }
        // Monotone, as a tone mapping must be.
        for (int v = 1; v < 16384; ++v)
            ASSERT_LE(table[static_cast<size_t>(c) * 16384 + v - 1], table[static_cast<size_t>(c) * 16384 + v]);
    }
}

TEST(MotionIntensityMapping, ObjectCoveringPartOfTheFrameDoesNotBendIt)
{
    const MotionGrid reference = makeGrid(identity);
    MotionGrid frame = makeGrid(darker);
    paste(frame, 10, 10, 20, 12000);  // 4 % of the cells, far off the curve
    const std::vector<uint16_t> table = matchIntensities(reference, frame);
    const int from = static_cast<int>(16383.0 * 0.5);
    EXPECT_NEAR(table[16384 + from], 16383.0 * darker(0.5, 1), 0.03 * 16383.0);
}

TEST(MotionDetection, FlagsAnObjectAndNothingElse)
{
    const MotionGrid reference = makeGrid(identity, 120.0, 3);
    MotionGrid frame = makeGrid(darker, 120.0, 4);
    paste(frame, 50, 30, 16, 9000);
    const FrameNoise rn = estimateNoise(reference);
    const FrameNoise fn = estimateNoise(frame);
    const std::vector<uint8_t> moving = disagreement(reference, rn, frame, fn, nullptr);
    const size_t inside = flaggedIn(moving, 50, 30, 16);
    // All but the rim, which the two-cell tolerance lets pass.
    EXPECT_GE(flaggedIn(moving, 52, 32, 12), 12u * 12u * 9 / 10);
    EXPECT_LE(flaggedTotal(moving) - inside, moving.size() / 200);
}

TEST(MotionDetection, ToleratesAOneCellShiftAndNoise)
{
    const MotionGrid reference = makeGrid(identity, 150.0, 5);
    MotionGrid frame = makeGrid(darker, 150.0, 6);
    // The frame one cell to the right: residual misalignment after --align.
    for (int y = 0; y < kHeight; ++y)
        for (int x = kWidth - 1; x > 0; --x)
            frame.cells[static_cast<size_t>(y) * kWidth + x] = frame.cells[static_cast<size_t>(y) * kWidth + x - 1];
    const std::vector<uint8_t> moving =
        disagreement(reference, estimateNoise(reference), frame, estimateNoise(frame), nullptr);
    EXPECT_LE(flaggedTotal(moving), moving.size() / 100);
}

TEST(MotionDetection, ClippedReferenceAndExcludedCellsAreNotJudged)
{
    MotionGrid reference = makeGrid(identity);
    MotionGrid frame = makeGrid(darker);
    paste(reference, 10, 10, 20, 16383);  // blown out in the reference
    paste(frame, 10, 10, 20, 3000);
    paste(frame, 70, 40, 20, 9000);  // a real change, but not to be considered
    std::vector<uint8_t> consider(frame.cells.size(), 1);
    for (int y = 40; y < 60; ++y)
        for (int x = 70; x < 90; ++x)
            consider[static_cast<size_t>(y) * kWidth + x] = 0;
    const std::vector<uint8_t> moving =
        disagreement(reference, FrameNoise(), frame, FrameNoise(), &consider);
    EXPECT_EQ(flaggedIn(moving, 10, 10, 20), 0u);
    EXPECT_EQ(flaggedIn(moving, 70, 40, 20), 0u);
    // Without the selection the change is seen.
    EXPECT_GT(flaggedIn(disagreement(reference, FrameNoise(), frame, FrameNoise(), nullptr), 72, 42, 16), 230u);
    EXPECT_FALSE(usableCell(reference.cells[static_cast<size_t>(15) * kWidth + 15]));
    EXPECT_TRUE(usableCell(reference.cells[static_cast<size_t>(60) * kWidth + 60]));
}

TEST(MotionNoise, MeasuresAddedNoiseAndIgnoresSmoothShading)
{
    // A plain gradient: the second-difference kernel leaves nothing.
    const FrameNoise smooth = estimateNoise(makeGrid([](double v, int) { return 0.5 * v; }, 0.0));
    // Sum of three uniforms of width 600: deviation 300.
    MotionGrid flat = makeGrid([](double, int) { return 0.5; }, 600.0, 9);
    const FrameNoise noisy = estimateNoise(flat);
    for (int c = 0; c < 3; ++c) {
        EXPECT_LT(smooth.sigma[c], 30.0f);
        // Capped at what detection still believes.
        EXPECT_GT(noisy.sigma[c], 120.0f);
        EXPECT_LE(noisy.sigma[c], 160.0f);
    }
    const FrameNoise moderate = estimateNoise(makeGrid([](double, int) { return 0.5; }, 200.0, 9));
    // Deviation 100, measured within a fifth.
    EXPECT_NEAR(moderate.sigma[1], 100.0f, 20.0f);
}

TEST(MotionMaskCleaning, RemovesSpecksClosesHolesAndTakesWholeFrames)
{
    std::vector<uint8_t> m(static_cast<size_t>(kWidth) * kHeight, 0);
    auto set = [&](int x, int y) { m[static_cast<size_t>(y) * kWidth + x] = 1; };
    set(5, 5);  // a speck
    set(100, 80);
    set(101, 80);
    // A ring with a one-cell hole.
    for (int y = 30; y < 50; ++y)
        for (int x = 40; x < 60; ++x)
            if (!(x == 50 && y == 40))
                set(x, y);
    cleanMotion(m, kWidth, kHeight);
    EXPECT_EQ(m[static_cast<size_t>(5) * kWidth + 5], 0);
    EXPECT_EQ(m[static_cast<size_t>(80) * kWidth + 100], 0);
    EXPECT_EQ(m[static_cast<size_t>(40) * kWidth + 50], 1);
    EXPECT_EQ(flaggedTotal(m), 400u);

    std::vector<uint8_t> most(m.size(), 0);
    std::fill(most.begin(), most.begin() + static_cast<std::ptrdiff_t>(most.size() * 6 / 10), uint8_t{1});
    cleanMotion(most, kWidth, kHeight);
    EXPECT_EQ(flaggedTotal(most), most.size());
}

TEST(MotionMaskCleaning, DropsThinLinesAwayFromAnySolidObject)
{
    // What blur and focus breathing leave along strong edges: long lines one
    // or two cells wide, far larger than a speck.
    std::vector<uint8_t> m(static_cast<size_t>(kWidth) * kHeight, 0);
    auto set = [&](int x, int y) { m[static_cast<size_t>(y) * kWidth + x] = 1; };
    for (int y = 5; y < 60; ++y) {
        set(110, y);
        set(116, y);
        set(117, y);
    }
    cleanMotion(m, kWidth, kHeight);
    EXPECT_EQ(flaggedTotal(m), 0u);

    // The same lines beside a solid object are pieces of its outline.
    for (int y = 5; y < 60; ++y) {
        set(80, y);
        set(86, y);
    }
    for (int y = 20; y < 40; ++y)
        for (int x = 60; x < 75; ++x)
            set(x, y);
    cleanMotion(m, kWidth, kHeight);
    EXPECT_EQ(m[static_cast<size_t>(30) * kWidth + 65], 1);
    EXPECT_EQ(m[static_cast<size_t>(10) * kWidth + 80], 1);
    EXPECT_EQ(m[static_cast<size_t>(55) * kWidth + 86], 1);
}

TEST(MotionMaskCleaning, KeepFactorsExcludeObjectAndMarginThenFeather)
{
    std::vector<uint8_t> m(static_cast<size_t>(kWidth) * kHeight, 0);
    for (int y = 40; y < 50; ++y)
        for (int x = 50; x < 60; ++x)
            m[static_cast<size_t>(y) * kWidth + x] = 1;
    const std::vector<uint16_t> keep = keepFromMotion(m, kWidth, kHeight);
    auto at = [&](int x, int y) { return keep[static_cast<size_t>(y) * kWidth + x]; };
    EXPECT_EQ(at(55, 45), 0);
    EXPECT_EQ(at(61, 45), 0);  // the margin
    EXPECT_EQ(at(10, 10), 65535);
    // The feather rises monotonically away from the object.
    for (int x = 60; x < 75; ++x)
        EXPECT_LE(at(x, 45), at(x + 1, 45)) << x;
    EXPECT_GT(at(64, 45), 0);
    EXPECT_LT(at(64, 45), 65535);
}

TEST(MotionMaskCleaning, KeptWeightIsExactWhereNothingMoved)
{
    for (uint32_t w = 0; w <= 65535; w += 97) {
        EXPECT_EQ(keptWeight(static_cast<uint16_t>(w), 65535), w);
        EXPECT_EQ(keptWeight(static_cast<uint16_t>(w), 0), 0);
    }
    EXPECT_EQ(keptWeight(40000, 32768), 20000);
}

} // namespace
