// Noise reduction of a finished image on its finest Laplacian levels.
#pragma once

#include "analysis/fusion_run.h"
#include "analysis/work_pixel.h"

namespace quovix {

Status reduceNoise(FusionRun& run, WorkPixel* image, int width, int height);
// Filters one Laplacian level in place; a threshold of -1.0 leaves that component alone.
void filterNoiseLevel(RunContext& run, WorkPixel* level, int width, int height, float lumaThreshold,
                      float chromaThreshold);

} // namespace quovix
