// One image-list entry read onto the run's canvas as 16-bit samples, the form
// in which the alignment measures and warps it.
#pragma once

#include "alignment/estimate_alignment.h"
#include "analysis/fusion_run.h"

namespace quovix {

// How 8-bit samples are widened to 16 bits.
enum class SampleRange {
    Full,  // v * 257: white is 65535 (what the alignment's clipping limits expect)
    Work,  // v << 8: the fusion's 14-bit working value stays v * 64 exactly
};

// Reads entry `entry` of `list` as the analysis would (preview scaling, RAW
// conversion, placement at its canvas offset) into `frame`: canvas-sized,
// RGB, or RGBA when some canvas pixel is absent (outside the image or
// transparent in it), alpha 65535 where present and 0 (with colour 0)
// elsewhere; grey images become RGB. `present`, when given, receives the
// region of the canvas the image was read at, relative to the canvas.
Status readCanvasFrame(FusionRun& run, const ImageList& list, int entry, SampleRange range,
                       align::LoadedFrame& frame, ImageRegion* present = nullptr);

} // namespace quovix
