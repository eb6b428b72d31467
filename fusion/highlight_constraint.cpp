#include "fusion/highlight_constraint.h"

#include <algorithm>
#include <mutex>

namespace quovix {

namespace {

// Channel j of the computation reads this sample: the middle one (green or
// luma) first, so that the skip decision rests on it.
int16_t WorkPixel::* const kChannelSample[3] = {&WorkPixel::c1, &WorkPixel::c0, &WorkPixel::c2};

struct ChannelMap {
    int shift;
    float scale;
};

constexpr size_t kMinChunk = 1 << 16;

struct Extremes {
    int minValue[3] = {999999, 999999, 999999};
    int maxValue[3] = {-999999, -999999, -999999};
};

// Smallest and largest sample of each channel over the present pixels, in
// chunks over the workers; minima and maxima combine in any order.
Status measureExtremes(RunContext& run, const WorkPixel* pixels, int64_t count, Extremes& all)
{
    std::mutex merge;
    return run.pool.forRange(static_cast<size_t>(count), kMinChunk, [&](size_t begin, size_t end) {
        Extremes e;
        for (size_t i = begin; i < end; ++i) {
            if (pixels[i].alpha == 0)
                continue;
            for (int j = 0; j < 3; ++j) {
                const int v = pixels[i].*kChannelSample[j];
                e.minValue[j] = std::min(e.minValue[j], v);
                e.maxValue[j] = std::max(e.maxValue[j], v);
            }
        }
        std::lock_guard<std::mutex> lock(merge);
        for (int j = 0; j < 3; ++j) {
            all.minValue[j] = std::min(all.minValue[j], e.minValue[j]);
            all.maxValue[j] = std::max(all.maxValue[j], e.maxValue[j]);
        }
    });
}

ChannelMap mapChannel(RunContext& run, int minValue, int maxValue, int channel, float strength)
{
    int black = static_cast<int>(static_cast<float>(minValue) * strength);
    if (black > 0)
        black = 0;
    // The product is single precision, the sum is not: 16383.9999 truncates to
    // 16383 (a float sum would already have rounded it to 16384).
    int white = static_cast<int>(static_cast<double>(static_cast<float>(maxValue - 16383) * strength) + 16383.0);
    if (white < 16383)
        white = 16383;
    ChannelMap map;
    map.shift = -black;
    map.scale = 16383.0f / static_cast<float>(white - black);
    if (run.settings.verbosity >= 1)
        run.console.print("Channel %d, min/max Vals = %d/%d, black/white Vals = %d/%d,  shift/scale = %d/%.5f\n", channel,
                    minValue, maxValue, black, white, map.shift, map.scale);
    return map;
}

inline int16_t rescale(int16_t v, const ChannelMap& m)
{
    return static_cast<int16_t>(static_cast<int>(static_cast<float>(v + m.shift) * m.scale));
}

} // namespace

Status constrainHighlights(RunContext& run, WorkPixel* pixels, int64_t count)
{
    const float strength = run.settings.highlightThreshold;
    if (run.settings.verbosity >= 1)
        run.console.print("Constrain: colorspace=%d, preservationStrength=%.3f\n", run.settings.useYCrCb ? 1 : 0,
                          strength);

    Extremes extremes;
    QVX_TRY(measureExtremes(run, pixels, count, extremes));
    ChannelMap maps[3];
    for (int j = 0; j < 3; ++j)
        maps[j] = mapChannel(run, extremes.minValue[j], extremes.maxValue[j], j, strength);

    if (maps[0].shift == 0 && maps[0].scale == 1.0f)
        return Status();

    return run.pool.forRange(static_cast<size_t>(count), kMinChunk, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            WorkPixel& px = pixels[i];
            px.c1 = rescale(px.c1, maps[0]);
            px.c0 = rescale(px.c0, maps[1]);
            px.c2 = rescale(px.c2, maps[2]);
        }
    });
}

} // namespace quovix
