// Per-image analysis: each image of a list becomes its Laplacian level files
// and weight maps in the scratch folder, and its exposure measure.
#pragma once

#include "imageio/image_types.h"

int analyseImages(ImageList& list, int levels);

// Converts `count` pixels of a stored layout into WorkPixels, in place.
void widenToWork(void* buffer, int64_t count, int bytesPerPixel);

// Smallest level whose smaller side is at most 50, or levels - 1.
int analysisLevel(int width, int height, int levels);
