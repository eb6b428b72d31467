#include "fusion/levels_adjust.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace quovix {

namespace {

constexpr int kTableSize = 65536;

// Position of sample index i between the black and the white point, 0..1.
float levelsPosition(int i, float bp, float wp)
{
    float v = static_cast<float>(i) / 16383.0f;
    // Equal points would divide by zero (and give NaN exactly at the point):
    // treat the curve as a hard step there.
    if (wp == bp)
        return v >= bp ? 1.0f : 0.0f;
    float x = (v - bp) / (wp - bp);
    if (!(x >= 0.0f)) // also catches NaN
        x = 0.0f;
    if (x > 1.0f)
        x = 1.0f;
    return x;
}

} // namespace

Status adjustLevels(RunContext& run, WorkPixel* pixels, int width, int height)
{
    const LevelsParams& p = run.settings.levelsAdjust;
    const float bp = p.blackPoint;
    const float wp = p.whitePoint;
    const float f = p.factor;
    const float w = p.weight;
    run.console.print("\nPerforming levels adjustment: bp=%.2f wp%.2f f=%.2f w=%.2f\n", bp, wp, f, w);

    std::vector<uint16_t> table(kTableSize);
    uint16_t* t = table.data();
    const float invF = 1.0f / f;
    for (int i = 0; i < kTableSize; ++i) {
        float x = levelsPosition(i, bp, wp);
        float a = static_cast<float>(std::pow(static_cast<double>(1.0f - x), static_cast<double>(f)));
        float b = static_cast<float>(std::pow(static_cast<double>(x), static_cast<double>(invF)));
        float y = (1.0f - a) * (1.0f - w) + b * w;
        if (!(y >= 0.0f)) // a NaN factor or weight must not reach the conversion
            y = 0.0f;
        float v = y * 16383.0f;
        if (v > 16383.0f)
            v = 16383.0f;
        t[i] = static_cast<uint16_t>(static_cast<int>(v));
    }

    const size_t count = width > 0 && height > 0 ? static_cast<size_t>(width) * static_cast<size_t>(height) : 0;
    return run.pool.forRange(count, size_t{1} << 16, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            WorkPixel& px = pixels[i];
            px.c0 = static_cast<int16_t>(t[static_cast<uint16_t>(px.c0)]);
            px.c1 = static_cast<int16_t>(t[static_cast<uint16_t>(px.c1)]);
            px.c2 = static_cast<int16_t>(t[static_cast<uint16_t>(px.c2)]);
        }
    });
}

} // namespace quovix
