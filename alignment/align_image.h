// The reduced, exposure-neutral copies of a frame that the estimation works
// on, so that a frame is read at full size once and then dropped.
#pragma once

#include "alignment/warp_frame.h"

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include <string>
#include <vector>

namespace quovix::align {

struct AlignImageSizes {
    int detailMaxSide = 2048;   // finest level the area-based refinement sees
    int featureMaxSide = 1024;  // where features are detected and matched
    int maxFeatures = 3000;
    double gamma = 2.2;  // encoding of the samples (1: linear)
};

struct AlignImage {
    int width = 0;   // the full-size frame
    int height = 0;
    // Grey in linear light (16-bit), scaled by detailScale = 1 / integer
    // factor. The refinement compares small patches: an exposure change is a
    // gain there, which the correlation ignores, and a focus change a blur,
    // which it can mimic only in linear light (blurring encoded values moves
    // edges towards their dark side).
    cv::Mat detail;
    float clipLow = 0.0f;    // detail values at or beyond which the sensor or
    float clipHigh = 0.0f;   // the encoding had clipped
    double detailScale = 1.0;
    cv::Mat detailMask;  // 8-bit, 255 where the frame is present; empty when all of it is
    // Features on log grey (an exposure change becomes an offset) stretched
    // to its own 0.5..99.5 % range.
    double featureScale = 1.0;
    std::vector<cv::KeyPoint> keypoints;  // feature-image coordinates
    cv::Mat descriptors;
};

// Builds the copies from a full-size frame. May throw cv::Exception.
void buildAlignImage(const Frame16& frame, const AlignImageSizes& sizes, AlignImage& image);

// Point of the feature image in full-size coordinates.
inline cv::Point2d featureToFull(const AlignImage& image, const cv::Point2f& p)
{
    return {(p.x + 0.5) / image.featureScale - 0.5, (p.y + 0.5) / image.featureScale - 0.5};
}

} // namespace quovix::align
