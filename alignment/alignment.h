// Frame alignment for hand-held brackets and focus stacks: the one header the
// run includes. Library code on plain 16-bit buffers; it prints nothing and
// returns errors as values.
//
//   estimateAlignment   every frame's transform onto the reference frame,
//                       reading each frame once through a loader
//   warpRows            one frame resampled onto the reference canvas, a band
//                       of rows at a time (RGBA, alpha 0 outside the frame)
//   commonCrop          the rectangle every warped frame covers
//   formatTransforms /  the transforms as text, for saving and reuse
//   parseTransforms
//
// Choices: brackets are best matched directly against the reference (the
// matching is exposure-neutral, and a chain would add up the errors of its
// links); focus stacks chained, so a strongly blurred frame meets a similar
// one. A frame whose estimate fails keeps the identity and a reason, to be
// fused unaligned with a warning.
#pragma once

#include "alignment/common_crop.h"
#include "alignment/estimate_alignment.h"
#include "alignment/homography.h"
#include "alignment/motion_model.h"
#include "alignment/transform_file.h"
#include "alignment/warp_frame.h"
