// Per-pixel exposure, contrast and saturation weights of a level, and the
// image's exposure measure.
#pragma once

#include "analysis/fusion_run.h"
#include "analysis/work_pixel.h"

#include <cstdint>

namespace quovix {

inline int lumaIndex(const WorkPixel& p)
{
    return (30 * p.c0 + 59 * p.c1 + 11 * p.c2) / 100;
}

// Whole maps, in bands over the run's workers.
Status exposureWeightMap(FusionRun& run, const WorkPixel* level, int width, int height, uint16_t* out);
Status contrastWeightMap(FusionRun& run, const WorkPixel* level, int width, int height, uint16_t* out);
Status saturationWeightMap(FusionRun& run, const WorkPixel* level, int width, int height, uint16_t* out);
// Contrast weights of `count` Laplacian pixels (the combination computes them
// from the level rows it reads when no contrast file was kept).
void contrastWeights(const WorkPixel* level, size_t count, bool ycc, uint16_t* out);

// Mean gamma-decoded luma of the present pixels (0..16383 scale).
double measureExposure(FusionRun& run, const WorkPixel* level, int width, int height);

} // namespace quovix
