// The working pixel of analysis and fusion.
#pragma once

#include <cstdint>

namespace quovix {

// Colour samples on a 14-bit scale (an 8-bit value v is held as v * 64),
// alpha 0x4000 for a present pixel, 0 for an absent one. Under YCrCb
// processing c0, c1, c2 hold Cr + 8192, Y, Cb + 8192, so c1 is always luma.
struct WorkPixel {
    int16_t c0;
    int16_t c1;
    int16_t c2;
    int16_t alpha;
};
static_assert(sizeof(WorkPixel) == 8, "WorkPixel is four 16-bit samples");

constexpr int16_t kAlphaPresent = 0x4000;

// Laplacian level files store colour samples as value + 8192, so that signed
// detail fits unsigned 16-bit samples.
constexpr int16_t kLaplacianOffset = 8192;

// Size of pyramid level `level` of a side: halved (rounding up) per level.
inline int levelSize(int size, int level)
{
    for (int l = 0; l < level; ++l)
        size = (size + 1) / 2;
    return size;
}

} // namespace quovix
