#include "analysis/noise_reduction.h"

#include "analysis/color_space.h"
#include "analysis/pyramid.h"
#include "analysis/work_files.h"
#include "imageio/image_reader.h"
#include "support/memory.h"
#include "support/numeric.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quovix {

namespace {

// Running sums of one column over the rows currently in the window. Kept in
// unsigned arithmetic so that huge radii wrap exactly like 32-bit sums would.
struct ColumnSums {
    uint32_t n;
    uint32_t y;
    uint32_t cr;
    uint32_t cb;
    uint32_t nL;
    uint32_t nC;
};

// Detail limit in 14-bit units. Saturates instead of overflowing for absurd
// thresholds; a NaN threshold smooths nothing.
int detailLimit(float threshold)
{
    double t = std::trunc(static_cast<double>(threshold) * 1920.0);
    if (std::isnan(t))
        return INT_MIN;
    if (t >= 2147483647.0)
        return INT_MAX;
    if (t <= -2147483648.0)
        return INT_MIN;
    return static_cast<int>(t);
}

inline int absSample(int16_t v) { return v < 0 ? -static_cast<int>(v) : v; }

// Adds (sign 1) or removes (sign -1 as all-ones) one row's present pixels to the
// column sums.
void accumulateRow(ColumnSums* cols, const WorkPixel* row, int width, int tl, int tc, uint32_t sign)
{
    for (int x = 0; x < width; ++x) {
        const WorkPixel& p = row[x];
        uint32_t m = p.alpha != 0 ? sign : 0u;
        int ay = absSample(p.c1);
        int ac = absSample(p.c0);
        int ab = absSample(p.c2);
        int am = ac > ab ? ac : ab;
        cols[x].n += m;
        cols[x].y += m * static_cast<uint32_t>(static_cast<int32_t>(p.c1));
        cols[x].cr += m * static_cast<uint32_t>(static_cast<int32_t>(p.c0));
        cols[x].cb += m * static_cast<uint32_t>(static_cast<int32_t>(p.c2));
        cols[x].nL += m * static_cast<uint32_t>(ay > tl);
        cols[x].nC += m * static_cast<uint32_t>(am > tc);
    }
}

inline void addSums(ColumnSums& a, const ColumnSums& b)
{
    a.n += b.n; a.y += b.y; a.cr += b.cr; a.cb += b.cb; a.nL += b.nL; a.nC += b.nC;
}

inline void subSums(ColumnSums& a, const ColumnSums& b)
{
    a.n -= b.n; a.y -= b.y; a.cr -= b.cr; a.cb -= b.cb; a.nL -= b.nL; a.nC -= b.nC;
}

const char kParkSource[] = "quovix_nr_tmp";

Status parkLevel(FusionRun& run, const WorkPixel* level, int width, int height, int index)
{
    QVX_TRY(run.scratch.ensureRunFolder());
    return writeLaplacianFile(run, run.scratch.scratchName(kParkSource, "nr", index), level, width, height,
                              run.canvas);
}

Status unparkLevel(FusionRun& run, WorkPixel* level, int width, int height, int index)
{
    const std::string path = run.scratch.scratchName(kParkSource, "nr", index);
    ImageInfo info;
    info.known = true;
    info.format = run.settings.bigTiff ? FileFormat::BigTiff : FileFormat::Tiff;
    info.region = ImageRegion{run.canvas.x, run.canvas.y, width, height};
    info.bytesPerPixel = 8;
    info.bitsPerSample = 16;
    Status status = readImage(run, path, info, level);
    std::remove(path.c_str());
    QVX_TRY(status);
    removeLaplacianOffset(level, static_cast<size_t>(width) * static_cast<size_t>(height));
    return Status();
}

// What filtering a level applies and counts.
struct NoiseFilter {
    int tl = 0;  // luma detail limit
    int tc = 0;  // chroma detail limit
    float lumaKeep = 0.0f, lumaTake = 0.0f;
    float chromaKeep = 0.0f, chromaTake = 0.0f;
    int64_t lumaCount = 0;    // pixels whose luma was smoothed
    int64_t chromaCount = 0;  // pixels whose chroma was smoothed
};

// Moves a pixel's chroma towards the window's mean; its column sum and the
// window sum take the change, as a recount would.
inline void smoothChroma(WorkPixel& p, ColumnSums& col, ColumnSums& win, int32_t n, NoiseFilter& f)
{
    ++f.chromaCount;
    const int32_t meanCr = static_cast<int32_t>(win.cr) / n;
    const int32_t meanCb = static_cast<int32_t>(win.cb) / n;
    const int16_t oldCr = p.c0;
    const int16_t oldCb = p.c2;
    const int16_t newCr = static_cast<int16_t>(
        truncFloat(static_cast<float>(meanCr) * f.chromaTake + static_cast<float>(oldCr) * f.chromaKeep));
    const int16_t newCb = static_cast<int16_t>(
        truncFloat(static_cast<float>(meanCb) * f.chromaTake + static_cast<float>(oldCb) * f.chromaKeep));
    p.c0 = newCr;
    p.c2 = newCb;
    const uint32_t dCr = static_cast<uint32_t>(static_cast<int32_t>(newCr) - oldCr);
    const uint32_t dCb = static_cast<uint32_t>(static_cast<int32_t>(newCb) - oldCb);
    const int oldMax = absSample(oldCr) > absSample(oldCb) ? absSample(oldCr) : absSample(oldCb);
    const int newMax = absSample(newCr) > absSample(newCb) ? absSample(newCr) : absSample(newCb);
    const uint32_t dFlag = static_cast<uint32_t>(newMax > f.tc) - static_cast<uint32_t>(oldMax > f.tc);
    col.cr += dCr;
    col.cb += dCb;
    col.nC += dFlag;
    win.cr += dCr;
    win.cb += dCb;
    win.nC += dFlag;
}

// The same for the luma.
inline void smoothLuma(WorkPixel& p, ColumnSums& col, ColumnSums& win, int32_t n, NoiseFilter& f)
{
    ++f.lumaCount;
    const int32_t meanY = static_cast<int32_t>(win.y) / n;
    const int16_t oldY = p.c1;
    const int16_t newY = static_cast<int16_t>(
        truncFloat(static_cast<float>(meanY) * f.lumaTake + static_cast<float>(oldY) * f.lumaKeep));
    p.c1 = newY;
    const uint32_t dY = static_cast<uint32_t>(static_cast<int32_t>(newY) - oldY);
    const uint32_t dFlag =
        static_cast<uint32_t>(absSample(newY) > f.tl) - static_cast<uint32_t>(absSample(oldY) > f.tl);
    col.y += dY;
    col.nL += dFlag;
    win.y += dY;
    win.nL += dFlag;
}

// One row's pixels whose window holds no detail above the limits, smoothed
// in place; `col` holds the column sums over the row's window rows.
inline void filterRow(WorkPixel* row, ColumnSums* col, int width, int r, NoiseFilter& f)
{
    ColumnSums win{0, 0, 0, 0, 0, 0};
    for (int c = 0; c < 2 * r + 1; ++c)
        addSums(win, col[c]);
    for (int x = r; x < width - r; ++x) {
        if (x > r) {
            addSums(win, col[x + r]);
            subSums(win, col[x - r - 1]);
        }
        WorkPixel& p = row[x];
        if (p.alpha == 0)
            continue;
        const uint32_t nC = win.nC;
        const uint32_t nL = win.nL;
        if (nC != 0 && nL != 0)
            continue;
        const int32_t n = static_cast<int32_t>(win.n);
        if (nC == 0)
            smoothChroma(p, col[x], win, n, f);
        if (nL == 0)
            smoothLuma(p, col[x], win, n, f);
    }
}

} // namespace

// The window sums are kept incrementally (column sums over the window's rows,
// slid along the row), and every in-place update is applied to both the column
// sum and the current window sum, so each window sees exactly the values a full
// recount over the updated level would: results equal the direct per-pixel
// recount at O(1) cost per pixel instead of (2r + 1)^2.
void filterNoiseLevel(RunContext& run, WorkPixel* level, int width, int height, float lumaThreshold,
                      float chromaThreshold)
{
    NoiseFilter f;
    f.tl = detailLimit(lumaThreshold);
    f.tc = detailLimit(chromaThreshold);
    const int r = run.settings.noise.radius;
    f.lumaKeep = run.settings.noise.lumaFactor;
    f.lumaTake = 1.0f - f.lumaKeep;
    f.chromaKeep = run.settings.noise.chromaFactor;
    f.chromaTake = 1.0f - f.chromaKeep;

    // A negative radius has no window (and would read outside the level).
    if (r >= 0 && width > 0 && height > 0 && r <= (width - 1) / 2 && r <= (height - 1) / 2) {
        const size_t w = static_cast<size_t>(width);
        std::vector<ColumnSums> cols(w, ColumnSums{0, 0, 0, 0, 0, 0});
        for (int y = 0; y < 2 * r + 1; ++y)
            accumulateRow(cols.data(), level + static_cast<size_t>(y) * w, width, f.tl, f.tc, 1u);
        for (int y = r; y < height - r; ++y) {
            if (y > r) {
                accumulateRow(cols.data(), level + static_cast<size_t>(y - r - 1) * w, width, f.tl, f.tc, ~0u);
                accumulateRow(cols.data(), level + static_cast<size_t>(y + r) * w, width, f.tl, f.tc, 1u);
            }
            filterRow(level + static_cast<size_t>(y) * w, cols.data(), width, r, f);
        }
    }

    if (run.settings.verbosity >= 2) {
        const float hundredth = static_cast<float>(static_cast<int64_t>(width) * height) / 100.0f;
        run.console.print("Noise reduction complete (%.2f -> %.2f%% / %.2f -> %.2f%%)...\n",
                          static_cast<double>(lumaThreshold),
                          static_cast<double>(static_cast<float>(f.lumaCount) / hundredth),
                          static_cast<double>(chromaThreshold),
                          static_cast<double>(static_cast<float>(f.chromaCount) / hundredth));
    }
}

Status reduceNoise(FusionRun& run, WorkPixel* image, int width, int height)
{
    if (width <= 0 || height <= 0)
        return Status();
    const RunSettings& settings = run.settings;
    const NoiseParams& np = settings.noise;
    const RunDepths& depths = run.depths;
    const int levels = depths.lumaLevels > depths.chromaLevels ? depths.lumaLevels : depths.chromaLevels;

    const size_t coarseW = static_cast<size_t>((width + 1) >> 1);
    const size_t coarseH = static_cast<size_t>((height + 1) >> 1);
    PageBuffer<WorkPixel> coarse;
    QVX_TRY(coarse.allocate(run.console, coarseW * coarseH));

    if (settings.verbosity >= 1)
        run.console.print(
            "Reducing noise. L/C Thresholds=%.2f,%.2f,  L/C Factors=%.2f,%.2f,  L/C Levels=%d,%d,  Radius=%d.\n",
            static_cast<double>(np.lumaThreshold), static_cast<double>(np.chromaThreshold),
            static_cast<double>(np.lumaFactor), static_cast<double>(np.chromaFactor), depths.lumaLevels,
            depths.chromaLevels, np.radius);

    if (!settings.useYCrCb)
        QVX_TRY(rgbToYcc(run, image, width, height));

    std::vector<int> levelW(levels > 0 ? levels + 1 : 1);
    std::vector<int> levelH(levelW.size());
    levelW[0] = width;
    levelH[0] = height;
    for (size_t l = 1; l < levelW.size(); ++l) {
        levelW[l] = (levelW[l - 1] + 1) >> 1;
        levelH[l] = (levelH[l - 1] + 1) >> 1;
    }

    run.console.print("Analyzing noise");
    for (int l = 0; l < levels; ++l) {
        run.console.print(".");
        const int w = levelW[l];
        const int h = levelH[l];
        QVX_TRY(reduceLevel(run, image, w, h, coarse.get()));
        QVX_TRY(expandAndMerge(run, coarse.get(), w, h, image, MergeType::Subtract));
        filterNoiseLevel(run, image, w, h, l < depths.lumaLevels ? np.lumaThreshold : -1.0f,
                         l < depths.chromaLevels ? np.chromaThreshold : -1.0f);
        if (l < levels - 1) {
            // A level that could not be parked ends the run: an incomplete
            // file may read back without error where its strips are missing.
            QVX_TRY(parkLevel(run, image, w, h, l));
            std::memcpy(image, coarse.get(),
                        static_cast<size_t>(levelW[l + 1]) * static_cast<size_t>(levelH[l + 1]) * sizeof(WorkPixel));
        }
    }

    run.console.print("\nReducing noise");
    for (int l = levels - 1; l >= 0; --l) {
        run.console.print(".");
        const int w = levelW[l];
        const int h = levelH[l];
        QVX_TRY(expandAndMerge(run, coarse.get(), w, h, image, MergeType::Add));
        if (l > 0) {
            std::memcpy(coarse.get(), image, static_cast<size_t>(w) * static_cast<size_t>(h) * sizeof(WorkPixel));
            QVX_TRY(unparkLevel(run, image, levelW[l - 1], levelH[l - 1], l - 1));
        }
    }
    run.console.print("\n");

    if (!settings.useYCrCb)
        QVX_TRY(yccToRgb(run, image, width, height));
    coarse.reset();
    return Status();
}

} // namespace quovix
