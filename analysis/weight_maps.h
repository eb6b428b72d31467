// Per-pixel exposure, contrast and saturation weights of a level, and the
// image's exposure measure.
#pragma once

#include "imageio/image_types.h"

#include <cstdint>

inline int lumaIndex(const WorkPixel& p)
{
    return (30 * p.c0 + 59 * p.c1 + 11 * p.c2) / 100;
}

void exposureWeightMap(const WorkPixel* level, int width, int height, uint16_t* out);
void contrastWeightMap(const WorkPixel* level, int width, int height, uint16_t* out);
void saturationWeightMap(const WorkPixel* level, int width, int height, uint16_t* out);
// Mean gamma-decoded luma of the present pixels (0..16383 scale).
double measureExposure(const WorkPixel* level, int width, int height);
