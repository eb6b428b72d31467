// Highlight/shadow constraint after focus blending.
#pragma once

#include "analysis/work_pixel.h"
#include "support/run_context.h"

#include <cstdint>

namespace quovix {

// Rescales each colour channel so that a share (-t) of its overshoot beyond
// 0..16383 comes back into range.
Status constrainHighlights(RunContext& run, WorkPixel* pixels, int64_t count);

} // namespace quovix
