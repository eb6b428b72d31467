#include "alignment/match_features.h"

#include <opencv2/features2d.hpp>

namespace quovix::align {

namespace {

constexpr float kRatio = 0.8f;

} // namespace

bool fitFeatures(const AlignImage& moving, const AlignImage& target, MotionModel model, FeatureFit& fit,
                 std::string& failure)
{
    fit = FeatureFit();
    if (moving.descriptors.rows < 2 || target.descriptors.rows < 2) {
        failure = "no usable features (flat or empty image)";
        return false;
    }
    cv::BFMatcher matcher(cv::NORM_HAMMING);
    std::vector<std::vector<cv::DMatch>> knn;
    matcher.knnMatch(moving.descriptors, target.descriptors, knn, 2);
    std::vector<cv::Point2d> m, t;
    for (const std::vector<cv::DMatch>& pair : knn) {
        if (pair.size() < 2 || pair[0].distance >= kRatio * pair[1].distance)
            continue;
        m.push_back(featureToFull(moving, moving.keypoints[pair[0].queryIdx].pt));
        t.push_back(featureToFull(target, target.keypoints[pair[0].trainIdx].pt));
    }
    fit.matches = static_cast<int>(m.size());
    if (fit.matches < 8) {
        failure = "too few feature matches (" + std::to_string(fit.matches) + ")";
        return false;
    }
    const MotionModel first = model == MotionModel::Homography ? MotionModel::Affine : model;
    if (!fitModel(first, m, t, kInlierThresholdFeaturePx / target.featureScale, fit.model)) {
        failure = "no consistent transform among the feature matches";
        return false;
    }
    return true;
}

} // namespace quovix::align
