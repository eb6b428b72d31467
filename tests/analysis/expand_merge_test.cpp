#include "analysis/pyramid.h"
#include "support/worker_pool.h"

#include "resource_limits.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using Image = std::vector<WorkPixel>;

WorkPixel px(int c0, int c1, int c2, int alpha = kAlphaPresent)
{
    return WorkPixel{static_cast<int16_t>(c0), static_cast<int16_t>(c1), static_cast<int16_t>(c2),
                     static_cast<int16_t>(alpha)};
}

bool same(const Image& a, const Image& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].c0 != b[i].c0 || a[i].c1 != b[i].c1 || a[i].c2 != b[i].c2 || a[i].alpha != b[i].alpha)
            return false;
    return true;
}

// Smooth gradients, edges, texture and sensor-like noise, with an uncovered
// corner and a scatter of absent pixels: what a placed photograph looks like.
Image photoLike(int w, int h, unsigned seed, bool holes)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 120.0);
    Image img(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double base = 3000.0 + 9000.0 * x / w + 2500.0 * std::sin(y * 0.05) * std::cos(x * 0.031);
            if ((x / 40 + y / 40) % 2 == 0)
                base += 1800.0;  // hard edges
            auto clampTo = [](double v) { return static_cast<int>(std::fmin(16383.0, std::fmax(0.0, v))); };
            WorkPixel& p = img[static_cast<size_t>(y) * w + x];
            p = px(clampTo(base + noise(rng)), clampTo(base * 0.8 + noise(rng)), clampTo(base * 0.6 + noise(rng)));
            if (holes && ((x < w / 5 && y < h / 4) || rng() % 97 == 0))
                p.alpha = 0;
        }
    return img;
}

class ExpandMergeTest : public FreshSettingsTest {};

TEST_F(ExpandMergeTest, RowSplit)
{
    int first[8], last[8];
    ASSERT_EQ(WorkerPool::splitRows(33, 8, first, last), 8);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(first[i], 4 * i);
        EXPECT_EQ(last[i], 4 * i + 3);
    }
    EXPECT_EQ(first[7], 28);
    EXPECT_EQ(last[7], 32);

    ASSERT_EQ(WorkerPool::splitRows(32, 8, first, last), 1);  // exactly 4*T rows: one worker
    EXPECT_EQ(first[0], 0);
    EXPECT_EQ(last[0], 31);

    ASSERT_EQ(WorkerPool::splitRows(0, 8, first, last), 1);  // empty range
    EXPECT_GT(first[0], last[0]);

    ASSERT_EQ(WorkerPool::splitRows(100, 3, first, last), 3);
    EXPECT_EQ(last[1], 65);
    EXPECT_EQ(last[2], 99);
}

TEST_F(ExpandMergeTest, MergeClampsAndAlphaRule)
{
    const WorkPixel a[3] = {px(30000, -30000, 100), px(-20000, 5, 16383, 0), px(1, 2, 3)};
    const WorkPixel b[3] = {px(10000, 10000, -100), px(-20000, 5, 0), px(4, 5, 6, 0)};
    WorkPixel out[3];
    mergeRow(a, b, out, 3, MergeType::Add);
    EXPECT_EQ(out[0].c0, 32767);
    EXPECT_EQ(out[0].c1, -20000);
    EXPECT_EQ(out[0].alpha, kAlphaPresent);
    EXPECT_EQ(out[1].c0, -32767);  // never -32768
    EXPECT_EQ(out[1].alpha, 0);
    EXPECT_EQ(out[2].alpha, 0);
    mergeRow(a, b, out, 3, MergeType::Subtract);
    EXPECT_EQ(out[0].c0, 20000);
    EXPECT_EQ(out[0].c1, -32767);
    EXPECT_EQ(out[0].c2, 200);
    EXPECT_EQ(out[1].c2, 16383);
    mergeRow(a, b, out, 3, MergeType::Copy);
    EXPECT_EQ(out[2].c0, 4);
    EXPECT_EQ(out[2].alpha, 0);

    // Random rows, extremes included, against the rule pixel by pixel (odd
    // length, so both the paired and the single-pixel path run).
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> value(-32768, 32767);
    const int pool[] = {-32768, -32767, -1, 0, 1, 32766, 32767};
    Image x(101), y(101), sum(101), diff(101);
    for (int i = 0; i < 101; ++i) {
        auto pick = [&] { return rng() % 3 == 0 ? pool[rng() % 7] : value(rng); };
        x[i] = px(pick(), pick(), pick(), rng() % 4 == 0 ? 0 : pick());
        y[i] = px(pick(), pick(), pick(), rng() % 4 == 0 ? 0 : pick());
    }
    mergeRow(x.data(), y.data(), sum.data(), 101, MergeType::Add);
    mergeRow(x.data(), y.data(), diff.data(), 101, MergeType::Subtract);
    auto clampTo = [](int v) { return v < -32767 ? -32767 : (v > 32767 ? 32767 : v); };
    for (int i = 0; i < 101; ++i) {
        const int alpha = (x[i].alpha != 0 && y[i].alpha != 0) ? kAlphaPresent : 0;
        ASSERT_EQ(sum[i].c0, clampTo(x[i].c0 + y[i].c0)) << i;
        ASSERT_EQ(sum[i].c1, clampTo(x[i].c1 + y[i].c1)) << i;
        ASSERT_EQ(sum[i].c2, clampTo(x[i].c2 + y[i].c2)) << i;
        ASSERT_EQ(diff[i].c0, clampTo(x[i].c0 - y[i].c0)) << i;
        ASSERT_EQ(diff[i].c2, clampTo(x[i].c2 - y[i].c2)) << i;
        ASSERT_EQ(sum[i].alpha, alpha) << i;
        ASSERT_EQ(diff[i].alpha, alpha) << i;
    }

    WorkPixel inPlace[1] = {px(100, 100, 100)};
    mergeRow(inPlace, b + 2, inPlace, 1, MergeType::Subtract);
    EXPECT_EQ(inPlace[0].c0, 96);
}

TEST_F(ExpandMergeTest, UnknownMergeTypeIsFatal)
{
    const Image coarse(4, px(1, 1, 1));
    const Image before(16, px(1, 1, 1));
    // Refused before any row is touched, also when there is no row at all.
    for (int height : {4, 0}) {
        Image dest = before;
        Status status = expandAndMerge(run, coarse.data(), 4, height, dest.data(), static_cast<MergeType>(3));
        EXPECT_EQ(status.exitCode(), kExitFatal) << height;
        EXPECT_EQ(status.consoleText(), "Fatal Error: unknown combine mode specified\n") << height;
        EXPECT_TRUE(same(dest, before)) << height;
    }
}

TEST_F(ExpandMergeTest, ThreadThatCannotStartCostsOnlySpeed)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address-space limit below conflicts with the sanitizer's shadow memory";
#else
    // 16 rows over 2 workers: two bands, so the pool has to start its thread.
    // The C library keeps the stacks of finished threads for reuse, so the
    // check runs in a freshly started copy of this test program, where no
    // stack is cached; it exits 0 when the run succeeded with the one-worker
    // result, the calling thread having taken both bands.
    auto check = [&] {
        const Image coarse(2 * 8, px(1, 1, 1));
        const Image before(4 * 16, px(1, 1, 1));
        testRun_.reset(1);
        Image expected = before;
        if (!expandAndMerge(run, coarse.data(), 4, 16, expected.data(), MergeType::Add).ok())
            std::_Exit(4);
        testRun_.reset(2);
        Image dest = before;
        Status status;
        {
            AddressSpaceCap cap;
            if (!cap.applied())
                std::_Exit(3);
            status = expandAndMerge(run, coarse.data(), 4, 16, dest.data(), MergeType::Add);
        }
        std::_Exit(status.ok() && same(dest, expected) && !same(dest, before) ? 0 : 1);
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(check(), testing::ExitedWithCode(0), "");
#endif
}

TEST_F(ExpandMergeTest, SameResultForAnyWorkerCount)
{
    const int w = 517, h = 301;
    const Image fine = photoLike(w, h, 11, true);
    Image coarse(static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2));
    for (bool wrap : {false, true}) {
        reduceLevel(fine.data(), w, h, coarse.data(), wrap);
        for (MergeType type : {MergeType::Subtract, MergeType::Add}) {
            Image expected;
            for (int workers : {1, 2, 3, 8}) {
                testRun_.reset(workers);
                ASSERT_EQ(run.pool.workers(), workers);
                run.settings.wrapAround = wrap;
                Image dest = fine;
                ASSERT_TRUE(expandAndMerge(run, coarse.data(), w, h, dest.data(), type).ok());
                if (expected.empty())
                    expected = dest;
                else
                    EXPECT_TRUE(same(dest, expected)) << workers << " workers, type " << static_cast<int>(type);
            }
        }
    }
}

TEST_F(ExpandMergeTest, OneTrackedRowPerWorker)
{
    Options options = testOptions(testRun_.dir().path());
    options.traceResources = true;
    options.workerCount = 3;
    testRun_.reset(options);
    Image coarse(50 * 50, px(5, 5, 5));
    Image dest(100 * 100, px(5, 5, 5));
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(expandAndMerge(run, coarse.data(), 100, 100, dest.data(), MergeType::Subtract).ok());
    const std::string out = ::testing::internal::GetCapturedStdout();
    int allocs = 0, frees = 0;
    for (size_t at = 0; (at = out.find("Mem|", at)) != std::string::npos; ++at) {
        allocs += out.compare(out.find('|', at + 4), 7, "|alloc|") == 0;
        frees += out.compare(out.find('|', at + 4), 6, "|free|") == 0;
    }
    EXPECT_EQ(allocs, 3);
    EXPECT_EQ(frees, 3);
    EXPECT_NE(out.find("|alloc|"), std::string::npos);
    EXPECT_NE(out.find("|800\n"), std::string::npos);  // 100 pixels of 8 bytes
    for (const WorkPixel& p : dest)
        ASSERT_EQ(p.c0, 0);  // constant minus its own expansion
}

TEST_F(ExpandMergeTest, HeightZeroLeavesDestinationUntouched)
{
    Image coarse(4, px(9, 9, 9));
    Image dest(8, px(3, 3, 3));
    EXPECT_TRUE(expandAndMerge(run, coarse.data(), 8, 0, dest.data(), MergeType::Add).ok());
    for (const WorkPixel& p : dest)
        EXPECT_EQ(p.c0, 3);
}

// Gaussian pyramid down to 1 x 1, Laplacian levels by Subtract, then the
// collapse by Add from the top.
Image decomposeAndCollapse(FusionRun& run, const Image& image, int w, int h)
{
    const bool wrap = run.settings.wrapAround;
    std::vector<Image> levels{image};
    std::vector<int> widths{w}, heights{h};
    while (widths.back() > 1 || heights.back() > 1) {
        const int cw = (widths.back() + 1) / 2, ch = (heights.back() + 1) / 2;
        Image next(static_cast<size_t>(cw) * ch);
        reduceLevel(levels.back().data(), widths.back(), heights.back(), next.data(), wrap);
        levels.push_back(next);
        widths.push_back(cw);
        heights.push_back(ch);
    }
    for (size_t k = 0; k + 1 < levels.size(); ++k)
        EXPECT_TRUE(
            expandAndMerge(run, levels[k + 1].data(), widths[k], heights[k], levels[k].data(), MergeType::Subtract)
                .ok());
    for (size_t k = levels.size() - 1; k-- > 0;)
        EXPECT_TRUE(
            expandAndMerge(run, levels[k + 1].data(), widths[k], heights[k], levels[k].data(), MergeType::Add).ok());
    return levels[0];
}

TEST_F(ExpandMergeTest, LaplacianRoundTripIsExactOnPresentImages)
{
    testRun_.reset(2);
    for (bool wrap : {false, true}) {
        run.settings.wrapAround = wrap;
        const Image image = photoLike(203, 97, 3, false);
        EXPECT_TRUE(same(decomposeAndCollapse(run, image, 203, 97), image)) << "wrap " << wrap;
    }
}

TEST_F(ExpandMergeTest, RoundTripAroundAbsentPixels)
{
    const int w = 150, h = 90;
    const Image image = photoLike(w, h, 5, true);
    const Image back = decomposeAndCollapse(run, image, w, h);
    for (size_t i = 0; i < image.size(); ++i) {
        // Colours come back everywhere; absent pixels stay absent.
        ASSERT_EQ(back[i].c0, image[i].c0) << i;
        ASSERT_EQ(back[i].c2, image[i].c2) << i;
        ASSERT_EQ(back[i].alpha, image[i].alpha) << i;
    }

    // A present fine pixel with no present coarse pixel in reach keeps its
    // colour under Subtract but becomes absent.
    Image coarse(4 * 4, px(100, 100, 100));
    coarse[0].alpha = coarse[1].alpha = coarse[4].alpha = coarse[5].alpha = 0;
    Image dest(8 * 8, px(700, 700, 700));
    ASSERT_TRUE(expandAndMerge(run, coarse.data(), 8, 8, dest.data(), MergeType::Subtract).ok());
    EXPECT_EQ(dest[0].c0, 700);
    EXPECT_EQ(dest[0].alpha, 0);
    EXPECT_EQ(dest[7 * 8 + 7].c0, 600);
    EXPECT_EQ(dest[7 * 8 + 7].alpha, kAlphaPresent);
}

} // namespace
