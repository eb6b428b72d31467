// Combination of one pyramid level over all images of a set.
#pragma once

#include "analysis/fusion_run.h"
#include "analysis/work_pixel.h"

#include <cstdint>

namespace quovix {

void combineWeightRow(const uint16_t* contrastRow, float contrastWeight,
                      const uint16_t* exposureRow, float exposureWeight,
                      const uint16_t* saturationRow, float saturationWeight,
                      int width, uint16_t* outRow);

// Reads the level files of every image band by band and combines them into
// `target` (the level's size on the run's canvas). With `selection` the
// weights are the images' selection weights ("w" files) instead of the three
// measures. `chosenIndex`, when set, receives per pixel the index of the
// image of the largest weight (the first of equal ones; 0 where no image
// lies).
Status combineLevel(FusionRun& run, const ImageList& images, int level, float contrastWeight, float exposureWeight,
                    float saturationWeight, CombineMode mode, WorkPixel* target, bool selection = false,
                    uint16_t* chosenIndex = nullptr);

} // namespace quovix
