#pragma once

#include "imageio/image_types.h"

#include <cstdint>

// Rescales each colour channel so that a share (-t) of its overshoot beyond
// 0..16383 comes back into range.
void constrainHighlights(WorkPixel* pixels, int64_t count);
