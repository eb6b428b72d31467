// Levels adjustment of the finished image.
#pragma once

#include "analysis/work_pixel.h"
#include "support/run_context.h"

namespace quovix {

// Levels adjustment of the finished RGB image through a 65536-entry table.
Status adjustLevels(RunContext& run, WorkPixel* pixels, int width, int height);

} // namespace quovix
