#include "fusion/highlight_constraint.h"

#include "support/settings.h"

#include <cstdio>

namespace {

// Channel j of the computation reads this sample: the middle one (green or
// luma) first, so that the skip decision rests on it.
int16_t WorkPixel::* const kChannelSample[3] = {&WorkPixel::c1, &WorkPixel::c0, &WorkPixel::c2};

struct ChannelMap {
    int shift;
    float scale;
};

ChannelMap measureChannel(const WorkPixel* pixels, int64_t count, int16_t WorkPixel::* sample, int channel,
                          float strength)
{
    int minValue = 999999;
    int maxValue = -999999;
    for (int64_t i = 0; i < count; ++i) {
        if (pixels[i].alpha == 0)
            continue;
        int v = pixels[i].*sample;
        if (v < minValue)
            minValue = v;
        if (v > maxValue)
            maxValue = v;
    }
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
    if (gSettings.verbosity >= 1)
        std::printf("Channel %d, min/max Vals = %d/%d, black/white Vals = %d/%d,  shift/scale = %d/%.5f\n", channel,
                    minValue, maxValue, black, white, map.shift, map.scale);
    return map;
}

inline int16_t rescale(int16_t v, const ChannelMap& m)
{
    return static_cast<int16_t>(static_cast<int>(static_cast<float>(v + m.shift) * m.scale));
}

} // namespace

void constrainHighlights(WorkPixel* pixels, int64_t count)
{
    const float strength = gSettings.highlightThreshold;
    if (gSettings.verbosity >= 1)
        std::printf("Constrain: colorspace=%d, preservationStrength=%.3f\n", gSettings.useYCrCb ? 1 : 0, strength);

    ChannelMap maps[3];
    for (int j = 0; j < 3; ++j)
        maps[j] = measureChannel(pixels, count, kChannelSample[j], j, strength);

    if (maps[0].shift == 0 && maps[0].scale == 1.0f)
        return;

    for (int64_t i = 0; i < count; ++i) {
        WorkPixel& px = pixels[i];
        px.c1 = rescale(px.c1, maps[0]);
        px.c0 = rescale(px.c0, maps[1]);
        px.c2 = rescale(px.c2, maps[2]);
    }
}
