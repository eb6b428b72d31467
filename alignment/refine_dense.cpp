#include "alignment/refine_dense.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>


namespace quovix::align {

namespace {

constexpr int kLevels = 3;
constexpr int kIterations[kLevels] = {30, 40, 60};  // finest level first
constexpr double kEpsilon = 1e-5;
constexpr double kLogOffset = 655.0;  // 1 % of full scale: dark, noisy values count little
constexpr double kMinGain = 1e-4;    // correlation the refinement must add to be kept

int eccMotion(MotionModel model)
{
    switch (model) {
    case MotionModel::Translation: return cv::MOTION_TRANSLATION;
    case MotionModel::Euclidean: return cv::MOTION_EUCLIDEAN;
    case MotionModel::Affine: return cv::MOTION_AFFINE;
    case MotionModel::Homography: break;
    }
    return cv::MOTION_HOMOGRAPHY;
}

// Target -> moving warp in the layout findTransformECC takes (2x3 unless a homography).
cv::Mat toWarp(const Homography& targetToMoving, MotionModel model)
{
    const int rows = model == MotionModel::Homography ? 3 : 2;
    cv::Mat w(rows, 3, CV_32F);
    for (int k = 0; k < rows * 3; ++k)
        w.at<float>(k / 3, k % 3) = static_cast<float>(targetToMoving[k] / targetToMoving[8]);
    return w;
}

Homography fromWarp(const cv::Mat& w)
{
    Homography h = identityHomography();
    for (int k = 0; k < w.rows * 3; ++k)
        h[k] = w.at<float>(k / 3, k % 3);
    return h;
}

cv::Mat reduced(const cv::Mat& image, int factor, int interpolation)
{
    if (factor == 1)
        return image;
    cv::Mat out;
    cv::resize(image, out, cv::Size(image.cols / factor, image.rows / factor), 0, 0, interpolation);
    return out;
}

cv::Mat fullMask(const cv::Mat& image)
{
    return cv::Mat(image.size(), CV_8U, cv::Scalar(255));
}

// Log of the moving frame's 16-bit values after mapping them onto the target's
// by the two histograms over the common area: a table over all 65536 values.
std::vector<float> toneTable(const cv::Mat& moving, const cv::Mat& movingValid, const cv::Mat& target,
                             const Homography& targetToMoving)
{
    cv::Mat m(3, 3, CV_64F);
    for (int k = 0; k < 9; ++k)
        m.at<double>(k / 3, k % 3) = targetToMoving[k];
    cv::Mat warped, valid;
    cv::warpPerspective(moving, warped, m, target.size(), cv::INTER_NEAREST | cv::WARP_INVERSE_MAP,
                        cv::BORDER_CONSTANT);
    cv::warpPerspective(movingValid, valid, m, target.size(), cv::INTER_NEAREST | cv::WARP_INVERSE_MAP,
                        cv::BORDER_CONSTANT);
    std::vector<uint64_t> hm(65536, 0), ht(65536, 0);
    uint64_t total = 0;
    for (int r = 0; r < target.rows; ++r) {
        const uint16_t* a = warped.ptr<uint16_t>(r);
        const uint16_t* b = target.ptr<uint16_t>(r);
        const uint8_t* v = valid.ptr<uint8_t>(r);
        for (int x = 0; x < target.cols; ++x)
            if (v[x] != 0) {
                ++hm[a[x]];
                ++ht[b[x]];
                ++total;
            }
    }
    std::vector<float> table(65536);
    uint64_t below = 0;   // moving values under v
    uint64_t reached = 0; // target values up to t
    int t = 0;
    for (int v = 0; v < 65536; ++v) {
        // The target value at the middle rank of v's moving pixels.
        const uint64_t rank = below + hm[v] / 2;
        while (t < 65535 && reached + ht[t] <= rank) {
            reached += ht[t];
            ++t;
        }
        const double value = total == 0 ? v : t;
        table[v] = static_cast<float>(std::log2(value + kLogOffset));
        below += hm[v];
    }
    return table;
}

cv::Mat applyTable(const cv::Mat& image, const std::vector<float>& table)
{
    cv::Mat out(image.size(), CV_32F);
    for (int r = 0; r < image.rows; ++r) {
        const uint16_t* in = image.ptr<uint16_t>(r);
        float* o = out.ptr<float>(r);
        for (int x = 0; x < image.cols; ++x)
            o[x] = table[in[x]];
    }
    return out;
}

// Zero-mean normalised correlation of the template with the input warped by
// the target -> moving transform, over the pixels where the warped input is present.
double correlationAt(const cv::Mat& templ, const cv::Mat& input, const cv::Mat& inputMask, const Homography& g)
{
    cv::Mat m(3, 3, CV_64F);
    for (int k = 0; k < 9; ++k)
        m.at<double>(k / 3, k % 3) = g[k];
    cv::Mat warped, valid;
    cv::warpPerspective(input, warped, m, templ.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT);
    cv::warpPerspective(inputMask, valid, m, templ.size(), cv::INTER_NEAREST | cv::WARP_INVERSE_MAP,
                        cv::BORDER_CONSTANT);
    cv::Scalar mt, st, mw, sw;
    cv::meanStdDev(templ, mt, st, valid);
    cv::meanStdDev(warped, mw, sw, valid);
    if (!(st[0] > 0.0) || !(sw[0] > 0.0))
        return 0.0;
    cv::Mat a = templ - mt[0], b = warped - mw[0];
    const double covariance = cv::mean(a.mul(b), valid)[0];
    return covariance / (st[0] * sw[0]);
}

// The finest level: both detail images reduced by a power of two until the
// target's longer side fits.
struct DenseLevel {
    cv::Mat targetLevel, movingLevel, movingValid;
    double ts = 1.0, ms = 1.0;  // scales of the target's and the moving frame's level
};

DenseLevel denseLevel(const AlignImage& moving, const AlignImage& target)
{
    DenseLevel level;
    int factor = 1;
    while (std::max(target.detail.cols, target.detail.rows) / factor > kDenseMaxSide)
        factor *= 2;
    level.targetLevel = reduced(target.detail, factor, cv::INTER_AREA);
    level.movingLevel = reduced(moving.detail, factor, cv::INTER_AREA);
    level.movingValid = moving.detailMask.empty() ? fullMask(level.movingLevel)
                                                  : reduced(moving.detailMask, factor, cv::INTER_AREA);
    cv::threshold(level.movingValid, level.movingValid, 254, 255, cv::THRESH_BINARY);
    level.ts = target.detailScale / factor;
    level.ms = moving.detailScale / factor;
    return level;
}

// Log grey of the target and of the moving frame toned like it, and where
// the moving frame is present. Clipped pixels stay in: the tone table maps
// them onto the target's brightest (darkest) pixels, and the outline of a
// clipped area still follows the scene.
void finestLevel(const DenseLevel& level, const Homography& targetToMoving, cv::Mat& templ, cv::Mat& input,
                 cv::Mat& mask)
{
    std::vector<float> logTable(65536);
    for (int v = 0; v < 65536; ++v)
        logTable[v] = static_cast<float>(std::log2(v + kLogOffset));
    templ = applyTable(level.targetLevel, logTable);
    input = applyTable(level.movingLevel,
                       toneTable(level.movingLevel, level.movingValid, level.targetLevel, targetToMoving));
    mask = level.movingValid;
}

} // namespace

double wholeFrameCorrelation(const AlignImage& moving, const AlignImage& target, const Homography& movingToTarget)
{
    const DenseLevel level = denseLevel(moving, target);
    Homography targetToMoving;
    if (!invert(rescale(movingToTarget, level.ms, level.ts), targetToMoving))
        return 0.0;
    cv::Mat templ, input, mask;
    finestLevel(level, targetToMoving, templ, input, mask);
    return correlationAt(templ, input, mask, targetToMoving);
}

bool refineDense(const AlignImage& moving, const AlignImage& target, MotionModel model, Homography& movingToTarget,
                 DenseReport& report, std::string& failure)
{
    const DenseLevel level = denseLevel(moving, target);
    const double ts = level.ts, ms = level.ms;

    Homography targetToMoving;
    if (!invert(rescale(movingToTarget, ms, ts), targetToMoving)) {
        failure = "singular transform";
        return false;
    }
    std::vector<cv::Mat> templ(kLevels), input(kLevels), mask(kLevels);
    finestLevel(level, targetToMoving, templ[0], input[0], mask[0]);
    for (int l = 1; l < kLevels; ++l) {
        cv::resize(templ[l - 1], templ[l], cv::Size(templ[l - 1].cols / 2, templ[l - 1].rows / 2), 0, 0,
                   cv::INTER_AREA);
        cv::resize(input[l - 1], input[l], cv::Size(input[l - 1].cols / 2, input[l - 1].rows / 2), 0, 0,
                   cv::INTER_AREA);
        cv::resize(mask[l - 1], mask[l], cv::Size(mask[l - 1].cols / 2, mask[l - 1].rows / 2), 0, 0,
                   cv::INTER_AREA);
        cv::threshold(mask[l], mask[l], 254, 255, cv::THRESH_BINARY);
    }
    report.startCorrelation = correlationAt(templ[0], input[0], mask[0], targetToMoving);

    // Levels are halved exactly (sizes rounded down), so a transform moves
    // between them by the pixel-centre rescaling.
    Homography g = rescale(targetToMoving, 1.0 / (1 << (kLevels - 1)), 1.0 / (1 << (kLevels - 1)));
    for (int l = kLevels - 1; l >= 0; --l) {
        cv::Mat warp = toWarp(g, model);
        try {
            cv::findTransformECC(templ[l], input[l], warp, eccMotion(model),
                                 cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, kIterations[l],
                                                  kEpsilon),
                                 mask[l], 5);
        } catch (const cv::Exception&) {
            failure = "whole-frame correlation did not converge";
            return false;
        }
        g = fromWarp(warp);
        if (l > 0)
            g = rescale(g, 2.0, 2.0);
    }
    report.correlation = correlationAt(templ[0], input[0], mask[0], g);
    if (!(report.correlation > report.startCorrelation + kMinGain)) {
        failure = "whole-frame correlation gained nothing";
        return false;
    }
    Homography levelH;
    if (!invert(g, levelH)) {
        failure = "singular transform";
        return false;
    }
    movingToTarget = rescale(levelH, 1.0 / ms, 1.0 / ts);
    return true;
}

} // namespace quovix::align
