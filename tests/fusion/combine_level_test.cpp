#include "fusion/combine_level.h"

#include "analysis/weight_maps.h"

#include "level_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

TEST(CombineWeightRow, WeightedSumOfTruncatedPercentages)
{
    const uint16_t c[] = {65535, 1000, 0, 99};
    const uint16_t e[] = {0, 2000, 65535, 1};
    const uint16_t s[] = {65535, 3000, 65535, 0};
    uint16_t out[4];
    // 0.333f * 100 = 33.3 -> 33; 0.5 -> 50; 0.167 -> 16.7 -> 16.
    combineWeightRow(c, 0.333f, e, 0.5f, s, 0.167f, 4, out);
    EXPECT_EQ((33 * 65535 + 16 * 65535) / 100, out[0]);
    EXPECT_EQ((50 * 2000 + 16 * 3000 + 33 * 1000) / 100, out[1]);
    EXPECT_EQ((50 * 65535 + 16 * 65535) / 100, out[2]);
    EXPECT_EQ((33 * 99 + 50 * 1) / 100, out[3]); // 33.67 truncates to 33
}

TEST(CombineWeightRow, SingleMeasureAndTinyWeights)
{
    const uint16_t c[] = {40000, 5};
    const uint16_t e[] = {65535, 12345};
    const uint16_t s[] = {100, 65535};
    uint16_t out[2];
    combineWeightRow(c, 0.0f, e, 1.0f, s, 0.0f, 2, out);
    EXPECT_EQ(65535, out[0]);
    EXPECT_EQ(12345, out[1]);
    // 100 * 0.004 = 0.4 truncates to 0: the measure drops out entirely.
    combineWeightRow(c, 0.004f, e, 0.0f, s, 0.004f, 2, out);
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(0, out[1]);
}

class CombineLevelTest : public ScratchTest {
protected:
    // Two images whose level is one row of the given pixels; weights from "e"
    // only. At level 0 the canvas is set to match.
    void twoImages(const std::vector<WorkPixel>& a, const std::vector<uint16_t>& wa, const std::vector<WorkPixel>& b,
                   const std::vector<uint16_t>& wb, int level = 0)
    {
        const int w = static_cast<int>(a.size());
        if (level == 0)
            run.canvas = ImageRegion{0, 0, w, 1};
        writeLevelFile(run, "/in/a.tif", level, a, w, 1);
        writeWeightFile(run, "/in/a.tif", "e", level, wa, w, 1);
        writeLevelFile(run, "/in/b.tif", level, b, w, 1);
        writeWeightFile(run, "/in/b.tif", "e", level, wb, w, 1);
    }
    std::vector<WorkPixel> combine(CombineMode mode, int level = 0)
    {
        TestList list({"/in/a.tif", "/in/b.tif"});
        std::vector<WorkPixel> out(static_cast<size_t>(run.canvas.width) * run.canvas.height, px(7, 7, 7, 7));
        Status status = combineLevel(run, list.get(), level, 0.0f, 1.0f, 0.0f, mode, out.data());
        EXPECT_TRUE(status.ok()) << status.consoleText();
        return out;
    }
    // Trace lines of files opened (with a handle) and closed.
    static size_t openedFiles(const std::string& trace)
    {
        size_t count = 0;
        for (size_t at = trace.find("|open(r)|"); at != std::string::npos; at = trace.find("|open(r)|", at + 1))
            count += trace.compare(at + 9, 5, "(nil)") != 0;
        return count;
    }
    static size_t closedFiles(const std::string& trace)
    {
        size_t count = 0;
        for (size_t at = trace.find("|close|"); at != std::string::npos; at = trace.find("|close|", at + 1))
            ++count;
        return count;
    }
};

TEST_F(CombineLevelTest, AverageAndMaximumRules)
{
    // x0: weighted; x1: equal largest weights (tie); x2: all weights zero;
    // x3: valid in neither image; x4: valid only in b, with its own alpha.
    twoImages({px(100, -200, 300), px(10, 20, 30), px(10, 21, -30), px(5, 5, 5, 0), px(1, 2, 3, 0)},
              {30000, 500, 0, 65535, 65535},
              {px(400, 100, -300), px(50, 60, 70), px(41, 40, 30), px(6, 6, 6, 0), px(9, 8, 7, 77)},
              {10000, 500, 0, 65535, 3});

    std::vector<WorkPixel> avg = combine(CombineMode::Average);
    // (100*30000 + 400*10000) / 40000 = 175; (-200*30000 + 100*10000)/40000 = -125 (truncated toward zero).
    EXPECT_TRUE(samePixel(px(175, -125, 150), avg[0]));
    EXPECT_TRUE(samePixel(px(30, 40, 50), avg[1]));
    // Zero weights: plain mean, truncated toward zero ((21+40)/2 = 30, 0/2 = 0).
    EXPECT_TRUE(samePixel(px(25, 30, 0), avg[2]));
    EXPECT_TRUE(samePixel(px(0, 0, 0, 0), avg[3]));
    // Average output alpha is always 16384, whatever the source alpha.
    EXPECT_TRUE(samePixel(px(9, 8, 7, kAlphaPresent), avg[4]));

    std::vector<WorkPixel> max = combine(CombineMode::Maximum);
    EXPECT_TRUE(samePixel(px(100, -200, 300), max[0]));
    EXPECT_TRUE(samePixel(px(10, 20, 30), max[1]));     // tie: the earlier image
    EXPECT_TRUE(samePixel(px(10, 21, -30), max[2]));    // zero weights: first valid image
    EXPECT_TRUE(samePixel(px(0, 0, 0, 0), max[3]));
    EXPECT_TRUE(samePixel(px(9, 8, 7, 77), max[4]));    // the chosen image's own alpha

    // Hybrid combines like Average at this level.
    std::vector<WorkPixel> hybrid = combine(CombineMode::Hybrid);
    for (size_t i = 0; i < avg.size(); ++i)
        EXPECT_TRUE(samePixel(avg[i], hybrid[i])) << i;
}

TEST_F(CombineLevelTest, BandsCoverEveryRowOfATallLevel)
{
    // 120 rows: bands of 32, 32, 32 and 24. Every row carries its own values and
    // weights, so a row read into the wrong band slot shows up.
    const int w = 3, h = 120;
    run.canvas = ImageRegion{0, 0, w, h};
    std::vector<WorkPixel> a, b;
    std::vector<uint16_t> wa, wb;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            a.push_back(px(y, x, -y));
            b.push_back(px(1000 + y, 1000 + x, 1000));
            wa.push_back(static_cast<uint16_t>(y % 2 == 0 ? 3000 : 1000));
            wb.push_back(static_cast<uint16_t>(1000));
        }
    }
    writeLevelFile(run, "/in/a.tif", 0, a, w, h);
    writeWeightFile(run, "/in/a.tif", "e", 0, wa, w, h);
    writeLevelFile(run, "/in/b.tif", 0, b, w, h);
    writeWeightFile(run, "/in/b.tif", "e", 0, wb, w, h);

    std::vector<WorkPixel> avg = combine(CombineMode::Average);
    std::vector<WorkPixel> max = combine(CombineMode::Maximum);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y) * w + x;
            const int64_t wA = y % 2 == 0 ? 3000 : 1000;
            const int64_t total = wA + 1000;
            WorkPixel expected = px(static_cast<int>((y * wA + (1000 + y) * 1000) / total),
                                    static_cast<int>((x * wA + (1000 + x) * 1000) / total),
                                    static_cast<int>((-y * wA + 1000 * 1000) / total));
            ASSERT_TRUE(samePixel(expected, avg[i])) << "row " << y << " col " << x;
            // Equal weights on odd rows: the tie goes to image a.
            ASSERT_TRUE(samePixel(px(y, x, -y), max[i])) << "row " << y << " col " << x;
        }
    }
}

TEST_F(CombineLevelTest, CoarserLevelUsesHalvedGeometry)
{
    // A 5 x 3 canvas has level 1 of 3 x 2; the call fills exactly that.
    run.canvas = ImageRegion{0, 0, 5, 3};
    std::vector<WorkPixel> a(6, px(1, 2, 3)), b(6, px(3, 4, 5));
    std::vector<uint16_t> wa(6, 100), wb(6, 100);
    writeLevelFile(run, "/in/a.tif", 1, a, 3, 2);
    writeWeightFile(run, "/in/a.tif", "e", 1, wa, 3, 2);
    writeLevelFile(run, "/in/b.tif", 1, b, 3, 2);
    writeWeightFile(run, "/in/b.tif", "e", 1, wb, 3, 2);
    TestList list({"/in/a.tif", "/in/b.tif"});
    std::vector<WorkPixel> out(8, px(9, 9, 9, 9));
    ASSERT_TRUE(combineLevel(run, list.get(), 1, 0.0f, 1.0f, 0.0f, CombineMode::Average, out.data()).ok());
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(samePixel(px(2, 3, 4), out[i])) << i;
    EXPECT_TRUE(samePixel(px(9, 9, 9, 9), out[6])); // beyond W_L x H_L: untouched
}

TEST_F(CombineLevelTest, MeasuresAreReadOnlyForPositiveWeights)
{
    run.canvas = ImageRegion{0, 0, 2, 1};
    writeLevelFile(run, "/in/a.tif", 0, {px(1, 1, 1), px(2, 2, 2)}, 2, 1);
    writeWeightFile(run, "/in/a.tif", "e", 0, {10, 20}, 2, 1);
    TestList list({"/in/a.tif"});
    std::vector<WorkPixel> out(2);
    // No "c" or "s" file exists: weights of 0 (or below) never open them.
    ASSERT_TRUE(combineLevel(run, list.get(), 0, 0.0f, 1.0f, -0.5f, CombineMode::Maximum, out.data()).ok());
    EXPECT_TRUE(samePixel(px(2, 2, 2), out[1]));
    // A weight of 0.004 contributes nothing, but its file is still opened
    // (when contrast files are kept); the files already open are closed again.
    settings.keepGroupResults = true;
    const std::string contrast = run.scratch.scratchName("/in/a.tif", "c", 0);
    run.console.setTracing(true);
    testing::internal::CaptureStdout();
    Status status = combineLevel(run, list.get(), 0, 0.004f, 0.996f, 0.0f, CombineMode::Maximum, out.data());
    const std::string console = testing::internal::GetCapturedStdout();
    run.console.setTracing(false);
    EXPECT_EQ(status.exitCode(), kExitIoError);
    EXPECT_EQ(status.consoleText(), "Cannot open TIFF file for r: " + contrast);
    EXPECT_NE(console.find("Couldn't open TIFF file: " + contrast + "File|" + contrast + "|open(r)|(nil)\n"),
              std::string::npos)
        << console;
    EXPECT_EQ(openedFiles(console), 1u) << console;
    EXPECT_EQ(closedFiles(console), 1u) << console;
}

TEST_F(CombineLevelTest, MissingLevelFileEndsTheRun)
{
    run.canvas = ImageRegion{0, 0, 2, 1};
    TestList list({"/in/none.tif"});
    const std::string level = run.scratch.scratchName("/in/none.tif", "l", 0);
    std::vector<WorkPixel> out(2);
    testing::internal::CaptureStdout();
    Status status = combineLevel(run, list.get(), 0, 0.0f, 1.0f, 0.0f, CombineMode::Average, out.data());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Couldn't open TIFF file: " + level);
    EXPECT_EQ(status.exitCode(), kExitIoError);
    EXPECT_EQ(status.consoleText(), "Cannot open TIFF file for r: " + level);
}

TEST_F(CombineLevelTest, ShortLevelFileEndsTheRun)
{
    run.canvas = ImageRegion{0, 0, 2, 3};
    writeLevelFile(run, "/in/a.tif", 0, {px(1, 1, 1), px(2, 2, 2)}, 2, 1); // one row where three are expected
    TestList list({"/in/a.tif"});
    std::vector<WorkPixel> out(6);
    run.console.setTracing(true);
    testing::internal::CaptureStdout();
    Status status = combineLevel(run, list.get(), 0, 0.0f, 0.0f, 0.0f, CombineMode::Average, out.data());
    const std::string console = testing::internal::GetCapturedStdout();
    run.console.setTracing(false);
    EXPECT_EQ(status.exitCode(), kExitIoError);
    EXPECT_EQ(status.consoleText(), "Error reading scanline 1\n");
    EXPECT_EQ(openedFiles(console), 1u) << console;
    EXPECT_EQ(closedFiles(console), 1u) << console;
}

// Rows are read into buffers of the level's width: a level or weight file
// replaced by one of another width, depth or kind is refused before a row of
// it is read (a wider one overran the buffers).
TEST_F(CombineLevelTest, ScratchFileOfAnotherLayoutEndsTheRunBeforeAnyRead)
{
    run.canvas = ImageRegion{0, 0, 4, 2};
    const std::vector<WorkPixel> level(8, px(1, 2, 3));
    const std::vector<uint16_t> weights(8, 100);
    struct Case {
        const char* what;
        const char* tag;  // the file replaced
        std::function<void()> replace;
        std::string holds;
    };
    const std::vector<Case> cases = {
        {"wider level", "l", [&] { writeLevelFile(run, "/in/b.tif", 0, std::vector<WorkPixel>(16, px(1, 1, 1)), 8, 2); },
         "rows of 8 pixels of 4 16-bit samples instead of 4 of 4 16-bit"},
        {"weights as level", "l", [&] { writeWeightFile(run, "/in/b.tif", "l", 0, weights, 4, 2); },
         "rows of 4 pixels of 1 16-bit samples instead of 4 of 4 16-bit"},
        {"level as weights", "e",
         [&] {
             ASSERT_TRUE(writeLaplacianFile(run, run.scratch.scratchName("/in/b.tif", "e", 0), level.data(), 4, 2,
                                            run.canvas)
                             .ok());
         },
         "rows of 4 pixels of 4 16-bit samples instead of 4 of 1 16-bit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeLevelFile(run, "/in/a.tif", 0, level, 4, 2);
        writeWeightFile(run, "/in/a.tif", "e", 0, weights, 4, 2);
        writeLevelFile(run, "/in/b.tif", 0, level, 4, 2);
        writeWeightFile(run, "/in/b.tif", "e", 0, weights, 4, 2);
        c.replace();
        TestList list({"/in/a.tif", "/in/b.tif"});
        std::vector<WorkPixel> out(8);
        const Status status = combineLevel(run, list.get(), 0, 0.0f, 1.0f, 0.0f, CombineMode::Average, out.data());
        EXPECT_EQ(status.exitCode(), kExitIoError);
        EXPECT_EQ(status.consoleText(), "Scratch file " + run.scratch.scratchName("/in/b.tif", c.tag, 0) + " holds " +
                                            c.holds + ": changed since it was written\n");
    }
}

TEST_F(CombineLevelTest, DetailSuppressionPullsSmallDetailTowardTheMean)
{
    // a has the larger weight everywhere; b supplies the other half of the mean.
    const std::vector<WorkPixel> a = {px(10, 10, 10), px(10, 10, 300), px(10, 500, 10)};
    const std::vector<WorkPixel> b = {px(30, 30, 31), px(30, 30, 30), px(30, 30, 30)};
    twoImages(a, {900, 900, 900}, b, {100, 100, 100});
    settings.useYCrCb = true;
    settings.noise.duringBlend = true;
    settings.noise.lumaThreshold = 0.1f;   // limit trunc(0.1 * 1920) = 192
    settings.noise.chromaThreshold = 0.1f;
    settings.noise.lumaFactor = 0.5f;
    settings.noise.chromaFactor = 0.25f;

    std::vector<WorkPixel> out = combine(CombineMode::Maximum);
    // Luma: 0.5 * mean(20) + 10 * 0.5 = 15. Chroma: 10 * 0.25 + 20 * 0.75 = 17,
    // c2: 10 * 0.25 + 20 * 0.75 = 17 (mean of 10 and 31 truncates to 20).
    EXPECT_TRUE(samePixel(px(17, 15, 17), out[0]));
    // Chroma detail 300 is above the limit: only luma is smoothed.
    EXPECT_TRUE(samePixel(px(10, 15, 300), out[1]));
    // Luma detail 500 is above the limit: only chroma is smoothed.
    EXPECT_TRUE(samePixel(px(17, 500, 17), out[2]));

    // Not at level 1 with the default -nv/-nw of 1, and never in Average mode
    // or without YCrCb.
    out = combine(CombineMode::Average);
    EXPECT_TRUE(samePixel(px(12, 12, 12), out[0]));
    run.canvas = ImageRegion{0, 0, 6, 2};
    twoImages(a, {900, 900, 900}, b, {100, 100, 100}, 1);
    out = combine(CombineMode::Maximum, 1);
    EXPECT_TRUE(samePixel(px(10, 10, 10), out[0]));
    settings.noise.lumaLevels = 2;
    out = combine(CombineMode::Maximum, 1);
    EXPECT_TRUE(samePixel(px(10, 15, 10), out[0]));
    run.canvas = ImageRegion{0, 0, 3, 1};
    settings.useYCrCb = false;
    out = combine(CombineMode::Maximum);
    EXPECT_TRUE(samePixel(px(10, 10, 10), out[0]));
}

// The combination rules written out plainly, one pixel at a time, for
// comparison with the band-wise implementation.
struct ReferenceLevel {
    std::vector<WorkPixel> out;
    int picked = 0, lumaSmoothed = 0, chromaSmoothed = 0;
};

ReferenceLevel referenceCombine(const RunSettings& settings, const std::vector<std::vector<WorkPixel>>& lap,
                                const std::vector<std::vector<uint16_t>>& c, const std::vector<std::vector<uint16_t>>& e,
                                const std::vector<std::vector<uint16_t>>& s, float wc, float we, float ws,
                                CombineMode mode, int level)
{
    const NoiseParams& np = settings.noise;
    const int lumaLimit = static_cast<int>(static_cast<double>(np.lumaThreshold) * 1920.0);
    const int chromaLimit = static_cast<int>(static_cast<double>(np.chromaThreshold) * 1920.0);
    const bool maximum = mode == CombineMode::Maximum;
    const bool active = np.duringBlend && maximum && settings.useYCrCb && (lumaLimit > 0 || chromaLimit > 0);
    const int ce = static_cast<int>(100.0f * we), cs = static_cast<int>(100.0f * ws), cc = static_cast<int>(100.0f * wc);
    const size_t n = lap.size(), size = lap[0].size();
    ReferenceLevel r;
    r.out.assign(size, px(0, 0, 0, 0));
    for (size_t i = 0; i < size; ++i) {
        std::vector<uint16_t> w(n);
        for (size_t k = 0; k < n; ++k) {
            int sum = ce * e[k][i] + cs * s[k][i] + cc * c[k][i];
            w[k] = static_cast<uint16_t>(sum / 100);
        }
        int64_t S[3], P[3], total = 0;
        int count = 0, chosen = 0;
        for (int pass = 0; pass < 2; ++pass) {
            S[0] = S[1] = S[2] = P[0] = P[1] = P[2] = 0;
            total = 0;
            count = 0;
            unsigned best = 0;
            for (size_t k = 0; k < n; ++k) {
                const WorkPixel& L = lap[k][i];
                if (L.alpha == 0)
                    continue;
                const int wk = pass == 0 ? w[k] : 1;
                const int v[3] = {L.c0, L.c1, L.c2};
                for (int ch = 0; ch < 3; ++ch) {
                    S[ch] += static_cast<int32_t>(v[ch] * wk);
                    if (active)
                        P[ch] += v[ch];
                }
                total += wk;
                ++count;
                if (static_cast<unsigned>(wk) > best) {
                    best = static_cast<unsigned>(wk);
                    chosen = static_cast<int>(k);
                }
            }
            if (total != 0)
                break;
        }
        if (count == 0)
            continue;
        WorkPixel& o = r.out[i];
        if (!maximum) {
            o = px(static_cast<int>(S[0] / total), static_cast<int>(S[1] / total), static_cast<int>(S[2] / total),
                   16384);
            continue;
        }
        ++r.picked;
        const WorkPixel& L = lap[chosen][i];
        o = L;
        if (!active)
            continue;
        const int64_t M0 = P[0] / count, M1 = P[1] / count, M2 = P[2] / count;
        const float fL = np.lumaFactor, fC = np.chromaFactor;
        if (level < np.lumaLevels && std::abs(L.c1) < lumaLimit) {
            ++r.lumaSmoothed;
            o.c1 = static_cast<int16_t>(static_cast<int>((1.0f - fL) * static_cast<float>(M1) + static_cast<float>(L.c1) * fL));
        }
        if (level < np.chromaLevels && std::max(std::abs(L.c0), std::abs(L.c2)) < chromaLimit) {
            ++r.chromaSmoothed;
            o.c0 = static_cast<int16_t>(static_cast<int>(static_cast<float>(L.c0) * fC + static_cast<float>(M0) * (1.0f - fC)));
            o.c2 = static_cast<int16_t>(static_cast<int>(static_cast<float>(L.c2) * fC + static_cast<float>(M2) * (1.0f - fC)));
        }
    }
    return r;
}

TEST_F(CombineLevelTest, MatchesThePlainRulesOnRandomExtremes)
{
    // Five images on a 29 x 61 canvas (level 0: bands of 32 and 29 rows; level
    // 1: 15 x 31). Details mix small values (so suppression engages) with the
    // extremes of the 16-bit range, which wrap when stored with their offset;
    // weights come from a few values so that ties and all-zero pixels occur.
    run.canvas = ImageRegion{0, 0, 29, 61};
    settings.useYCrCb = true;
    settings.noise.duringBlend = true;
    settings.noise.lumaThreshold = 0.3f;   // limit 576
    settings.noise.chromaThreshold = 0.2f; // limit 384
    settings.noise.lumaFactor = 0.37f;
    settings.noise.chromaFactor = 0.81f;
    settings.noise.lumaLevels = 2;
    settings.verbosity = 1;
    const std::vector<std::string> names = {"/in/a.tif", "/in/b.tif", "/in/c.tif", "/in/d.tif", "/in/e.tif"};
    const int n = static_cast<int>(names.size());
    const size_t allAtOnce = run.combineBudget;
    const float wc = 0.29f, we = 0.33f, ws = 0.38f; // 100 * 0.29f truncates to 28
    std::mt19937 random(12345);
    auto detail = [&]() {
        static const int extremes[] = {-32768, 32767, -8193, -8192, 24575, 24576, -1, 0};
        if (random() % 8 == 0)
            return extremes[random() % 8];
        return static_cast<int>(random() % 1401) - 700;
    };
    auto weight = [&]() -> uint16_t {
        static const uint16_t common[] = {0, 0, 1000, 65535};
        return random() % 3 == 0 ? static_cast<uint16_t>(random()) : common[random() % 4];
    };
    // With kept contrast files their weights are read; without, they are made
    // from the level rows and must equal those of the level itself.
    for (const bool keptContrast : {true, false})
    for (int level = 0; level < 2; ++level) {
        settings.keepGroupResults = keptContrast;
        const int w = level == 0 ? 29 : 15, h = level == 0 ? 61 : 31;
        const size_t size = static_cast<size_t>(w) * h;
        std::vector<std::vector<WorkPixel>> lap(n);
        std::vector<std::vector<uint16_t>> c(n), e(n), s(n);
        for (size_t k = 0; k < names.size(); ++k) {
            for (size_t i = 0; i < size; ++i) {
                const int a = random() % 10;
                lap[k].push_back(px(detail(), detail(), detail(), a < 3 ? 0 : (a == 3 ? -1 : kAlphaPresent)));
                const bool dark = i % 7 == 0; // every weight zero at this pixel
                c[k].push_back(dark ? 0 : weight());
                e[k].push_back(dark ? 0 : weight());
                s[k].push_back(dark ? 0 : weight());
            }
            writeLevelFile(run, names[k], level, lap[k], w, h);
            if (!keptContrast)
                contrastWeights(lap[k].data(), size, settings.useYCrCb, c[k].data());
            writeWeightFile(run, names[k], "c", level, keptContrast ? c[k] : std::vector<uint16_t>(size, 7), w, h);
            writeWeightFile(run, names[k], "e", level, e[k], w, h);
            writeWeightFile(run, names[k], "s", level, s[k], w, h);
        }
        TestList list(names);
        // Memory budgets from all images at once down to none at all (one
        // image at a time): the running sums must carry every rule across
        // groups, even and uneven.
        std::set<int> groupSizes;
        for (size_t budget : {allAtOnce, size_t{210000}, size_t{160000}, size_t{105000}, size_t{80000},
                              size_t{0}})
        // The Maximum rule also without suppression, whose sums between
        // groups are the choice alone.
        for (int rule = 0; rule < 4; ++rule) {
            const CombineMode mode = rule == 0 ? CombineMode::Average : rule == 3 ? CombineMode::Hybrid
                                                                                  : CombineMode::Maximum;
            settings.noise.duringBlend = rule != 2;
            run.combineBudget = budget;
            ReferenceLevel expected = referenceCombine(settings, lap, c, e, s, wc, we, ws, mode, level);
            std::vector<WorkPixel> out(size, px(5, 5, 5, 5));
            settings.verbosity = 2;
            testing::internal::CaptureStdout();
            Status status = combineLevel(run, list.get(), level, wc, we, ws, mode, out.data());
            std::string console = testing::internal::GetCapturedStdout();
            settings.verbosity = 1;
            ASSERT_TRUE(status.ok()) << status.consoleText();
            // The group size, from the verbose lines; what follows them is the
            // level's result line.
            const size_t at = console.find(" images at a time\n");
            const int group = at == std::string::npos ? n : std::atoi(console.c_str() + console.rfind(", ", at) + 2);
            groupSizes.insert(group);
            console.erase(0, at == std::string::npos ? console.find('\n') + 1 : at + 18);
            for (size_t i = 0; i < size; ++i)
                ASSERT_TRUE(samePixel(expected.out[i], out[i]))
                    << "level " << level << (keptContrast ? " (kept contrast)" : "") << " mode "
                    << combineModeName(mode) << " group of " << group << " pixel " << i << ": " << out[i].c0
                    << "," << out[i].c1 << "," << out[i].c2 << "," << out[i].alpha << " expected " << expected.out[i].c0
                    << "," << expected.out[i].c1 << "," << expected.out[i].c2 << "," << expected.out[i].alpha;
            if (rule == 1) {
                ASSERT_GT(expected.lumaSmoothed, 0);
                EXPECT_EQ(level == 0, expected.chromaSmoothed > 0);
                char line[80];
                std::snprintf(line, sizeof line, "NR (luma, color) = %.1f%%, %.1f%%\n",
                              100.0f * static_cast<float>(expected.lumaSmoothed) / static_cast<float>(expected.picked),
                              100.0f * static_cast<float>(expected.chromaSmoothed) / static_cast<float>(expected.picked));
                EXPECT_EQ(line, console);
            } else {
                EXPECT_EQ("", console);
            }
        }
        EXPECT_TRUE(groupSizes.count(1) == 1 && groupSizes.count(n) == 1 &&
                    std::any_of(groupSizes.begin(), groupSizes.end(), [&](int g) { return g > 1 && g < n && n % g != 0; }))
            << "level " << level << ": the budgets give no uneven groups";
    }
}

TEST_F(CombineLevelTest, VerboseCombiningLine)
{
    twoImages({px(1, 2, 3)}, {7}, {px(4, 5, 6)}, {9});
    settings.verbosity = 2;
    TestList list({"/in/a.tif", "/in/b.tif"});
    std::vector<WorkPixel> out(1);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(combineLevel(run, list.get(), 0, 0.0f, 1.0f, 0.0f, CombineMode::Hybrid, out.data()).ok());
    EXPECT_EQ("Combining 2 images at level 0 (1 x 1), C/E/S wgts=0.00,1.00,0.00, lapl mode=Hybrid\n",
              testing::internal::GetCapturedStdout());
}

} // namespace
