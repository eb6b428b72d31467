// Full-range BT.601 RGB <-> YCrCb on the 14-bit working scale. YCrCb pixels
// hold (Cr + 8192, Y, Cb + 8192), so c1 is always luma.
#pragma once

#include "analysis/work_pixel.h"
#include "support/run_context.h"

#include <cstddef>

namespace quovix {

// Convert `count` pixels in place.
void rgbToYccPixels(WorkPixel* pixels, size_t count);
void yccToRgbPixels(WorkPixel* pixels, size_t count);

// A whole image; "RGB -> YCC" / "YCC -> RGB" under -v.
void rgbToYcc(Console& console, int verbosity, WorkPixel* image, int width, int height);
void yccToRgb(Console& console, int verbosity, WorkPixel* image, int width, int height);

// The same over the run's workers.
Status rgbToYcc(RunContext& run, WorkPixel* image, int width, int height);
Status yccToRgb(RunContext& run, WorkPixel* image, int width, int height);

} // namespace quovix
