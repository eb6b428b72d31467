#include "alignment/fit_model.h"

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace quovix::align {

namespace {

// Both calib3d RANSAC loops draw from an RNG seeded with a constant on every
// call, so the fits do not depend on earlier calls or on threads.
constexpr int kRansacIterations = 4000;
constexpr double kRansacConfidence = 0.999;

Homography fromAffine(const cv::Mat& a)
{
    return {a.at<double>(0, 0), a.at<double>(0, 1), a.at<double>(0, 2),
            a.at<double>(1, 0), a.at<double>(1, 1), a.at<double>(1, 2), 0.0, 0.0, 1.0};
}

// Closest rotation + shift (least squares) taking the moving points onto the
// target points.
Homography fitEuclidean(const std::vector<cv::Point2d>& m, const std::vector<cv::Point2d>& t)
{
    cv::Point2d cm(0, 0), ct(0, 0);
    for (size_t i = 0; i < m.size(); ++i) {
        cm += m[i];
        ct += t[i];
    }
    cm *= 1.0 / static_cast<double>(m.size());
    ct *= 1.0 / static_cast<double>(t.size());
    double sCos = 0.0, sSin = 0.0;
    for (size_t i = 0; i < m.size(); ++i) {
        const cv::Point2d a = m[i] - cm, b = t[i] - ct;
        sCos += a.x * b.x + a.y * b.y;
        sSin += a.x * b.y - a.y * b.x;
    }
    const double angle = std::atan2(sSin, sCos);
    const double c = std::cos(angle), s = std::sin(angle);
    return {c, -s, ct.x - (c * cm.x - s * cm.y), s, c, ct.y - (s * cm.x + c * cm.y), 0.0, 0.0, 1.0};
}

Homography fitTranslation(const std::vector<cv::Point2d>& m, const std::vector<cv::Point2d>& t)
{
    cv::Point2d d(0, 0);
    for (size_t i = 0; i < m.size(); ++i)
        d += t[i] - m[i];
    d *= 1.0 / static_cast<double>(m.size());
    return {1.0, 0.0, d.x, 0.0, 1.0, d.y, 0.0, 0.0, 1.0};
}

// Least-squares affine map (no outlier handling).
bool fitAffine(const std::vector<cv::Point2d>& m, const std::vector<cv::Point2d>& t, Homography& h)
{
    const int n = static_cast<int>(m.size());
    cv::Mat a(n, 3, CV_64F), bu(n, 1, CV_64F), bv(n, 1, CV_64F);
    for (int i = 0; i < n; ++i) {
        a.at<double>(i, 0) = m[i].x;
        a.at<double>(i, 1) = m[i].y;
        a.at<double>(i, 2) = 1.0;
        bu.at<double>(i) = t[i].x;
        bv.at<double>(i) = t[i].y;
    }
    cv::Mat xu, xv;
    if (!cv::solve(a, bu, xu, cv::DECOMP_SVD) || !cv::solve(a, bv, xv, cv::DECOMP_SVD))
        return false;
    h = {xu.at<double>(0), xu.at<double>(1), xu.at<double>(2), xv.at<double>(0), xv.at<double>(1), xv.at<double>(2),
         0.0, 0.0, 1.0};
    return true;
}

std::vector<cv::Point2f> toFloat(const std::vector<cv::Point2d>& p)
{
    std::vector<cv::Point2f> out;
    out.reserve(p.size());
    for (const cv::Point2d& q : p)
        out.emplace_back(static_cast<float>(q.x), static_cast<float>(q.y));
    return out;
}

} // namespace

int minimalPairs(MotionModel model)
{
    switch (model) {
    case MotionModel::Translation: return 1;
    case MotionModel::Euclidean: return 2;
    case MotionModel::Affine: return 3;
    case MotionModel::Homography: return 4;
    }
    return 4;
}

bool fitModel(MotionModel model, const std::vector<cv::Point2d>& moving, const std::vector<cv::Point2d>& target,
              double threshold, ModelFit& fit)
{
    fit = ModelFit();
    // Translation and rotation pick their pairs through the similarity fit,
    // which needs two.
    if (moving.size() < static_cast<size_t>(std::max(2, minimalPairs(model))))
        return false;
    const std::vector<cv::Point2f> m = toFloat(moving), t = toFloat(target);
    cv::Mat result;
    switch (model) {
    case MotionModel::Homography:
        result = cv::findHomography(m, t, cv::RANSAC, threshold, fit.inlier, kRansacIterations, kRansacConfidence);
        break;
    case MotionModel::Affine:
        result = cv::estimateAffine2D(m, t, fit.inlier, cv::RANSAC, threshold, kRansacIterations, kRansacConfidence);
        break;
    default:
        result = cv::estimateAffinePartial2D(m, t, fit.inlier, cv::RANSAC, threshold, kRansacIterations,
                                             kRansacConfidence);
        break;
    }
    if (result.empty() || fit.inlier.size() != moving.size())
        return false;
    // RANSAC's threshold admits pairs a fair way off; the final model is
    // fitted in least squares to the pairs within a few times the typical
    // residual of the consensus, which the loose ones would otherwise bend.
    for (int round = 0; round < 3; ++round) {
        fit.moving.clear();
        fit.target.clear();
        for (size_t i = 0; i < moving.size(); ++i)
            if (fit.inlier[i]) {
                fit.moving.push_back(moving[i]);
                fit.target.push_back(target[i]);
            }
        if (fit.moving.size() < static_cast<size_t>(std::max(2, minimalPairs(model))))
            return false;
        switch (model) {
        case MotionModel::Translation: fit.movingToTarget = fitTranslation(fit.moving, fit.target); break;
        case MotionModel::Euclidean: fit.movingToTarget = fitEuclidean(fit.moving, fit.target); break;
        case MotionModel::Affine:
            if (round == 0)
                fit.movingToTarget = fromAffine(result);
            else if (!fitAffine(fit.moving, fit.target, fit.movingToTarget))
                return false;
            break;
        case MotionModel::Homography:
            if (round > 0) {
                result = cv::findHomography(toFloat(fit.moving), toFloat(fit.target), 0);
                if (result.empty())
                    return false;
            }
            for (int k = 0; k < 9; ++k)
                fit.movingToTarget[k] = result.at<double>(k / 3, k % 3);
            break;
        }
        if (round == 2)
            break;
        const double cutoff = std::max(threshold * 0.15, 3.0 * medianResidual(fit.movingToTarget, fit.moving, fit.target));
        for (size_t i = 0; i < moving.size(); ++i) {
            double x, y;
            fit.inlier[i] = mapPoint(fit.movingToTarget, moving[i].x, moving[i].y, x, y) &&
                            std::hypot(x - target[i].x, y - target[i].y) <= std::min(cutoff, threshold);
        }
    }
    return true;
}

namespace {

// Derivatives of the mapped point (u, v) by the model parameters at (x, y),
// into rows du and dv. Parameters: translation tx ty; euclidean angle tx ty;
// affine the six entries; homography the eight entries with h22 = 1.
int pointJacobian(MotionModel model, const Homography& h, double x, double y, double* du, double* dv)
{
    switch (model) {
    case MotionModel::Translation:
        du[0] = 1, du[1] = 0;
        dv[0] = 0, dv[1] = 1;
        return 2;
    case MotionModel::Euclidean:
        du[0] = -h[3] * x - h[0] * y, du[1] = 1, du[2] = 0;
        dv[0] = h[0] * x - h[3] * y, dv[1] = 0, dv[2] = 1;
        return 3;
    case MotionModel::Affine:
        du[0] = x, du[1] = y, du[2] = 1, du[3] = du[4] = du[5] = 0;
        dv[0] = dv[1] = dv[2] = 0, dv[3] = x, dv[4] = y, dv[5] = 1;
        return 6;
    case MotionModel::Homography: {
        const double w = h[6] * x + h[7] * y + h[8];
        const double u = (h[0] * x + h[1] * y + h[2]) / w;
        const double v = (h[3] * x + h[4] * y + h[5]) / w;
        du[0] = x / w, du[1] = y / w, du[2] = 1 / w, du[3] = du[4] = du[5] = 0, du[6] = -u * x / w, du[7] = -u * y / w;
        dv[0] = dv[1] = dv[2] = 0, dv[3] = x / w, dv[4] = y / w, dv[5] = 1 / w, dv[6] = -v * x / w, dv[7] = -v * y / w;
        return 8;
    }
    }
    return 0;
}

} // namespace

double cornerUncertainty(MotionModel model, const ModelFit& fit, int width, int height)
{
    const size_t n = fit.moving.size();
    const int params = 2 * minimalPairs(model) - (model == MotionModel::Euclidean ? 1 : 0);
    if (n * 2 <= static_cast<size_t>(params))
        return std::numeric_limits<double>::infinity();
    // Centred, unit-sized coordinates keep the normal equations well scaled.
    const double cx = (width - 1) * 0.5, cy = (height - 1) * 0.5, s = std::max(width, height) * 0.5;
    const Homography toUnit = {1 / s, 0, -cx / s, 0, 1 / s, -cy / s, 0, 0, 1};
    const Homography fromUnit = {s, 0, cx, 0, s, cy, 0, 0, 1};
    Homography h = multiply(toUnit, multiply(fit.movingToTarget, fromUnit));
    for (double& v : h)
        v /= h[8] == 0.0 ? 1.0 : h[8];

    // Per-axis noise from the mean squared distance, corrected for the
    // parameters the fit has taken up.
    double squares = 0.0;
    for (size_t i = 0; i < n; ++i) {
        double x, y;
        if (!mapPoint(fit.movingToTarget, fit.moving[i].x, fit.moving[i].y, x, y))
            return std::numeric_limits<double>::infinity();
        squares += (x - fit.target[i].x) * (x - fit.target[i].x) + (y - fit.target[i].y) * (y - fit.target[i].y);
    }
    const double sigma = std::sqrt(squares / static_cast<double>(2 * n - params)) / s;
    cv::Mat normal = cv::Mat::zeros(params, params, CV_64F);
    double du[8], dv[8];
    for (size_t i = 0; i < n; ++i) {
        pointJacobian(model, h, (fit.moving[i].x - cx) / s, (fit.moving[i].y - cy) / s, du, dv);
        for (int a = 0; a < params; ++a)
            for (int b = 0; b < params; ++b)
                normal.at<double>(a, b) += du[a] * du[b] + dv[a] * dv[b];
    }
    cv::Mat covariance;
    if (cv::invert(normal, covariance, cv::DECOMP_SVD) < 1e-12)
        return std::numeric_limits<double>::infinity();
    double variance = 0.0;
    const double corners[4][2] = {{-cx, -cy}, {cx, -cy}, {-cx, cy}, {cx, cy}};
    for (const auto& c : corners) {
        pointJacobian(model, h, c[0] / s, c[1] / s, du, dv);
        for (int a = 0; a < params; ++a)
            for (int b = 0; b < params; ++b)
                variance += (du[a] * du[b] + dv[a] * dv[b]) * covariance.at<double>(a, b);
    }
    return std::sqrt(std::max(0.0, variance / 4.0)) * sigma * s;
}

double medianResidual(const Homography& h, const std::vector<cv::Point2d>& moving,
                      const std::vector<cv::Point2d>& target)
{
    std::vector<double> d;
    d.reserve(moving.size());
    for (size_t i = 0; i < moving.size(); ++i) {
        double x, y;
        if (!mapPoint(h, moving[i].x, moving[i].y, x, y))
            d.push_back(HUGE_VAL);
        else
            d.push_back(std::hypot(x - target[i].x, y - target[i].y));
    }
    if (d.empty())
        return 0.0;
    const size_t mid = d.size() / 2;
    std::nth_element(d.begin(), d.begin() + mid, d.end());
    double median = d[mid];
    if (d.size() % 2 == 0)
        median = 0.5 * (median + *std::max_element(d.begin(), d.begin() + mid));
    return median;
}

} // namespace quovix::align
