// Times noise reduction of a finished 24-megapixel image (6000 x 4000) with
// radius 2 and 5, the window filter of one level alone, and, for comparison,
// a direct recount of every window (checked to give the same pixels).
// Usage: bench_noise [--no-direct]
// Parked levels go to a private folder under /tmp.
#include "app/environment.h"
#include "analysis/fusion_run.h"
#include "analysis/noise_reduction.h"
#include "bench/bench_run.h"
#include "support/console.h"
#include "support/memory.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

using namespace quovix;

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// Wall and process CPU seconds: the machine may be shared, so both are shown.
struct Timer {
    int64_t wallStart = clockMs();
    double cpuStart = cpuSeconds();
    static double cpuSeconds()
    {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    }
    void print(const char* what) const
    {
        std::printf("%-40s wall %6.2f s  cpu %6.2f s\n", what, static_cast<double>(clockMs() - wallStart) / 1000.0,
                    cpuSeconds() - cpuStart);
    }
};

uint32_t nextRandom(uint32_t& state)
{
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

// Smooth colour gradients with a few hard edges and mild noise, as RGB.
void makeImage(WorkPixel* img)
{
    uint32_t seed = 12345;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            int noise = static_cast<int>(nextRandom(seed) % 193) - 96;
            int edge = ((x / 700 + y / 500) & 1) ? 3000 : 0;
            WorkPixel& p = img[static_cast<size_t>(y) * kWidth + x];
            p.c0 = static_cast<int16_t>(std::clamp(2000 + x + edge + noise, 0, 16383));
            p.c1 = static_cast<int16_t>(std::clamp(3000 + y + edge / 2 + noise / 2, 0, 16383));
            p.c2 = static_cast<int16_t>(std::clamp(9000 - x / 2 - y / 2 + noise, 0, 16383));
            p.alpha = kAlphaPresent;
        }
}

// Detail values of a Laplacian level: mostly small, some busy stretches.
void makeLevel(WorkPixel* level)
{
    uint32_t seed = 777;
    for (size_t i = 0; i < static_cast<size_t>(kWidth) * kHeight; ++i) {
        uint32_t r = nextRandom(seed);
        int spread = (r % 100) < 4 ? 4001 : 301;
        level[i].c0 = static_cast<int16_t>(static_cast<int>(nextRandom(seed) % spread) - spread / 2);
        level[i].c1 = static_cast<int16_t>(static_cast<int>(nextRandom(seed) % spread) - spread / 2);
        level[i].c2 = static_cast<int16_t>(static_cast<int>(nextRandom(seed) % 301) - 150);
        level[i].alpha = kAlphaPresent;
    }
}

// Straight per-pixel recount of the window, the cost the incremental sums avoid.
void directFilter(const NoiseParams& noise, WorkPixel* level, int w, int h, float tL, float tC)
{
    const int tl = static_cast<int>(static_cast<double>(tL) * 1920.0);
    const int tc = static_cast<int>(static_cast<double>(tC) * 1920.0);
    const int r = noise.radius;
    const float fL = noise.lumaFactor, fC = noise.chromaFactor;
    for (int y = r; y < h - r; ++y)
        for (int x = r; x < w - r; ++x) {
            WorkPixel& p = level[static_cast<size_t>(y) * w + x];
            if (p.alpha == 0)
                continue;
            int n = 0, sY = 0, sCr = 0, sCb = 0, nL = 0, nC = 0;
            for (int v = y - r; v <= y + r; ++v) {
                const WorkPixel* row = level + static_cast<size_t>(v) * w;
                for (int u = x - r; u <= x + r; ++u) {
                    const WorkPixel& q = row[u];
                    if (q.alpha == 0)
                        continue;
                    ++n;
                    sY += q.c1;
                    sCr += q.c0;
                    sCb += q.c2;
                    nL += std::abs(q.c1) > tl;
                    nC += std::max(std::abs(q.c0), std::abs(q.c2)) > tc;
                }
            }
            if (nC == 0) {
                p.c0 = static_cast<int16_t>(static_cast<int>(static_cast<float>(sCr / n) * (1.0f - fC) + static_cast<float>(p.c0) * fC));
                p.c2 = static_cast<int16_t>(static_cast<int>(static_cast<float>(sCb / n) * (1.0f - fC) + static_cast<float>(p.c2) * fC));
            }
            if (nL == 0)
                p.c1 = static_cast<int16_t>(static_cast<int>(static_cast<float>(sY / n) * (1.0f - fL) + static_cast<float>(p.c1) * fL));
        }
}

// The noise settings are fixed when a run is made, so every case has its own
// run; all use the same worker count and folder.
Options noiseOptions(const BenchFolder& folder, int workers, int radius, int lumaLevels, int chromaLevels)
{
    Options options = benchOptions(folder, workers);
    options.noise.lumaThreshold = 0.1f;
    options.noise.chromaThreshold = 0.1f;
    options.noise.radius = radius;
    options.noise.lumaLevels = lumaLevels;
    options.noise.chromaLevels = chromaLevels;
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    const bool direct = !(argc > 1 && std::strcmp(argv[1], "--no-direct") == 0);
    BenchFolder folder;
    if (!folder.ok())
        return 1;
    const int workers = workerCountFromEnvironment();
    const size_t count = static_cast<size_t>(kWidth) * kHeight;
    std::vector<WorkPixel> copy(direct ? count : 0);
    std::printf("noise reduction, %dx%d, %d workers\n", kWidth, kHeight, workers);

    struct Case { int radius; int lumaLevels; int chromaLevels; };
    for (Case c : {Case{2, 1, 1}, Case{5, 1, 1}, Case{2, 2, 3}}) {
        FusionRun run(noiseOptions(folder, workers, c.radius, c.lumaLevels, c.chromaLevels));
        // Levels parked between passes carry the canvas position.
        run.canvas = ImageRegion{0, 0, kWidth, kHeight};
        PageBuffer<WorkPixel> image;
        if (!image.allocate(run.console, count).ok())
            return 1;
        makeImage(image.get());
        Timer timer;
        const Status status = reduceNoise(run, image.get(), kWidth, kHeight);
        if (!status.ok()) {
            std::printf("%s\n", status.consoleText().c_str());
            return 1;
        }
        char label[80];
        std::snprintf(label, sizeof label, "reduceNoise radius %d, levels %d/%d", c.radius, c.lumaLevels,
                      c.chromaLevels);
        timer.print(label);
    }

    for (int radius : {2, 5}) {
        FusionRun run(noiseOptions(folder, workers, radius, 1, 1));
        PageBuffer<WorkPixel> image;
        if (!image.allocate(run.console, count).ok())
            return 1;
        makeLevel(image.get());
        if (direct)
            std::memcpy(copy.data(), image.get(), count * sizeof(WorkPixel));
        char label[80];
        Timer timer;
        filterNoiseLevel(run, image.get(), kWidth, kHeight, 0.1f, 0.1f);
        std::snprintf(label, sizeof label, "filterNoiseLevel radius %d", radius);
        timer.print(label);
        if (direct) {
            Timer directTimer;
            directFilter(run.settings.noise, copy.data(), kWidth, kHeight, 0.1f, 0.1f);
            std::snprintf(label, sizeof label, "direct recount radius %d", radius);
            directTimer.print(label);
            if (std::memcmp(copy.data(), image.get(), count * sizeof(WorkPixel)) != 0) {
                std::printf("MISMATCH between incremental and direct filter\n");
                return 1;
            }
        }
    }
    return 0;
}
