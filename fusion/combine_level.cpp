#include "fusion/combine_level.h"

#include "analysis/analyse_images.h"
#include "analysis/weight_maps.h"
#include "analysis/work_files.h"
#include "imageio/tiff_io.h"
#include "imageio/tiff_row_reader.h"
#include "support/memory.h"
#include "support/numeric.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace quovix {

namespace {

constexpr int kBandRows = 50;

// trunc(100 * weight), the product in single precision.
int32_t percentWeight(float weight)
{
    return truncFloat(100.0f * weight);
}

// trunc(threshold * 1920) for the noise-suppression limits (thresholds are
// stored as absolute values).
int suppressionLimit(float threshold)
{
    double limit = static_cast<double>(threshold) * 1920.0;
    if (!(limit < 2147483647.0))
        return limit == limit ? std::numeric_limits<int>::max() : 0;
    if (limit <= -2147483648.0)
        return std::numeric_limits<int>::min();
    return static_cast<int>(limit);
}

// The level files of one image; closed on every path.
struct LevelFiles {
    RunContext* run = nullptr;
    TIFF* laplacian = nullptr;
    TIFF* contrast = nullptr;
    TIFF* exposure = nullptr;
    TIFF* saturation = nullptr;
    std::unique_ptr<TiffRowReader> laplacianRows, contrastRows, exposureRows, saturationRows;

    // Readers for the files opened.
    void attachReaders()
    {
        auto make = [](TIFF* t) { return t != nullptr ? std::make_unique<TiffRowReader>(t) : nullptr; };
        laplacianRows = make(laplacian);
        contrastRows = make(contrast);
        exposureRows = make(exposure);
        saturationRows = make(saturation);
    }

    ~LevelFiles()
    {
        for (TIFF* t : {laplacian, contrast, exposure, saturation}) {
            if (t != nullptr)
                closeTiff(*run, t);
        }
    }
};

// Detail noise suppression during blending (Maximum rule under YCrCb only).
struct Suppression {
    bool active = false;
    bool luma = false;    // this level is within -nv
    bool chroma = false;  // this level is within -nw
    int lumaLimit = 0;
    int chromaLimit = 0;
    float lumaFactor = 0.0f;
    float chromaFactor = 0.0f;
};

struct Counters {
    int64_t picked = 0;
    int64_t lumaSmoothed = 0;
    int64_t chromaSmoothed = 0;
};

// Combines one band row: n images' Laplacian rows (stride between images
// `imageStride` pixels) and weight rows into `out`.
void combineBandRow(const WorkPixel* lap, const uint16_t* wgt, int64_t imageStride, int n, int width, CombineMode mode,
                    const Suppression& ns, Counters& counters, WorkPixel* out)
{
    for (int x = 0; x < width; ++x) {
        int64_t s0 = 0, s1 = 0, s2 = 0;
        int64_t p0 = 0, p1 = 0, p2 = 0;
        int64_t total = 0;
        int count = 0;
        int chosen = -1;
        uint32_t best = 0;
        for (int k = 0; k < n; ++k) {
            const WorkPixel& l = lap[k * imageStride + x];
            if (l.alpha == 0)
                continue;
            int32_t w = wgt[k * imageStride + x];
            s0 += static_cast<int32_t>(l.c0) * w;
            s1 += static_cast<int32_t>(l.c1) * w;
            s2 += static_cast<int32_t>(l.c2) * w;
            total += w;
            ++count;
            if (ns.active) {
                p0 += l.c0;
                p1 += l.c1;
                p2 += l.c2;
            }
            if (static_cast<uint32_t>(w) > best) {
                best = static_cast<uint32_t>(w);
                chosen = k;
            }
        }
        if (count == 0)
            continue; // no image covers this pixel: it stays (0, 0, 0, 0)
        if (total == 0) {
            // Every valid weight is zero: the valid images count equally.
            s0 = s1 = s2 = 0;
            p0 = p1 = p2 = 0;
            count = 0;
            chosen = -1;
            best = 0;
            for (int k = 0; k < n; ++k) {
                const WorkPixel& l = lap[k * imageStride + x];
                if (l.alpha == 0)
                    continue;
                s0 += l.c0;
                s1 += l.c1;
                s2 += l.c2;
                total += 1;
                ++count;
                if (ns.active) {
                    p0 += l.c0;
                    p1 += l.c1;
                    p2 += l.c2;
                }
                if (1u > best) {
                    best = 1;
                    chosen = k;
                }
            }
        }
        WorkPixel& o = out[x];
        if (mode != CombineMode::Maximum) {
            o.c0 = static_cast<int16_t>(s0 / total);
            o.c1 = static_cast<int16_t>(s1 / total);
            o.c2 = static_cast<int16_t>(s2 / total);
            o.alpha = kAlphaPresent;
            continue;
        }
        ++counters.picked;
        const WorkPixel& c = lap[chosen * imageStride + x];
        o = c;
        if (!ns.active)
            continue;
        const int64_t m0 = p0 / count;
        const int64_t m1 = p1 / count;
        const int64_t m2 = p2 / count;
        if (ns.luma && std::abs(static_cast<int>(c.c1)) < ns.lumaLimit) {
            ++counters.lumaSmoothed;
            float v = (1.0f - ns.lumaFactor) * static_cast<float>(m1) + static_cast<float>(c.c1) * ns.lumaFactor;
            o.c1 = static_cast<int16_t>(truncFloat(v));
        }
        int chromaMagnitude = std::abs(static_cast<int>(c.c0));
        if (std::abs(static_cast<int>(c.c2)) > chromaMagnitude)
            chromaMagnitude = std::abs(static_cast<int>(c.c2));
        if (ns.chroma && chromaMagnitude < ns.chromaLimit) {
            ++counters.chromaSmoothed;
            float v0 = static_cast<float>(c.c0) * ns.chromaFactor + static_cast<float>(m0) * (1.0f - ns.chromaFactor);
            float v2 = static_cast<float>(c.c2) * ns.chromaFactor + static_cast<float>(m2) * (1.0f - ns.chromaFactor);
            o.c0 = static_cast<int16_t>(truncFloat(v0));
            o.c2 = static_cast<int16_t>(truncFloat(v2));
        }
    }
}

} // namespace

void combineWeightRow(const uint16_t* contrastRow, float contrastWeight, const uint16_t* exposureRow,
                      float exposureWeight, const uint16_t* saturationRow, float saturationWeight, int width,
                      uint16_t* outRow)
{
    // 64-bit products wrapped to 32 bits: the same result as 32-bit signed
    // arithmetic, without overflow for absurd weights.
    const int64_t e = percentWeight(exposureWeight);
    const int64_t s = percentWeight(saturationWeight);
    const int64_t c = percentWeight(contrastWeight);
    for (int x = 0; x < width; ++x) {
        int32_t sum = static_cast<int32_t>(static_cast<uint32_t>(e * exposureRow[x] + s * saturationRow[x] +
                                                                  c * contrastRow[x]));
        outRow[x] = static_cast<uint16_t>(sum / 100);
    }
}

// The level is read band by band. One batch of jobs decodes the next band of
// every image (each image's files in one job) while other jobs combine the
// rows of the band read before, so decoding and combination overlap on the
// workers; the two bands alternate between two buffers.
Status combineLevel(FusionRun& run, const ImageList& images, int level, float contrastWeight, float exposureWeight,
                    float saturationWeight, CombineMode mode, WorkPixel* target)
{
    const RunSettings& s = run.settings;
    const NoiseParams& np = s.noise;

    Suppression ns;
    ns.lumaLimit = suppressionLimit(np.lumaThreshold);
    ns.chromaLimit = suppressionLimit(np.chromaThreshold);
    ns.active = np.duringBlend && mode == CombineMode::Maximum && s.useYCrCb && (ns.lumaLimit > 0 || ns.chromaLimit > 0);
    ns.luma = level < np.lumaLevels;
    ns.chroma = level < np.chromaLevels;
    ns.lumaFactor = np.lumaFactor;
    ns.chromaFactor = np.chromaFactor;

    const int width = levelSize(run.canvas.width, level);
    const int height = levelSize(run.canvas.height, level);
    const int n = images.count();
    const int bandRows = height < kBandRows ? height : kBandRows;
    const int64_t imageStride = static_cast<int64_t>(bandRows) * width;
    const size_t rowPixels = static_cast<size_t>(width > 0 ? width : 0);
    // Without a kept contrast file the weights come from the Laplacian rows
    // themselves, of which the file would be a copy.
    const bool contrastFromLevel = contrastWeight > 0.0f && !writesContrastFiles(s);

    HeapBuffer<WorkPixel> lapBands[2];
    HeapBuffer<uint16_t> weightBands[2];
    HeapBuffer<uint16_t> weightRows;  // contrast, exposure, saturation rows per image
    for (int i = 0; i < 2; ++i) {
        QVX_TRY(lapBands[i].allocate(run.console, static_cast<size_t>(n) * imageStride));
        QVX_TRY(weightBands[i].allocate(run.console, static_cast<size_t>(n) * imageStride));
    }
    QVX_TRY(weightRows.allocate(run.console, 3 * static_cast<size_t>(n) * rowPixels, true));
    std::vector<LevelFiles> files(static_cast<size_t>(n));

    std::memset(target, 0, rowPixels * height * sizeof(WorkPixel));
    const int64_t startMs = clockMs();

    if (s.verbosity >= 2)
        run.console.print("Combining %d images at level %d (%d x %d), C/E/S wgts=%.2f,%.2f,%.2f, lapl mode=%s\n", n,
                          level, width, height, contrastWeight, exposureWeight, saturationWeight,
                          combineModeName(mode));

    for (int k = 0; k < n; ++k) {
        const char* path = images.paths[k];
        LevelFiles& f = files[static_cast<size_t>(k)];
        f.run = &run;
        QVX_TRY(openTiff(run, run.scratch.scratchName(path, "l", level), "r", f.laplacian));
        if (contrastWeight > 0.0f && !contrastFromLevel)
            QVX_TRY(openTiff(run, run.scratch.scratchName(path, "c", level), "r", f.contrast));
        if (exposureWeight > 0.0f)
            QVX_TRY(openTiff(run, run.scratch.scratchName(path, "e", level), "r", f.exposure));
        if (saturationWeight > 0.0f)
            QVX_TRY(openTiff(run, run.scratch.scratchName(path, "s", level), "r", f.saturation));
        f.attachReaders();
    }

    // Rows [first, end) of image k into band buffer `slot`.
    auto readImageBand = [&](int k, int slot, int first, int end) -> Status {
        const LevelFiles& f = files[static_cast<size_t>(k)];
        WorkPixel* lapImage = lapBands[slot].get() + k * imageStride;
        uint16_t* weightImage = weightBands[slot].get() + k * imageStride;
        uint16_t* contrastRow = weightRows.get() + (3 * static_cast<size_t>(k)) * rowPixels;
        uint16_t* exposureRow = contrastRow + rowPixels;
        uint16_t* saturationRow = exposureRow + rowPixels;
        for (int r = first; r < end; ++r) {
            WorkPixel* row = lapImage + static_cast<int64_t>(r - first) * width;
            QVX_TRY(f.laplacianRows->readRow(row, r));
            removeLaplacianOffset(row, rowPixels);
            if (f.contrast != nullptr)
                QVX_TRY(f.contrastRows->readRow(contrastRow, r));
            else if (contrastFromLevel)
                contrastWeights(row, rowPixels, s.useYCrCb, contrastRow);
            if (f.exposure != nullptr)
                QVX_TRY(f.exposureRows->readRow(exposureRow, r));
            if (f.saturation != nullptr)
                QVX_TRY(f.saturationRows->readRow(saturationRow, r));
            combineWeightRow(contrastRow, contrastWeight, exposureRow, exposureWeight, saturationRow,
                             saturationWeight, width, weightImage + static_cast<int64_t>(r - first) * width);
        }
        return Status();
    };

    Counters counters;
    std::mutex countersLock;
    const int combineJobs = run.pool.workers();
    // Step i reads band i into slot i & 1 and combines band i - 1 from the
    // other slot.
    for (int i = 0, b = -bandRows; bandRows > 0 && b < height; ++i, b += bandRows) {
        const int readFirst = b + bandRows;
        const int readEnd = std::min(readFirst + bandRows, height);
        const int readSlot = i & 1;
        const int combineSlot = (i + 1) & 1;
        const bool reading = readFirst < height;
        const bool combining = b >= 0;
        const int combineEnd = combining ? std::min(b + bandRows, height) : b;
        const int jobs = (reading ? n : 0) + (combining ? combineJobs : 0);
        QVX_TRY(run.pool.run(jobs, [&](int job) -> Status {
            if (reading && job < n)
                return readImageBand(job, readSlot, readFirst, readEnd);
            const int part = job - (reading ? n : 0);
            const int rows = combineEnd - b;
            const int first = b + rows * part / combineJobs;
            const int end = b + rows * (part + 1) / combineJobs;
            Counters local;
            for (int r = first; r < end; ++r) {
                const int64_t offset = static_cast<int64_t>(r - b) * width;
                combineBandRow(lapBands[combineSlot].get() + offset, weightBands[combineSlot].get() + offset,
                               imageStride, n, width, mode, ns, local, target + static_cast<int64_t>(r) * width);
            }
            std::lock_guard<std::mutex> lock(countersLock);
            counters.picked += local.picked;
            counters.lumaSmoothed += local.lumaSmoothed;
            counters.chromaSmoothed += local.chromaSmoothed;
            return Status();
        }));
    }

    if (ns.active && s.verbosity >= 1) {
        // Nothing decided by the Maximum rule (an empty level): report 0 % rather than 0/0.
        float picked = static_cast<float>(counters.picked);
        float luma = counters.picked > 0 ? 100.0f * static_cast<float>(counters.lumaSmoothed) / picked : 0.0f;
        float chroma = counters.picked > 0 ? 100.0f * static_cast<float>(counters.chromaSmoothed) / picked : 0.0f;
        run.console.print("NR (luma, color) = %.1f%%, %.1f%%\n", luma, chroma);
    }

    files.clear();

    if (s.showTiming)
        printElapsed(run.console, "Get Laplacian", startMs);
    return Status();
}

} // namespace quovix
