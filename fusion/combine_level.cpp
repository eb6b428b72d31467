#include "fusion/combine_level.h"

#include "imageio/tiff_io.h"
#include "support/console.h"
#include "support/memory.h"
#include "support/scratch_files.h"
#include "support/settings.h"

#include <tiffio.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr int kBandRows = 50;
constexpr int16_t kLaplacianOffset = 8192;

// Float to int truncating toward zero; NaN and out-of-range values give
// INT32_MIN, as the processor's own conversion does, instead of undefined
// behaviour.
inline int32_t truncFloat(float v)
{
    if (!(v >= -2147483648.0f && v < 2147483648.0f))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

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

void readRow(TIFF* tiff, void* row, int r)
{
    if (TIFFReadScanline(tiff, row, static_cast<uint32_t>(r), 0) == -1) {
        std::printf("Error reading scanline %d\n", r);
        endProcess(kExitIoError);
    }
}

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
void combineBandRow(const WorkPixel* lap, const uint16_t* wgt, int64_t imageStride, int n, int width, int mode,
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
        if (mode != Maximum) {
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

int combineLevel(const ImageList& images, int level, float contrastWeight, float exposureWeight,
                 float saturationWeight, int mode, WorkPixel* target)
{
    const RunSettings& s = gSettings;
    const NoiseParams& np = s.noise;

    Suppression ns;
    ns.lumaLimit = suppressionLimit(np.lumaThreshold);
    ns.chromaLimit = suppressionLimit(np.chromaThreshold);
    ns.active = np.duringBlend && mode == Maximum && s.useYCrCb && (ns.lumaLimit > 0 || ns.chromaLimit > 0);
    ns.luma = level < np.lumaLevels;
    ns.chroma = level < np.chromaLevels;
    ns.lumaFactor = np.lumaFactor;
    ns.chromaFactor = np.chromaFactor;

    int width = gCanvas.width;
    int height = gCanvas.height;
    for (int l = 0; l < level; ++l) {
        width = (width + 1) / 2;
        height = (height + 1) / 2;
    }
    const int n = images.count();
    const int bandRows = height < kBandRows ? height : kBandRows;
    const int64_t imageStride = static_cast<int64_t>(bandRows) * width;

    HeapBuffer<WorkPixel> lapBand(static_cast<size_t>(n) * imageStride);
    HeapBuffer<uint16_t> weightBand(static_cast<size_t>(n) * imageStride);
    HeapBuffer<uint16_t> contrastRow(width, true);
    HeapBuffer<uint16_t> exposureRow(width, true);
    HeapBuffer<uint16_t> saturationRow(width, true);
    HeapBuffer<TIFF*> lapFiles(n);
    HeapBuffer<TIFF*> contrastFiles(n, true);
    HeapBuffer<TIFF*> exposureFiles(n, true);
    HeapBuffer<TIFF*> saturationFiles(n, true);

    std::memset(target, 0, static_cast<size_t>(width) * height * sizeof(WorkPixel));
    const int64_t startMs = clockMs();

    if (s.verbosity >= 2)
        std::printf("Combining %d images at level %d (%d x %d), C/E/S wgts=%.2f,%.2f,%.2f, lapl mode=%s\n", n, level,
                    width, height, contrastWeight, exposureWeight, saturationWeight, combineModeName(mode));

    for (int k = 0; k < n; ++k) {
        const char* path = images.paths[k];
        lapFiles[k] = openTiff(scratchName(path, "l", level), "r");
        if (contrastWeight > 0.0f)
            contrastFiles[k] = openTiff(scratchName(path, "c", level), "r");
        if (exposureWeight > 0.0f)
            exposureFiles[k] = openTiff(scratchName(path, "e", level), "r");
        if (saturationWeight > 0.0f)
            saturationFiles[k] = openTiff(scratchName(path, "s", level), "r");
    }

    Counters counters;
    for (int b = 0; b < height; b += bandRows) {
        const int end = b + bandRows < height ? b + bandRows : height;
        for (int k = 0; k < n; ++k) {
            WorkPixel* lapImage = lapBand.get() + k * imageStride;
            uint16_t* weightImage = weightBand.get() + k * imageStride;
            for (int r = b; r < end; ++r) {
                WorkPixel* row = lapImage + static_cast<int64_t>(r - b) * width;
                readRow(lapFiles[k], row, r);
                for (int x = 0; x < width; ++x) {
                    row[x].c0 = static_cast<int16_t>(row[x].c0 - kLaplacianOffset);
                    row[x].c1 = static_cast<int16_t>(row[x].c1 - kLaplacianOffset);
                    row[x].c2 = static_cast<int16_t>(row[x].c2 - kLaplacianOffset);
                }
            }
            for (int r = b; r < end; ++r) {
                if (contrastFiles[k] != nullptr)
                    readRow(contrastFiles[k], contrastRow.get(), r);
                if (exposureFiles[k] != nullptr)
                    readRow(exposureFiles[k], exposureRow.get(), r);
                if (saturationFiles[k] != nullptr)
                    readRow(saturationFiles[k], saturationRow.get(), r);
                combineWeightRow(contrastRow.get(), contrastWeight, exposureRow.get(), exposureWeight,
                                 saturationRow.get(), saturationWeight, width,
                                 weightImage + static_cast<int64_t>(r - b) * width);
            }
        }
        for (int r = b; r < end; ++r) {
            const int64_t offset = static_cast<int64_t>(r - b) * width;
            combineBandRow(lapBand.get() + offset, weightBand.get() + offset, imageStride, n, width, mode, ns,
                           counters, target + static_cast<int64_t>(r) * width);
        }
    }

    if (ns.active && s.verbosity >= 1) {
        // Nothing decided by the Maximum rule (an empty level): report 0 % rather than 0/0.
        float picked = static_cast<float>(counters.picked);
        float luma = counters.picked > 0 ? 100.0f * static_cast<float>(counters.lumaSmoothed) / picked : 0.0f;
        float chroma = counters.picked > 0 ? 100.0f * static_cast<float>(counters.chromaSmoothed) / picked : 0.0f;
        std::printf("NR (luma, color) = %.1f%%, %.1f%%\n", luma, chroma);
    }

    for (int k = 0; k < n; ++k) {
        closeTiff(lapFiles[k]);
        if (contrastFiles[k] != nullptr)
            closeTiff(contrastFiles[k]);
        if (exposureFiles[k] != nullptr)
            closeTiff(exposureFiles[k]);
        if (saturationFiles[k] != nullptr)
            closeTiff(saturationFiles[k]);
    }

    if (s.showTiming)
        printElapsed("Get Laplacian", startMs);
    return 0;
}
