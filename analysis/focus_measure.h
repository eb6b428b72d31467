// How sharply a frame of a focus stack is focused around each pixel: the
// energy of its finest pyramid band in luma, averaged over a window, so that
// the frames of a stack can be compared pixel by pixel.
#pragma once

#include "analysis/fusion_run.h"
#include "analysis/work_pixel.h"

#include <cstdint>

namespace quovix {

// Half the side of the square window the band energy is averaged over.
constexpr int kFocusWindowRadius = 4;

// The focus measure of every pixel from level 0 of a Laplacian pyramid
// (signed detail, as the analysis holds it before writing): 0 where the
// pixel is absent, else 1 + 16 x the RMS luma detail of the window's present
// pixels, at most 65535. Rows in bands over the run's workers; the same
// values for any band split.
Status focusMeasureMap(FusionRun& run, const WorkPixel* laplacian, int width, int height, uint16_t* out);

} // namespace quovix
