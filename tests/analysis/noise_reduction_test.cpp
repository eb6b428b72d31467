#include "analysis/noise_reduction.h"

#include "analysis/color_space.h"
#include "analysis/pyramid.h"
#include "imageio/image_reader.h"
#include "resource_limits.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Image = std::vector<WorkPixel>;

class NoiseReductionTest : public FreshSettingsTest {
protected:
    // The levels as a run settles them on a canvas deep enough for both.
    void settle()
    {
        run.depths.lumaLevels = settings.noise.lumaLevels;
        run.depths.chromaLevels = settings.noise.chromaLevels;
    }
    // Noise reduction of a whole image; returns what was printed.
    std::string reduce(WorkPixel* image, int width, int height)
    {
        settle();
        testing::internal::CaptureStdout();
        Status status = reduceNoise(run, image, width, height);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(status.ok()) << status.consoleText();
        return out;
    }
    void filter(WorkPixel* level, int width, int height, float lumaThreshold, float chromaThreshold)
    {
        filterNoiseLevel(run, level, width, height, lumaThreshold, chromaThreshold);
    }
};

WorkPixel px(int c0, int c1, int c2, int alpha = kAlphaPresent)
{
    return WorkPixel{int16_t(c0), int16_t(c1), int16_t(c2), int16_t(alpha)};
}

bool same(const Image& a, const Image& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const WorkPixel& p, const WorkPixel& q) {
               return p.c0 == q.c0 && p.c1 == q.c1 && p.c2 == q.c2 && p.alpha == q.alpha;
           });
}

std::string capture(const std::function<void()>& run)
{
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

// Direct recount of every window over the level as updated so far.
void referenceFilter(const NoiseParams& np, WorkPixel* level, int w, int h, float tL, float tC)
{
    const int tl = int(double(tL) * 1920.0), tc = int(double(tC) * 1920.0), r = np.radius;
    const float fL = np.lumaFactor, fC = np.chromaFactor;
    for (int y = r; y < h - r; ++y)
        for (int x = r; x < w - r; ++x) {
            WorkPixel& p = level[y * w + x];
            if (p.alpha == 0)
                continue;
            int n = 0, sY = 0, sCr = 0, sCb = 0, nL = 0, nC = 0;
            for (int v = y - r; v <= y + r; ++v)
                for (int u = x - r; u <= x + r; ++u) {
                    const WorkPixel& q = level[v * w + u];
                    if (q.alpha == 0)
                        continue;
                    ++n, sY += q.c1, sCr += q.c0, sCb += q.c2;
                    nL += std::abs(q.c1) > tl;
                    nC += std::max(std::abs(q.c0), std::abs(q.c2)) > tc;
                }
            if (nC == 0) {
                p.c0 = int16_t(int(float(sCr / n) * (1.0f - fC) + float(p.c0) * fC));
                p.c2 = int16_t(int(float(sCb / n) * (1.0f - fC) + float(p.c2) * fC));
            }
            if (nL == 0)
                p.c1 = int16_t(int(float(sY / n) * (1.0f - fL) + float(p.c1) * fL));
        }
}

// Small detail with occasional spikes and holes, so flat and busy windows mix.
Image randomImage(int w, int h, unsigned seed, int base, int spread)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> small(-spread, spread), big(-6000, 6000), pick(0, 99);
    Image img(size_t(w) * h);
    for (int i = 0; i < w * h; ++i) {
        int k = pick(rng);
        img[i] = px(base + (k < 3 ? big(rng) : small(rng)), base + (k > 96 ? big(rng) : small(rng)),
                    base + small(rng), pick(rng) < 5 ? 0 : kAlphaPresent);
    }
    return img;
}

// The whole decomposition, filtering and collapse in memory, without parking.
Image referenceReduce(FusionRun& run, Image cur, int w, int h)
{
    const NoiseParams& np = run.settings.noise;
    const bool wrap = run.settings.wrapAround;
    std::vector<Image> laps;
    std::vector<int> ws{w}, hs{h};
    rgbToYccPixels(cur.data(), cur.size());
    for (int l = 0; l < std::max(np.lumaLevels, np.chromaLevels); ++l) {
        ws.push_back((ws[l] + 1) >> 1), hs.push_back((hs[l] + 1) >> 1);
        Image coarse(size_t(ws[l + 1]) * hs[l + 1]);
        reduceLevel(cur.data(), ws[l], hs[l], coarse.data(), wrap);
        EXPECT_TRUE(expandAndMerge(run, coarse.data(), ws[l], hs[l], cur.data(), MergeType::Subtract).ok());
        referenceFilter(np, cur.data(), ws[l], hs[l], l < np.lumaLevels ? np.lumaThreshold : -1.0f,
                        l < np.chromaLevels ? np.chromaThreshold : -1.0f);
        laps.push_back(cur);
        cur = coarse;
    }
    for (int l = int(laps.size()) - 1; l >= 0; --l) {
        EXPECT_TRUE(expandAndMerge(run, cur.data(), ws[l], hs[l], laps[l].data(), MergeType::Add).ok());
        cur = laps[l];
    }
    yccToRgbPixels(cur.data(), cur.size());
    return cur;
}

} // namespace

// The incremental window sums must equal a full recount, in-place updates
// included, also with factors above 1 (a smoothed value can then exceed the limit).
TEST_F(NoiseReductionTest, FilterMatchesDirectRecount)
{
    const float factors[][2] = {{0.0f, 0.0f}, {0.25f, 0.6f}, {1.0f, 1.0f}, {1.8f, 2.5f}};
    const float limits[][2] = {{0.3f, 0.3f}, {0.1f, -1.0f}, {-1.0f, 0.25f}, {3.5f, 3.5f}};
    unsigned seed = 1;
    for (int r : {0, 1, 2, 3, 5})
        for (const auto& f : factors)
            for (const auto& t : limits) {
                settings.noise = NoiseParams{0, 0, f[0], f[1], 1, 1, r, false, false};
                const int w = 23 + int(seed % 7), h = 19 + int(seed % 5);
                Image level = randomImage(w, h, seed++, 0, 400), expected = level;
                referenceFilter(settings.noise, expected.data(), w, h, t[0], t[1]);
                filter(level.data(), w, h, t[0], t[1]);
                ASSERT_TRUE(same(level, expected)) << "r " << r << " f " << f[0] << " t " << t[0] << "," << t[1];
            }

    // Extreme samples (the window sums and the removal of a row's old values
    // must stay exact) and alpha values other than 0x4000 (any non-zero one is present).
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> any(-32768, 32767);
    const int extremes[] = {-32768, -32767, 32767, 0, 5};
    const int alphas[] = {0, kAlphaPresent, 1, -1, -32768};
    for (int r : {1, 3}) {
        settings.noise = NoiseParams{0, 0, 0.3f, 0.7f, 1, 1, r, false, false};
        const int w = 21, h = 17;
        Image level(size_t(w) * h);
        auto draw = [&] { return rng() % 3 == 0 ? extremes[rng() % 5] : any(rng); };
        for (WorkPixel& p : level)
            p = px(draw(), draw(), draw(), alphas[rng() % 5]);
        // All windows flat; or limit 32767, which only |-32768| exceeds.
        for (float limit : {20.0f, 17.0663f}) {
            Image a = level, expected = level;
            referenceFilter(settings.noise, expected.data(), w, h, limit, limit);
            filter(a.data(), w, h, limit, limit);
            ASSERT_TRUE(same(a, expected)) << "r " << r << " limit " << limit;
            ASSERT_FALSE(same(a, level));
        }
    }
}

// One 5 x 5 window around the only visited pixel.
TEST_F(NoiseReductionTest, FlatWindowArithmetic)
{
    Image level(25, px(0, 10, 0));
    level[12] = px(50, 100, -50);
    level[0].c1 = 960;  // 0.5 gives the limit 960, which still counts as flat
    Image a = level;
    filter(a.data(), 5, 5, 0.5f, 0.5f);
    EXPECT_EQ(a[12].c1, (23 * 10 + 960 + 100) / 25);
    EXPECT_EQ(a[12].c0, 2);
    EXPECT_EQ(a[12].c2, -2);

    level[0].c1 = 961;  // luma kept, chroma still smoothed
    filter(level.data(), 5, 5, 0.5f, 0.5f);
    EXPECT_EQ(level[12].c1, 100);
    EXPECT_EQ(level[12].c0, 2);

    // Absent pixels neither block nor count; both truncations go toward zero.
    Image c(25, px(0, -10, 0));
    c[12] = px(0, -100, 0);
    c[0] = px(9000, 9000, 9000, 0);
    settings.noise.lumaFactor = 0.5f;
    filter(c.data(), 5, 5, 0.5f, -1.0f);
    EXPECT_EQ(c[12].c1, -56);  // mean -330 / 24 = -13; -6.5 - 50 = -56.5
    EXPECT_EQ(c[12].c0, 0);

    settings.noise.radius = -2;  // no window at all: nothing changes, no crash
    Image d = randomImage(12, 9, 5, 0, 100), before = d;
    filter(d.data(), 12, 9, 0.5f, 0.5f);
    EXPECT_TRUE(same(d, before));
}

TEST_F(NoiseReductionTest, ConsoleLines)
{
    settings.verbosity = 2;
    settings.noise = NoiseParams{0.1f, 0.2f, 0.0f, 0.5f, 1, 2, 2, false, true};
    Image img(16 * 16, px(5000, 6000, 7000));  // no detail: every interior pixel is smoothed
    EXPECT_EQ(reduce(img.data(), 16, 16),
              "Reducing noise. L/C Thresholds=0.10,0.20,  L/C Factors=0.00,0.50,  L/C Levels=1,2,  Radius=2.\n"
              "RGB -> YCC\nAnalyzing noise.Noise reduction complete (0.10 -> 56.25% / 0.20 -> 56.25%)...\n"
              ".Noise reduction complete (-1.00 -> 0.00% / 0.20 -> 25.00%)...\n\nReducing noise..\nYCC -> RGB\n");

    Image small = randomImage(4, 4, 9, 0, 100), before = small;  // radius 2 visits nothing
    EXPECT_EQ(capture([&] { filter(small.data(), 4, 4, 0.5f, 0.5f); }),
              "Noise reduction complete (0.50 -> 0.00% / 0.50 -> 0.00%)...\n");
    EXPECT_TRUE(same(small, before));
}

TEST_F(NoiseReductionTest, ZeroLevelsStillConvertColourSpace)
{
    settings.noise = NoiseParams{0.5f, 0.5f, 0, 0, 0, 0, 2, false, true};
    Image img(12, px(8000, 4000, 2000));
    EXPECT_EQ(reduce(img.data(), 4, 3), "Analyzing noise\nReducing noise\n");
    EXPECT_TRUE(same(img, Image(12, px(7999, 4001, 2002))));
    settings.useYCrCb = true;
    img.assign(12, px(8000, 4000, 2000));
    reduce(img.data(), 4, 3);
    EXPECT_TRUE(same(img, Image(12, px(8000, 4000, 2000))));
}

// Parked levels must round-trip exactly and be gone afterwards; one level parks nothing.
TEST_F(NoiseReductionTest, ParkedLevelsRoundTrip)
{
    const int w = 45, h = 38;
    run.canvas = ImageRegion{0, 0, w, h};
    for (int chromaLevels : {1, 3}) {
        settings.noise = NoiseParams{0.15f, 0.3f, 0.0f, 0.3f, 1, chromaLevels, 1, false, true};
        Image img = randomImage(w, h, 3, 8000, 150), expected = referenceReduce(run, img, w, h);
        run.console.setTracing(true);
        std::string out = reduce(img.data(), w, h);
        run.console.setTracing(false);
        EXPECT_TRUE(same(img, expected)) << chromaLevels;
        int writes = 0, reads = 0;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            writes += line.find("_nr_") != std::string::npos && line.find("|open(w)|") != std::string::npos;
            reads += line.find("_nr_") != std::string::npos && line.find("|open(r)|") != std::string::npos;
        }
        EXPECT_EQ(writes, chromaLevels - 1) << out;
        EXPECT_EQ(reads, chromaLevels - 1) << out;
        ASSERT_TRUE(run.scratch.ensureRunFolder().ok());
        EXPECT_FALSE(fileExists(run.scratch.scratchName("quovix_nr_tmp", "nr", 0)));
    }
}

// A level that cannot be parked ends the run at once: an incomplete file could
// read back without error where its strips are missing.
TEST_F(NoiseReductionTest, LevelThatCannotBeParkedEndsTheRun)
{
    const int w = 45, h = 38;
    run.canvas = ImageRegion{0, 0, w, h};
    settings.noise = NoiseParams{0.15f, 0.3f, 0.0f, 0.3f, 1, 3, 1, false, true};
    settings.compression = Compression::None;  // 13680 bytes for level 0
    Image img = randomImage(w, h, 3, 8000, 150);
    ASSERT_TRUE(run.scratch.ensureRunFolder().ok());
    const std::string parked = run.scratch.scratchName("quovix_nr_tmp", "nr", 0);
    Status status;
    testing::internal::CaptureStdout();
    {
        FileSizeCap cap(4096);
        ASSERT_TRUE(cap.applied());
        settle();
        status = reduceNoise(run, img.data(), w, h);
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status.exitCode(), kExitIoError);
    EXPECT_EQ(status.consoleText(), "Cannot write TIFF file " + parked + ": " + std::strerror(EFBIG) + "\n");
    EXPECT_EQ(status.unwrittenFile(), parked);
    EXPECT_TRUE(std::regex_match(out, std::regex("Analyzing noise\\.Error writing scanline [0-9]+\n"))) << out;
}

// A real photograph with added noise, filtered as at the end of a fusion with
// -nl 0.1 -nc 0.1: a flat area gets quieter, an edge keeps its step.
TEST_F(NoiseReductionTest, RealPhotographFlatAreaQuieterEdgeKept)
{
    const std::string path = sourceDir() + "/examples/focus_pcb/pcb_001.jpg";  // 2048 x 1536, MIT licence
    if (!fileExists(path))
        GTEST_SKIP() << "photograph not available";
    ImageInfo info;
    ASSERT_TRUE(queryImageInfo(run, path, info).ok());
    ASSERT_EQ(info.bytesPerPixel, 3);
    const ImageRegion region = info.region;
    std::vector<uint8_t> rgb(size_t(region.width) * region.height * 3);
    ASSERT_TRUE(readImage(run, path, info, rgb.data()).ok());
    settings.noise = NoiseParams{0.1f, 0.1f, 0, 0, 1, 1, 2, false, true};
    std::mt19937 rng(11);
    std::normal_distribution<float> noise(0.0f, 96.0f);  // 1.5 steps of 8 bits
    const int n = 96;
    auto noisyCrop = [&](int x0, int y0, Image& clean) {
        Image img(n * n);
        clean.resize(n * n);
        for (int i = 0; i < n * n; ++i) {
            const uint8_t* s = &rgb[(size_t(y0 + i / n) * region.width + x0 + i % n) * 3];
            clean[i] = px(s[0] * 64, s[1] * 64, s[2] * 64);
            auto noisy = [&](int v) { return std::clamp(v + int(noise(rng)), 0, 16383); };
            img[i] = px(noisy(s[0] * 64), noisy(s[1] * 64), noisy(s[2] * 64));
        }
        return img;
    };
    // Green over rows y0..y1 and the middle 48 columns: {mean, standard deviation}.
    auto stats = [&](const Image& a, int y0, int y1) {
        double s = 0, s2 = 0, k = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = 24; x < 72; ++x, ++k)
                s += a[y * n + x].c1, s2 += double(a[y * n + x].c1) * a[y * n + x].c1;
        return std::pair{s / k, std::sqrt(s2 / k - (s / k) * (s / k))};
    };

    Image clean, flat = noisyCrop(120, 264, clean);  // blurred top of the capacitor
    ASSERT_LT(stats(clean, 24, 72).second, 64.0);
    const double sdBefore = stats(flat, 24, 72).second;
    reduce(flat.data(), n, n);
    EXPECT_LT(stats(flat, 24, 72).second, 0.75 * sdBefore);

    Image edge = noisyCrop(660, 1080, clean);  // rim of the connector opening, bright over dark
    auto step = [&](const Image& a) { return stats(a, 26, 34).first - stats(a, 46, 54).first; };
    ASSERT_GT(step(clean), 4000.0);
    const double stepBefore = step(edge);
    reduce(edge.data(), n, n);
    EXPECT_NEAR(step(edge), stepBefore, 0.03 * stepBefore);
    EXPECT_NEAR(stats(edge, 40, 41).first - stats(edge, 43, 44).first,
                stats(clean, 40, 41).first - stats(clean, 43, 44).first, 400.0);
}
