// Fusion of one analysed image set into one output file.
#pragma once

#include "analysis/fusion_run.h"

#include <string>

namespace quovix {

// Combines and collapses the set level by level, finishes the image and writes
// it. The run's own output (settings.outputPath) is written under a temporary
// name beside it and renamed into place when complete. With `selection`
// the images are blended by their selection weights (fusion/focus_select.h),
// a weighted average at every level; the weights and mode are not used.
// `chosenIndex` (canvas size), when set, receives the index of the image of
// the largest weight at every pixel of level 0.
Status fuseImageSet(FusionRun& run, const ImageList& images, int levels, float contrastWeight, float exposureWeight,
                    float saturationWeight, CombineMode mode, const std::string& outputPath, bool applyLevels,
                    bool selection = false, uint16_t* chosenIndex = nullptr);

} // namespace quovix
