#include "alignment/refine_ecc.h"

#include "alignment/fit_model.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>

#include <vector>

namespace quovix::align {

namespace {

constexpr int kMaxLevels = 3;
constexpr int kPatch = 64;           // patch side, level pixels
constexpr int kMargin = 8;           // search room around a patch, level pixels
constexpr int kMaxPatchesPerSide = 12;
constexpr double kMinCorrelation = 0.5;
constexpr size_t kMinPatches = 8;
constexpr double kInlierLevelPx = 1.0;  // patch centres further off the model are outliers
// Clipped highlights and crushed shadows show edges that are not in the
// scene (the border of the clipped area moves with the exposure).
constexpr int kMaxClipped = kPatch * kPatch / 50;

int clippedPixels(const cv::Mat& area, float low, float high)
{
    const cv::Mat centre = area(cv::Rect(kMargin, kMargin, kPatch, kPatch));
    int count = 0;
    for (int r = 0; r < centre.rows; ++r) {
        const float* row = centre.ptr<float>(r);
        for (int x = 0; x < centre.cols; ++x)
            count += (row[x] >= high || row[x] <= low) ? 1 : 0;
    }
    return count;
}

// Halved copies, level 0 the detail image itself, as float.
std::vector<cv::Mat> floatPyramid(const cv::Mat& detail, int levels)
{
    std::vector<cv::Mat> out(levels);
    detail.convertTo(out[0], CV_32F);
    for (int k = 1; k < levels; ++k)
        cv::resize(out[k - 1], out[k], cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    return out;
}

std::vector<cv::Mat> maskPyramid(const cv::Mat& mask, int levels)
{
    std::vector<cv::Mat> out(levels);
    if (mask.empty())
        return out;
    out[0] = mask;
    for (int k = 1; k < levels; ++k) {
        cv::resize(out[k - 1], out[k], cv::Size(), 0.5, 0.5, cv::INTER_AREA);
        cv::threshold(out[k], out[k], 254, 255, cv::THRESH_BINARY);
    }
    return out;
}

cv::Mat toMat(const Homography& h)
{
    cv::Mat m(3, 3, CV_64F);
    for (int k = 0; k < 9; ++k)
        m.at<double>(k / 3, k % 3) = h[k];
    return m;
}

struct PatchMatch {
    bool ok = false;
    cv::Point2d moving;  // level coordinates
    cv::Point2d target;
    double correlation = 0.0;
};

// Mean squared gradient over the variance of the central patch of an area:
// how sharp it is, whatever its gain and offset.
double sharpness(const cv::Mat& area)
{
    const cv::Mat centre = area(cv::Rect(kMargin, kMargin, kPatch, kPatch));
    cv::Mat gx, gy;
    cv::Sobel(centre, gx, CV_32F, 1, 0, 3);
    cv::Sobel(centre, gy, CV_32F, 0, 1, 3);
    const cv::Rect inner(1, 1, kPatch - 2, kPatch - 2);
    const double energy = gx(inner).dot(gx(inner)) + gy(inner).dot(gy(inner));
    cv::Scalar mean, dev;
    cv::meanStdDev(centre, mean, dev);
    const double variance = dev[0] * dev[0];
    return variance > 0.0 ? energy / (inner.area() * variance) : 0.0;
}

// Blurs the sharper of two areas until it is about as sharp as the other:
// a patch of a focus step compared with a sharp one, or the reverse, would
// otherwise pull the correlation peak off by a fraction of the blur radius.
void matchBlur(cv::Mat& a, cv::Mat& b)
{
    static const double kSigmas[] = {0.5, 0.75, 1.0, 1.5, 2.0, 3.0, 4.0, 6.0};
    const double sa = sharpness(a), sb = sharpness(b);
    if (!(sa > 0.0) || !(sb > 0.0) || std::max(sa, sb) < 1.15 * std::min(sa, sb))
        return;
    cv::Mat& sharp = sa > sb ? a : b;
    const double goal = std::min(sa, sb);
    cv::Mat best = sharp, candidate;
    double bestGap = std::fabs(std::log(std::max(sa, sb) / goal));
    for (double sigma : kSigmas) {
        cv::GaussianBlur(sharp, candidate, cv::Size(), sigma, sigma, cv::BORDER_REFLECT);
        const double s = sharpness(candidate);
        const double gap = std::fabs(std::log(s / goal));
        if (!(gap < bestGap))
            break;
        bestGap = gap;
        best = candidate.clone();
        if (s <= goal)
            break;
    }
    sharp = best;
}

// One patch of the target matched as a shift against the warped moving level.
PatchMatch matchPatch(const cv::Mat& templ, const cv::Mat& warped, const cv::Mat& warpedValid, const cv::Rect& patch,
                      const Homography& targetToMoving, const AlignImage& moving, const AlignImage& target)
{
    PatchMatch m;
    const cv::Rect area(patch.x - kMargin, patch.y - kMargin, kPatch + 2 * kMargin, kPatch + 2 * kMargin);
    if ((area & cv::Rect(0, 0, warped.cols, warped.rows)) != area)
        return m;
    if (cv::countNonZero(warpedValid(area)) != area.area())
        return m;
    if (clippedPixels(templ(area), target.clipLow, target.clipHigh) > kMaxClipped ||
        clippedPixels(warped(area), moving.clipLow, moving.clipHigh) > kMaxClipped)
        return m;
    cv::Mat t = templ(area).clone(), in = warped(area).clone();
    matchBlur(t, in);
    cv::Mat shift = (cv::Mat_<float>(2, 3) << 1, 0, kMargin, 0, 1, kMargin);
    try {
        m.correlation = cv::findTransformECC(t(cv::Rect(kMargin, kMargin, kPatch, kPatch)), in, shift,
                                             cv::MOTION_TRANSLATION,
                                             cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 10, 1e-5),
                                             cv::noArray(), 3);
    } catch (const cv::Exception&) {
        return m;  // no correlation left (flat or clipped)
    }
    const double dx = shift.at<float>(0, 2) - kMargin, dy = shift.at<float>(1, 2) - kMargin;
    if (!(m.correlation >= kMinCorrelation && m.correlation <= 1.0) || std::fabs(dx) > kMargin - 1 ||
        std::fabs(dy) > kMargin - 1)
        return m;
    m.target = cv::Point2d(patch.x + (kPatch - 1) * 0.5, patch.y + (kPatch - 1) * 0.5);
    double mx, my;
    if (!mapPoint(targetToMoving, m.target.x + dx, m.target.y + dy, mx, my))
        return m;
    m.moving = cv::Point2d(mx, my);
    m.ok = true;
    return m;
}

// Patches on a grid covering the frame edge to edge, so the corners are
// pinned down as well as the middle.
std::vector<cv::Rect> patchGrid(const cv::Mat& t)
{
    const int nx = std::clamp(t.cols / (kPatch + kMargin), 1, kMaxPatchesPerSide);
    const int ny = std::clamp(t.rows / (kPatch + kMargin), 1, kMaxPatchesPerSide);
    std::vector<cv::Rect> patches;
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            const int x = nx == 1 ? (t.cols - kPatch) / 2 : kMargin + (t.cols - kPatch - 2 * kMargin) * i / (nx - 1);
            const int y = ny == 1 ? (t.rows - kPatch) / 2 : kMargin + (t.rows - kPatch - 2 * kMargin) * j / (ny - 1);
            patches.emplace_back(x, y, kPatch, kPatch);
        }
    return patches;
}

// The matched patches of one pyramid level, in full-size coordinates.
struct LevelMatches {
    std::vector<cv::Point2d> moving, target;
    std::vector<double> correlations;
};

// The moving level warped onto the target level through targetToMoving, and
// every patch of the grid matched there.
LevelMatches matchLevel(const cv::Mat& t, const cv::Mat& input, const cv::Mat& mask,
                        const Homography& targetToMoving, const AlignImage& moving, const AlignImage& target,
                        double ms, double ts)
{
    cv::Mat warped, valid;
    cv::warpPerspective(input, warped, toMat(targetToMoving), t.size(), cv::INTER_CUBIC | cv::WARP_INVERSE_MAP,
                        cv::BORDER_CONSTANT);
    const cv::Mat present = mask.empty() ? cv::Mat(input.size(), CV_8U, cv::Scalar(255)) : mask;
    cv::warpPerspective(present, valid, toMat(targetToMoving), t.size(), cv::INTER_NEAREST | cv::WARP_INVERSE_MAP,
                        cv::BORDER_CONSTANT);
    cv::erode(valid, valid, cv::Mat(), cv::Point(-1, -1), 2);

    const std::vector<cv::Rect> patches = patchGrid(t);
    std::vector<PatchMatch> matches(patches.size());
    cv::parallel_for_(cv::Range(0, static_cast<int>(patches.size())), [&](const cv::Range& range) {
        for (int k = range.start; k < range.end; ++k)
            matches[k] = matchPatch(t, warped, valid, patches[k], targetToMoving, moving, target);
    });
    LevelMatches found;
    for (const PatchMatch& p : matches)
        if (p.ok) {
            found.moving.emplace_back((p.moving.x + 0.5) / ms - 0.5, (p.moving.y + 0.5) / ms - 0.5);
            found.target.emplace_back((p.target.x + 0.5) / ts - 0.5, (p.target.y + 0.5) / ts - 0.5);
            found.correlations.push_back(p.correlation);
        }
    return found;
}

// The final fit, narrowed to a smaller model where the asked-for one is not
// well determined (when none is, the asked-for one stays and the feature
// check judges it), and what it says into the report.
void settleFinalFit(MotionModel model, const LevelMatches& found, double ts, const AlignImage& moving, ModelFit& fit,
                    RefineReport& report)
{
    MotionModel used = model;
    double uncertainty = cornerUncertainty(used, fit, moving.width, moving.height);
    for (MotionModel narrower = model;
         !(uncertainty <= kMaxCornerUncertaintyPx) && narrower != MotionModel::Translation;) {
        narrower = static_cast<MotionModel>(static_cast<int>(narrower) - 1);
        ModelFit candidate;
        if (!fitModel(narrower, found.moving, found.target, kInlierLevelPx / ts, candidate))
            break;
        const double u = cornerUncertainty(narrower, candidate, moving.width, moving.height);
        if (u <= kMaxCornerUncertaintyPx) {
            fit = candidate;
            used = narrower;
            uncertainty = u;
        }
    }
    report.model = used;
    report.uncertaintyPx = uncertainty;
    report.patches = static_cast<int>(fit.moving.size());
    report.medianResidualPx = medianResidual(fit.movingToTarget, fit.moving, fit.target);
    std::vector<double> kept;
    for (size_t k = 0; k < fit.inlier.size(); ++k)
        if (fit.inlier[k])
            kept.push_back(found.correlations[k]);
    std::nth_element(kept.begin(), kept.begin() + kept.size() / 2, kept.end());
    report.correlation = kept[kept.size() / 2];
}

} // namespace

bool refineEcc(const AlignImage& moving, const AlignImage& target, MotionModel model, Homography& movingToTarget,
               RefineReport& report, std::string& failure)
{
    // Levels from about the feature scale up to the detail scale.
    const double ratio = std::min(target.detailScale / target.featureScale, moving.detailScale / moving.featureScale);
    int levels = 1;
    while (levels < kMaxLevels && ratio >= (1 << levels) * 0.99)
        ++levels;
    const std::vector<cv::Mat> templ = floatPyramid(target.detail, levels);
    const std::vector<cv::Mat> input = floatPyramid(moving.detail, levels);
    const std::vector<cv::Mat> mask = maskPyramid(moving.detailMask, levels);

    // Each level once, coarse to fine: the patches measure absolute
    // positions, so one pass per level corrects the estimate fully.
    Homography h = movingToTarget;
    for (int level = levels - 1; level >= 0; --level) {
        const double ts = target.detailScale / (1 << level);
        const double ms = moving.detailScale / (1 << level);
        Homography targetToMoving;
        if (!invert(rescale(h, ms, ts), targetToMoving)) {
            failure = "singular transform during refinement";
            return false;
        }
        const LevelMatches found = matchLevel(templ[level], input[level], mask[level], targetToMoving, moving,
                                              target, ms, ts);
        ModelFit fit;
        if (found.moving.size() < kMinPatches ||
            !fitModel(model, found.moving, found.target, kInlierLevelPx / ts, fit)) {
            failure = "too few textured patches matched (" + std::to_string(found.moving.size()) + ")";
            return false;
        }
        if (level == 0)
            settleFinalFit(model, found, ts, moving, fit, report);
        h = fit.movingToTarget;
    }
    movingToTarget = h;
    return true;
}

double disagreementWithReference(const AlignImage& moving, const AlignImage& reference, MotionModel model,
                                 const Homography& movingToReference, Homography& refined, double& residualPx)
{
    refined = movingToReference;
    RefineReport report;
    std::string failure;
    if (!refineEcc(moving, reference, model, refined, report, failure))
        return -1.0;
    residualPx = report.medianResidualPx;
    return cornerDistanceRms(movingToReference, refined, moving.width, moving.height);
}

} // namespace quovix::align
