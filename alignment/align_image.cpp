#include "alignment/align_image.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace quovix::align {

namespace {

// log2(v + kLogOffset) spread over 0..65535. The offset keeps the darkest,
// noisiest values (about 1/1000 of full scale and below) from dominating.
constexpr double kLogOffset = 64.0;

const std::array<uint16_t, 65536>& logTable()
{
    static const std::array<uint16_t, 65536> table = [] {
        std::array<uint16_t, 65536> t{};
        const double lo = std::log2(kLogOffset);
        const double hi = std::log2(65535.0 + kLogOffset);
        for (int v = 0; v < 65536; ++v)
            t[v] = static_cast<uint16_t>(std::lround((std::log2(v + kLogOffset) - lo) / (hi - lo) * 65535.0));
        return t;
    }();
    return table;
}

void applyTable(cv::Mat& grey, const uint16_t* table)
{
    for (int r = 0; r < grey.rows; ++r) {
        uint16_t* row = grey.ptr<uint16_t>(r);
        for (int x = 0; x < grey.cols; ++x)
            row[x] = table[row[x]];
    }
}

uint16_t toLinear(double encoded, double gamma)
{
    return static_cast<uint16_t>(std::lround(std::pow(encoded, gamma) * 65535.0));
}

// Smallest whole factor that brings the longer side to at most maxSide.
int reductionFactor(int width, int height, int maxSide)
{
    const int side = std::max(width, height);
    return std::max(1, (side + maxSide - 1) / maxSide);
}

cv::Mat reduce(const cv::Mat& image, int factor)
{
    if (factor == 1)
        return image.clone();
    cv::Mat out;
    cv::resize(image, out, cv::Size(), 1.0 / factor, 1.0 / factor, cv::INTER_AREA);
    return out;
}

// 255 where every full-size pixel under the reduced one is present.
cv::Mat reduceMask(const cv::Mat& mask, int factor)
{
    cv::Mat out = reduce(mask, factor);
    cv::threshold(out, out, 254, 255, cv::THRESH_BINARY);
    return out;
}

// Stretches 16-bit log grey so that 0.5 % of the pixels clip at each end.
cv::Mat stretchTo8Bit(const cv::Mat& grey)
{
    std::vector<uint32_t> histogram(65536, 0);
    for (int r = 0; r < grey.rows; ++r) {
        const uint16_t* row = grey.ptr<uint16_t>(r);
        for (int x = 0; x < grey.cols; ++x)
            ++histogram[row[x]];
    }
    const uint64_t total = static_cast<uint64_t>(grey.rows) * grey.cols;
    const uint64_t tail = total / 200;
    int lo = 0, hi = 65535;
    for (uint64_t sum = 0; lo < 65535 && sum + histogram[lo] <= tail; ++lo)
        sum += histogram[lo];
    for (uint64_t sum = 0; hi > 0 && sum + histogram[hi] <= tail; --hi)
        sum += histogram[hi];
    if (hi <= lo)
        hi = lo + 1;
    cv::Mat out;
    grey.convertTo(out, CV_8U, 255.0 / (hi - lo), -255.0 * lo / (hi - lo));
    return out;
}

} // namespace

void buildAlignImage(const Frame16& frame, const AlignImageSizes& sizes, AlignImage& image)
{
    image = AlignImage();
    image.width = frame.width;
    image.height = frame.height;
    const cv::Mat full(frame.height, frame.width, CV_16UC(frame.channels), const_cast<uint16_t*>(frame.pixels),
                       frame.rowStride * sizeof(uint16_t));
    cv::Mat grey;
    switch (frame.channels) {
    case 1: grey = full; break;
    case 2: cv::extractChannel(full, grey, 0); break;
    case 3: cv::cvtColor(full, grey, cv::COLOR_RGB2GRAY); break;
    default: cv::cvtColor(full, grey, cv::COLOR_RGBA2GRAY); break;
    }
    if (sizes.gamma != 1.0) {
        std::vector<uint16_t> linear(65536);
        for (int v = 0; v < 65536; ++v)
            linear[v] = toLinear(v / 65535.0, sizes.gamma);
        if (grey.data == full.data)
            grey = grey.clone();
        applyTable(grey, linear.data());
    }
    image.clipLow = toLinear(0.005, sizes.gamma);
    image.clipHigh = toLinear(0.97, sizes.gamma);
    const int factor = reductionFactor(frame.width, frame.height, sizes.detailMaxSide);
    image.detailScale = 1.0 / factor;
    image.detail = reduce(grey, factor);
    grey.release();

    cv::Mat featureMask;
    const int featureFactor = reductionFactor(image.detail.cols, image.detail.rows, sizes.featureMaxSide);
    if (frame.channels == 2 || frame.channels == 4) {
        cv::Mat alpha;
        cv::extractChannel(full, alpha, frame.channels - 1);
        cv::Mat present = alpha > 0;
        alpha.release();
        image.detailMask = reduceMask(present, factor);
        if (cv::countNonZero(image.detailMask) == image.detailMask.rows * image.detailMask.cols) {
            image.detailMask.release();
        } else {
            featureMask = reduceMask(image.detailMask, featureFactor);
            // Keep descriptor patches off the absent area.
            cv::erode(featureMask, featureMask, cv::Mat(), cv::Point(-1, -1), 8);
        }
    }

    image.featureScale = image.detailScale / featureFactor;
    cv::Mat logGrey = reduce(image.detail, featureFactor);
    applyTable(logGrey, logTable().data());
    const cv::Mat feature = stretchTo8Bit(logGrey);
    cv::Ptr<cv::ORB> orb = cv::ORB::create(sizes.maxFeatures, 1.2f, 8, 31, 0, 2, cv::ORB::HARRIS_SCORE, 31, 10);
    orb->detectAndCompute(feature, featureMask, image.keypoints, image.descriptors);
}

} // namespace quovix::align
