// RGB <-> YCrCb on the 14-bit working scale. The precision of every step
// (single-precision products, a double-precision division for the colour
// differences, truncation toward zero) is part of the output format: results
// are compared bit for bit, so the expressions below must not be regrouped.
#include "analysis/color_space.h"

#include <algorithm>
#include <cstdint>

namespace quovix {

void rgbToYccPixels(WorkPixel* pixels, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        WorkPixel& p = pixels[i];
        const int32_t r = p.c0;
        const int32_t g = p.c1;
        const int32_t b = p.c2;
        const float yf = (static_cast<float>(r) * 0.299f + static_cast<float>(g) * 0.587f) +
                         static_cast<float>(b) * 0.114f;
        const int32_t y = static_cast<int32_t>(yf);
        const double bDiff = static_cast<double>(static_cast<float>(b - y));
        const double rDiff = static_cast<double>(static_cast<float>(r - y));
        const int32_t cb = static_cast<int32_t>(bDiff * 0.5 / static_cast<double>(0.886f));
        const int32_t cr = static_cast<int32_t>(rDiff * 0.5 / static_cast<double>(0.701f));
        p.c0 = static_cast<int16_t>(cr + 8192);
        p.c1 = static_cast<int16_t>(y);
        p.c2 = static_cast<int16_t>(cb + 8192);
    }
}

void yccToRgbPixels(WorkPixel* pixels, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        WorkPixel& p = pixels[i];
        const int32_t cr = p.c0 - 8192;
        const int32_t y = p.c1;
        const int32_t cb = p.c2 - 8192;
        const float crf = static_cast<float>(cr);
        const float cbf = static_cast<float>(cb);
        const int32_t r = y + static_cast<int32_t>(1.402f * crf);
        const int32_t b = y + static_cast<int32_t>(1.772f * cbf);
        const int32_t g = y - static_cast<int32_t>(0.71413624f * crf + 0.34413627f * cbf);
        p.c0 = static_cast<int16_t>(std::clamp(r, 0, 16383));
        p.c1 = static_cast<int16_t>(std::clamp(g, 0, 16383));
        p.c2 = static_cast<int16_t>(std::clamp(b, 0, 16383));
    }
}

void rgbToYcc(Console& console, int verbosity, WorkPixel* image, int width, int height)
{
    if (verbosity >= 1)
        console.print("RGB -> YCC\n");
    if (width <= 0 || height <= 0)
        return;
    rgbToYccPixels(image, static_cast<size_t>(width) * static_cast<size_t>(height));
}

void yccToRgb(Console& console, int verbosity, WorkPixel* image, int width, int height)
{
    if (verbosity >= 1)
        console.print("YCC -> RGB\n");
    if (width <= 0 || height <= 0)
        return;
    yccToRgbPixels(image, static_cast<size_t>(width) * static_cast<size_t>(height));
}

namespace {

constexpr size_t kMinChunk = 1 << 16;

Status convertInBands(RunContext& run, WorkPixel* image, int width, int height, void (*convert)(WorkPixel*, size_t))
{
    if (width <= 0 || height <= 0)
        return Status();
    return run.pool.forRange(static_cast<size_t>(width) * static_cast<size_t>(height), kMinChunk,
                             [&](size_t begin, size_t end) { convert(image + begin, end - begin); });
}

} // namespace

Status rgbToYcc(RunContext& run, WorkPixel* image, int width, int height)
{
    if (run.settings.verbosity >= 1)
        run.console.print("RGB -> YCC\n");
    return convertInBands(run, image, width, height, rgbToYccPixels);
}

Status yccToRgb(RunContext& run, WorkPixel* image, int width, int height)
{
    if (run.settings.verbosity >= 1)
        run.console.print("YCC -> RGB\n");
    return convertInBands(run, image, width, height, yccToRgbPixels);
}

} // namespace quovix
