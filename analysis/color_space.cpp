// RGB <-> YCrCb on the 14-bit working scale. The precision of every step
// (single-precision products, a double-precision division for the colour
// differences, truncation toward zero) is part of the output format: results
// are compared bit for bit, so the expressions below must not be regrouped.
#include "analysis/color_space.h"

#include "support/settings.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>

void rgbToYcc(WorkPixel* image, int width, int height)
{
    if (gSettings.verbosity >= 1)
        std::printf("RGB -> YCC\n");
    if (width <= 0 || height <= 0)
        return;
    const size_t count = static_cast<size_t>(width) * height;
    for (size_t i = 0; i < count; ++i) {
        WorkPixel& p = image[i];
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

void yccToRgb(WorkPixel* image, int width, int height)
{
    if (gSettings.verbosity >= 1)
        std::printf("YCC -> RGB\n");
    if (width <= 0 || height <= 0)
        return;
    const size_t count = static_cast<size_t>(width) * height;
    for (size_t i = 0; i < count; ++i) {
        WorkPixel& p = image[i];
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
