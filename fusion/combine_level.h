// Combination of one pyramid level over all images of a set.
#pragma once

#include "imageio/image_types.h"

#include <cstdint>

void combineWeightRow(const uint16_t* contrastRow, float contrastWeight,
                      const uint16_t* exposureRow, float exposureWeight,
                      const uint16_t* saturationRow, float saturationWeight,
                      int width, uint16_t* outRow);

int combineLevel(const ImageList& images, int level, float contrastWeight, float exposureWeight,
                 float saturationWeight, int mode, WorkPixel* target);
