// First estimate of the transform between two frames: their features matched
// with a ratio test, then a model fitted robustly to the matches.
#pragma once

#include "alignment/align_image.h"
#include "alignment/fit_model.h"
#include "alignment/motion_model.h"

#include <string>

namespace quovix::align {

struct FeatureFit {
    int matches = 0;  // pairs that passed the ratio test
    ModelFit model;   // full-size coordinates
};

// Largest distance between feature positions that still counts as a match
// of the fitted model, in pixels of the target's feature image.
constexpr double kInlierThresholdFeaturePx = 2.5;

// False with a reason when the matches are too few to fit the model at all;
// the caller judges the inlier count. A homography starts as an affine map:
// features often crowd into part of the frame, where the perspective terms
// are poorly determined, and the refinement adds them from patches that cover
// the whole frame. May throw cv::Exception.
bool fitFeatures(const AlignImage& moving, const AlignImage& target, MotionModel model, FeatureFit& fit,
                 std::string& failure);

} // namespace quovix::align
