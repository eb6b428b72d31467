// Resampling one frame onto the reference canvas, a band of rows at a time, so
// that only the source frame and one band of output are held in memory.
#pragma once

#include "alignment/homography.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace quovix::align {

// A frame of interleaved 16-bit samples in memory owned by the caller.
struct Frame16 {
    const uint16_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int channels = 0;      // 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA
    size_t rowStride = 0;  // samples from the start of one row to the next
};

enum class WarpKernel {
    Bicubic,  // 4x4 taps
    Lanczos,  // 8x8 taps (Lanczos-4), sharper and about four times slower
};

// Largest frame side the warp handles (its sample positions are 16-bit).
constexpr int kMaxWarpSide = 32000;

// Where the reference-canvas pixel (x, y) samples a width x height source
// frame, given the reference -> source transform; true when that point lies on
// the frame, i.e. within half a pixel of its outermost pixel centres. This is
// the footprint the warp marks present and the common crop stays inside.
inline bool sourcePosition(const Homography& fromReference, int width, int height, double x, double y,
                           double& sx, double& sy)
{
    const Homography& g = fromReference;
    const double w = g[6] * x + g[7] * y + g[8];
    if (!(w > 0.0))
        return false;
    sx = (g[0] * x + g[1] * y + g[2]) / w;
    sy = (g[3] * x + g[4] * y + g[5]) / w;
    return sx >= -0.5 && sx <= width - 0.5 && sy >= -0.5 && sy <= height - 0.5;
}

// Fills rows [y0, y1) of the outWidth x outHeight reference canvas with the
// frame warped by `toReference` (frame pixel -> reference pixel). `rgbaOut`
// receives (y1 - y0) rows of outWidth RGBA pixels, 4 samples each, no padding.
// Samples are interpolated on the 16-bit values and clamped to 0..65535; grey
// is copied to R, G and B. Alpha is 65535 inside the warped footprint (and,
// when the frame has alpha, where its nearest source pixel is present), 0
// elsewhere, where the colour samples are 0 too. Whole-pixel shifts and the
// identity reproduce the samples exactly. The result of a row does not depend
// on the band it is computed in. False with a message on invalid arguments.
bool warpRows(const Frame16& source, const Homography& toReference, int outWidth, int outHeight, int y0, int y1,
              WarpKernel kernel, uint16_t* rgbaOut, std::string& error);

} // namespace quovix::align
