// Noise reduction of a finished image on its finest Laplacian levels.
#pragma once

#include "imageio/image_types.h"

void reduceNoise(WorkPixel* image, int width, int height);
// Filters one Laplacian level in place; a threshold of -1.0 leaves that component alone.
void filterNoiseLevel(WorkPixel* level, int width, int height, float lumaThreshold, float chromaThreshold);
