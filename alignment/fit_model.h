// Robust fit of a motion model to point correspondences: RANSAC picks the
// consistent pairs, the model is then fitted to all of them in least squares.
#pragma once

#include "alignment/homography.h"
#include "alignment/motion_model.h"

#include <opencv2/core.hpp>

#include <vector>

namespace quovix::align {

struct ModelFit {
    Homography movingToTarget = identityHomography();
    std::vector<uchar> inlier;        // per input pair
    std::vector<cv::Point2d> moving;  // the inlier pairs
    std::vector<cv::Point2d> target;
};

// Fewest pairs that determine the model.
int minimalPairs(MotionModel model);

// Fits `model` taking moving points onto target points; `threshold` is the
// largest distance (target units) of a consistent pair. False when there are
// too few pairs or no consensus. May throw cv::Exception.
bool fitModel(MotionModel model, const std::vector<cv::Point2d>& moving, const std::vector<cv::Point2d>& target,
              double threshold, ModelFit& fit);

// How far, in target pixels (root mean square over the four corners of a
// width x height moving frame), the noise of the inlier pairs may move the
// fitted model's corners: the residual spread propagated through the fit. It
// grows when the pairs crowd into part of the frame. Infinite when the pairs
// do not determine the model.
double cornerUncertainty(MotionModel model, const ModelFit& fit, int width, int height);

// Median distance between where h maps the moving points and their targets.
double medianResidual(const Homography& h, const std::vector<cv::Point2d>& moving,
                      const std::vector<cv::Point2d>& target);

} // namespace quovix::align
