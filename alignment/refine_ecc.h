// Sub-pixel refinement of a transform between two frames. The moving frame is
// warped by the current estimate; small patches on a grid are then matched
// with the enhanced correlation coefficient (ECC) as pure shifts, which is
// well conditioned and indifferent to gain and offset (so to exposure), and
// the model is fitted robustly to the patch centres. Coarse to fine, from
// about the feature scale up to the detail scale.
#pragma once

#include "alignment/align_image.h"
#include "alignment/homography.h"
#include "alignment/motion_model.h"

#include <string>

namespace quovix::align {

struct RefineReport {
    int patches = 0;             // patch matches of the finest pass that the model fit kept
    double medianResidualPx = 0.0;  // of those, in full-size pixels
    double correlation = 0.0;       // median ECC correlation of those patches
    MotionModel model = MotionModel::Homography;  // the model fitted in the end
    double uncertaintyPx = 0.0;     // its corner uncertainty (see cornerUncertainty)
};

// Largest corner uncertainty of a refined model: when patches crowd into part
// of the frame (the rest clipped or flat), a model with fewer parameters that
// stays within it takes over.
constexpr double kMaxCornerUncertaintyPx = 0.5;

// Refines movingToTarget in place. False with a reason (and the transform
// untouched) when too few patches match. May throw cv::Exception.
bool refineEcc(const AlignImage& moving, const AlignImage& target, MotionModel model, Homography& movingToTarget,
               RefineReport& report, std::string& failure);

// How far `movingToReference` puts the frame from where the reference itself
// puts it: the corner RMS distance, in full-size pixels, between it and its
// refinement straight against the reference (patch correlation started from
// it). `refined` receives that refinement and `residualPx` its patch
// residual. Negative when the refinement finds too few patches to say. May
// throw cv::Exception.
double disagreementWithReference(const AlignImage& moving, const AlignImage& reference, MotionModel model,
                                 const Homography& movingToReference, Homography& refined, double& residualPx);

} // namespace quovix::align
