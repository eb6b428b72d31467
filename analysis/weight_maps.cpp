// Per-pixel weight maps of a level and the image's exposure measure. Table
// look-ups go through a 16-bit index: the tables have 65536 entries, so even
// a sample outside the 14-bit range stays inside them.
#include "analysis/weight_maps.h"

#include "analysis/color_space.h"
#include "support/memory.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quovix {

namespace {

inline uint16_t tableIndex(int32_t value)
{
    return static_cast<uint16_t>(value);
}

size_t pixelCount(int width, int height)
{
    return (width > 0 && height > 0) ? static_cast<size_t>(width) * height : 0;
}

void saturationRow(Console& console, const WorkPixel* row, int width, uint16_t* out)
{
    for (int x = 0; x < width; ++x) {
        const int32_t a = row[x].c0;
        const int32_t b = row[x].c1;
        const int32_t c = row[x].c2;
        int32_t hi = a > b ? a : b;
        hi = hi > c ? hi : c;
        int32_t lo = a < b ? a : b;
        lo = lo < c ? lo : c;
        if (hi == lo) {
            out[x] = 1;
        } else if (hi + lo == 0) {
            // Only reachable with negative samples, which levels passed here
            // do not hold; treated like grey.
            console.notice("Error max min: %d %d\n", hi, lo);
            out[x] = 1;
        } else {
            // 32-bit product (exact for 14-bit samples); formed unsigned so
            // that out-of-range samples wrap instead of overflowing.
            const int32_t spread = static_cast<int32_t>(static_cast<uint32_t>(hi - lo) * 65535u);
            out[x] = static_cast<uint16_t>(spread / (hi + lo));
        }
    }
}

} // namespace

namespace {

constexpr size_t kMinChunk = 1 << 16;

void exposureWeights(const uint16_t* weightCurve, bool ycc, int mode, const WorkPixel* level, size_t count,
                     uint16_t* out)
{
    if (ycc) {
        for (size_t i = 0; i < count; ++i)
            out[i] = weightCurve[tableIndex(level[i].c1)];
    } else if (mode == 1) {
        for (size_t i = 0; i < count; ++i) {
            const WorkPixel p = level[i];
            const int32_t sum = int32_t{weightCurve[tableIndex(p.c0)]} + weightCurve[tableIndex(p.c1)] +
                                weightCurve[tableIndex(p.c2)];
            out[i] = static_cast<uint16_t>(sum / 3);
        }
    } else {
        // Greyscale; also every mode value other than colour, so the map is
        // always filled.
        for (size_t i = 0; i < count; ++i)
            out[i] = weightCurve[tableIndex(lumaIndex(level[i]))];
    }
}

} // namespace

void contrastWeights(const WorkPixel* level, size_t count, bool ycc, uint16_t* out)
{
    int32_t f0 = 30, f1 = 59, f2 = 11;
    if (ycc) {
        f0 = 20;
        f1 = 60;
        f2 = 20;
    }
    for (size_t i = 0; i < count; ++i) {
        const WorkPixel p = level[i];
        const int32_t v = (f0 * std::abs(int32_t{p.c0}) + f1 * std::abs(int32_t{p.c1}) +
                           f2 * std::abs(int32_t{p.c2})) / 100;
        out[i] = v >= 16384 ? 65535 : static_cast<uint16_t>(4 * v);
    }
}

Status exposureWeightMap(FusionRun& run, const WorkPixel* level, int width, int height, uint16_t* out)
{
    const uint16_t* weightCurve = run.curves.weightCurve.data();
    const bool ycc = run.settings.useYCrCb;
    const int mode = run.settings.exposureWeightMode;
    return run.pool.forRangeBalanced(pixelCount(width, height), kMinChunk, [&](size_t begin, size_t end) {
        exposureWeights(weightCurve, ycc, mode, level + begin, end - begin, out + begin);
    });
}

Status contrastWeightMap(FusionRun& run, const WorkPixel* level, int width, int height, uint16_t* out)
{
    const bool ycc = run.settings.useYCrCb;
    return run.pool.forRangeBalanced(pixelCount(width, height), kMinChunk, [&](size_t begin, size_t end) {
        contrastWeights(level + begin, end - begin, ycc, out + begin);
    });
}

Status saturationWeightMap(FusionRun& run, const WorkPixel* level, int width, int height, uint16_t* out)
{
    if (width <= 0 || height <= 0)
        return Status();
    const size_t w = static_cast<size_t>(width);
    if (!run.settings.useYCrCb) {
        return run.pool.forRowsBalanced(height, 8, [&](int first, int end) {
            for (int y = first; y < end; ++y)
                saturationRow(run.console, level + static_cast<size_t>(y) * w, width, out + static_cast<size_t>(y) * w);
            return Status();
        });
    }
    // Under YCrCb each row is measured on an RGB copy; the level is left as it is.
    return run.pool.forRows(height, [&](int first, int end) {
        HeapBuffer<WorkPixel> rgb;
        QVX_TRY(rgb.allocate(run.console, w, true));
        for (int y = first; y < end; ++y) {
            std::memcpy(rgb.get(), level + static_cast<size_t>(y) * w, w * sizeof(WorkPixel));
            yccToRgb(run.console, run.settings.verbosity, rgb.get(), width, 1);
            saturationRow(run.console, rgb.get(), width, out + static_cast<size_t>(y) * w);
        }
        return Status();
    });
}

double measureExposure(FusionRun& run, const WorkPixel* level, int width, int height)
{
    const size_t count = pixelCount(width, height);
    int64_t sum = 0;
    int64_t present = 0;
    const uint16_t* linearTable = run.curves.linearTable.data();
    const bool ycc = run.settings.useYCrCb;
    for (size_t i = 0; i < count; ++i) {
        const WorkPixel p = level[i];
        if (p.alpha == 0)
            continue;
        ++present;
        sum += linearTable[tableIndex(ycc ? p.c1 : lumaIndex(p))];
    }
    if (present == 0) {
        run.console.notice("Warning: Zero exposure in image\n");
        return 0.0;
    }
    return static_cast<double>(sum) / static_cast<double>(present);
}

} // namespace quovix
