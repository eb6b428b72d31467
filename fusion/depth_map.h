// The depth map of a focus stack: the frame chosen at every pixel, as a
// greyscale image macro and microscopy users measure with.
#pragma once

#include "analysis/fusion_run.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quovix {

// The sample that stands for frame `index` of `frames`: indices spread over
// the whole range, round(index * top / (frames - 1)), top 255 for up to 256
// frames (8 bits), else 65535 (16 bits). A single frame is 0.
uint16_t depthSample(int index, int frames);

// Writes the map of `chosen` (a frame index per canvas pixel) to `path`: PNG
// when named .png (any case), else TIFF with the canvas position, greyscale.
// Index i stands for frame number[i] of `frames` (i itself when `number` is
// empty). Written beside the name and renamed into place when complete.
Status writeDepthMap(FusionRun& run, const std::string& path, const uint16_t* chosen, int frames,
                     const std::vector<int>& number = {});

} // namespace quovix
