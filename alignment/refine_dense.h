// Whole-frame refinement for scenes that no single plane transform fits (a
// hand-held shot of a figure standing in front of a wall): the transform that
// lines up the frame as a whole, by the enhanced correlation coefficient over
// every present pixel, coarse to fine. The patch refinement fits the dominant
// plane exactly and is preferred where it holds; this is the compromise where
// it does not, and leaves the least ghosting in the fused result.
#pragma once

#include "alignment/align_image.h"
#include "alignment/homography.h"
#include "alignment/motion_model.h"

#include <string>

namespace quovix::align {

struct DenseReport {
    double startCorrelation = 0.0;  // of the transform given
    double correlation = 0.0;       // of the refined one
};

// Longest side of the finest level the refinement works on.
constexpr int kDenseMaxSide = 512;

// Refines movingToTarget in place when that raises the correlation of the
// two frames (log grey, the moving frame's tones matched to the target's over
// their common area). False with a reason, the transform untouched, when it
// does not converge or gains nothing. May throw cv::Exception.
bool refineDense(const AlignImage& moving, const AlignImage& target, MotionModel model, Homography& movingToTarget,
                 DenseReport& report, std::string& failure);

// Correlation of the two frames (as the refinement measures it, over their
// common area) with the moving one placed by movingToTarget: how well a
// candidate lines them up. May throw cv::Exception.
double wholeFrameCorrelation(const AlignImage& moving, const AlignImage& target, const Homography& movingToTarget);

} // namespace quovix::align
