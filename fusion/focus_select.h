// The selection mode of focus stacks: every pixel takes the frame in
// sharpest focus there. The choice is made on the analysis' focus maps,
// smoothed so that neighbouring pixels agree (noise and flat areas give no
// speckle of frames), and handed to the combination as per-frame weights
// (1 for the chosen frame, 0 for the others) whose Gaussian pyramid feathers
// the seams: at each level the frames' detail is mixed by the mask blurred
// to that level's scale, so tones and colours are those of real frames.
#pragma once

#include "analysis/fusion_run.h"
#include "analysis/work_pixel.h"
#include "support/memory.h"

#include <cstdint>

namespace quovix {

// Half the side of the square window over which the choice is smoothed
// (the median of the frame indices).
constexpr int kSelectionMedianRadius = 6;

// Per canvas pixel, the index in `images` of the frame chosen: the first of
// those with the largest focus measure ("f" files), then the median of the
// choices around it. Pixels no frame covers get 0.
Status chooseSharpestFrames(FusionRun& run, const ImageList& images, PageBuffer<uint16_t>& chosen);

// The median of the values (0..bins-1) over a (2 * radius + 1)^2 window
// clipped to the image (the lower median where the window holds an even
// count), rows in bands over the run's workers.
Status medianFilter(RunContext& run, const uint16_t* in, int width, int height, int radius, int bins, uint16_t* out);

// Writes each image's selection weights for every level ("w" scratch files,
// 0..65532): the Gaussian pyramid of its 0/1 mask in `chosen`.
Status writeSelectionWeights(FusionRun& run, const ImageList& images, int levels, const uint16_t* chosen);

// Brings every sample of the collapsed result (RGB, canvas size) into the
// range the images hold at that pixel ("v" files; absent pixels take no
// part): where the blend mixes detail of frames focused differently, it may
// otherwise overshoot all of them by a few levels.
Status clampToFrames(FusionRun& run, const ImageList& images, WorkPixel* result);

} // namespace quovix
