// Per-pixel weight maps of a level and the image's exposure measure. Table
// look-ups go through a 16-bit index: the tables have 65536 entries, so even
// a sample outside the 14-bit range stays inside them.
#include "analysis/weight_maps.h"

#include "analysis/color_space.h"
#include "analysis/exposure_curve.h"
#include "support/memory.h"
#include "support/settings.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

inline uint16_t tableIndex(int32_t value)
{
    return static_cast<uint16_t>(value);
}

size_t pixelCount(int width, int height)
{
    return (width > 0 && height > 0) ? static_cast<size_t>(width) * height : 0;
}

void saturationRow(const WorkPixel* row, int width, uint16_t* out)
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
            std::printf("Error max min: %d %d\n", hi, lo);
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

void exposureWeightMap(const WorkPixel* level, int width, int height, uint16_t* out)
{
    const size_t count = pixelCount(width, height);
    if (gSettings.useYCrCb) {
        for (size_t i = 0; i < count; ++i)
            out[i] = weightCurve[tableIndex(level[i].c1)];
    } else if (gSettings.exposureWeightMode == 1) {
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

void contrastWeightMap(const WorkPixel* level, int width, int height, uint16_t* out)
{
    const size_t count = pixelCount(width, height);
    int32_t f0 = 30, f1 = 59, f2 = 11;
    if (gSettings.useYCrCb) {
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

void saturationWeightMap(const WorkPixel* level, int width, int height, uint16_t* out)
{
    if (width <= 0 || height <= 0)
        return;
    if (!gSettings.useYCrCb) {
        for (int y = 0; y < height; ++y)
            saturationRow(level + static_cast<size_t>(y) * width, width, out + static_cast<size_t>(y) * width);
        return;
    }
    // Under YCrCb each row is measured on an RGB copy; the level is left as it is.
    WorkPixel* rgb = static_cast<WorkPixel*>(trackedAllocZero(static_cast<size_t>(width) * sizeof(WorkPixel)));
    for (int y = 0; y < height; ++y) {
        std::memcpy(rgb, level + static_cast<size_t>(y) * width, static_cast<size_t>(width) * sizeof(WorkPixel));
        yccToRgb(rgb, width, 1);
        saturationRow(rgb, width, out + static_cast<size_t>(y) * width);
    }
    trackedFree(rgb);
}

double measureExposure(const WorkPixel* level, int width, int height)
{
    const size_t count = pixelCount(width, height);
    int64_t sum = 0;
    int64_t present = 0;
    const bool ycc = gSettings.useYCrCb;
    for (size_t i = 0; i < count; ++i) {
        const WorkPixel p = level[i];
        if (p.alpha == 0)
            continue;
        ++present;
        sum += linearTable[tableIndex(ycc ? p.c1 : lumaIndex(p))];
    }
    if (present == 0) {
        std::printf("Warning: Zero exposure in image\n");
        return 0.0;
    }
    return static_cast<double>(sum) / static_cast<double>(present);
}
