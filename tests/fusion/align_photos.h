// Real photographs for the run-level alignment tests: the hand-held crusader
// bracket reduced once per test program (the frames stay real, only smaller),
// and measures of how well a set of frames lines up.
#pragma once

#include "alignment/photo_frames.h"
#include "image_fixture.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace alignrun {

using alignfx::exposureMatchedDifference;

// The photograph at `scale` as an 8-bit RGB fixture (area averaging).
inline FixtureImage reducedPhoto(const std::string& jpeg, double scale)
{
    cv::Mat rgb = alignfx::readJpeg(jpeg);
    if (rgb.empty())
        return {};
    if (scale != 1.0)
        cv::resize(rgb, rgb, cv::Size(), scale, scale, cv::INTER_AREA);
    FixtureImage image = makeFixture(rgb.cols, rgb.rows, 3, 8);
    for (int r = 0; r < rgb.rows; ++r)
        for (int k = 0; k < rgb.cols * 3; ++k)
            image.data[static_cast<size_t>(r) * rgb.cols * 3 + k] = rgb.ptr<uint8_t>(r)[k];
    return image;
}

// Grey in linear light (0..1) of a fixture holding sRGB samples of 8 or 16
// bits, with or without alpha.
inline std::vector<float> linearGrey(const FixtureImage& image)
{
    static const std::vector<float> table = [] {
        std::vector<float> t(65536);
        for (int v = 0; v < 65536; ++v)
            t[v] = static_cast<float>(alignfx::srgbToLinear(v / 65535.0));
        return t;
    }();
    const size_t pixels = static_cast<size_t>(image.width) * image.height;
    const int step = image.samples;
    const int widen = image.bits == 8 ? 257 : 1;
    std::vector<float> out(pixels);
    for (size_t p = 0; p < pixels; ++p) {
        const uint16_t* s = image.data.data() + p * step;
        out[p] = step < 3 ? table[s[0] * widen]
                          : (table[s[0] * widen] + table[s[1] * widen] + table[s[2] * widen]) / 3.0f;
    }
    return out;
}

// Gradient magnitude (Sobel) of a grey image.
inline cv::Mat gradientMagnitude(const std::vector<float>& grey, int width, int height)
{
    const cv::Mat g(height, width, CV_32F, const_cast<float*>(grey.data()));
    cv::Mat gx, gy, magnitude;
    cv::Sobel(g, gx, CV_32F, 1, 0, 3);
    cv::Sobel(g, gy, CV_32F, 0, 1, 3);
    cv::magnitude(gx, gy, magnitude);
    return magnitude;
}

// Pearson correlation of two images over a rectangle.
inline double correlation(const cv::Mat& a, const cv::Mat& b, const cv::Rect& area)
{
    const cv::Mat x = a(area), y = b(area);
    cv::Scalar ma, sa, mb, sb;
    cv::meanStdDev(x, ma, sa);
    cv::meanStdDev(y, mb, sb);
    const double covariance = cv::mean((x - ma[0]).mul(y - mb[0]))[0];
    return covariance / (sa[0] * sb[0]);
}

} // namespace alignrun
