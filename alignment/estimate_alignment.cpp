#include "alignment/estimate_alignment.h"

#include "alignment/align_image.h"
#include "alignment/match_features.h"
#include "alignment/refine_dense.h"
#include "alignment/refine_ecc.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>

namespace quovix::align {

namespace {

// OpenCV's worker count for the lifetime of the object. OpenCV knows only
// one count per process, so the objects of all runs take turns: one
// estimation sets it and restores the previous value before the next one
// sets its own, and two runs on two threads never see each other's count.
class OpenCvThreads {
public:
    // More threads than processors are never used (and TBB warns about them).
    explicit OpenCvThreads(int threads) : changed_(threads > 0)
    {
        if (!changed_)
            return;
        turn_ = std::unique_lock<std::mutex>(turnMutex());
        saved_ = cv::getNumThreads();
        cv::setNumThreads(std::min(threads, std::max(1, cv::getNumberOfCPUs())));
    }
    ~OpenCvThreads()
    {
        if (changed_)
            cv::setNumThreads(saved_);
    }
    OpenCvThreads(const OpenCvThreads&) = delete;
    OpenCvThreads& operator=(const OpenCvThreads&) = delete;

private:
    // The lock around OpenCV's own process-wide setting, not state of ours.
    static std::mutex& turnMutex()
    {
        static std::mutex mutex;
        return mutex;
    }

    std::unique_lock<std::mutex> turn_;
    int saved_ = 0;
    bool changed_;
};

std::string format(const char* pattern, double a, double b = 0.0, double c = 0.0)
{
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, pattern, a, b, c);
    return buffer;
}

// Why a frame -> reference transform cannot be a hand-held or focus-breathing
// motion; empty when it can.
std::string implausibility(const Homography& h, int width, int height, const AlignOptions& o)
{
    const MotionSummary m = summarizeMotion(h, width, height);
    if (!m.orientationKept || !std::isfinite(m.scale))
        return "degenerate transform (mirrored or collapsed)";
    if (m.scale < o.minScale || m.scale > o.maxScale)
        return format("implausible scale %.3f (allowed %.2f..%.2f)", m.scale, o.minScale, o.maxScale);
    if (m.anisotropy > o.maxAnisotropy)
        return format("implausible stretch %.3f (at most %.2f)", m.anisotropy, o.maxAnisotropy);
    if (m.perspective > o.maxPerspective)
        return format("implausible perspective change %.3f (at most %.2f)", m.perspective, o.maxPerspective);
    if (m.shiftPx > o.maxShiftFraction * std::max(width, height))
        return format("implausible shift of %.0f px", m.shiftPx);
    return {};
}

struct PairEstimate {
    bool ok = false;
    Homography movingToTarget = identityHomography();
    int inliers = 0;
    double residual = 0.0;
    bool refined = false;
    bool wholeFrame = false;
    int patches = 0;
    double correlation = 0.0;
    MotionModel model = MotionModel::Homography;
    std::string failure;
};

PairEstimate estimatePair(const AlignImage& moving, const AlignImage& target, const AlignOptions& o)
{
    PairEstimate e;
    e.model = o.model == MotionModel::Homography ? MotionModel::Affine : o.model;
    FeatureFit fit;
    if (!fitFeatures(moving, target, o.model, fit, e.failure))
        return e;
    const ModelFit& features = fit.model;
    e.inliers = static_cast<int>(features.moving.size());
    if (e.inliers < o.minInliers) {
        e.failure = "too few inliers (" + std::to_string(e.inliers) + " of " + std::to_string(fit.matches) +
                    " matches, at least " + std::to_string(o.minInliers) + " needed)";
        return e;
    }
    e.failure = implausibility(features.movingToTarget, moving.width, moving.height, o);
    if (!e.failure.empty())
        return e;

    // The refinement is kept when the feature inliers agree with it; the
    // features alone then judge the estimate.
    const double residualLimit = o.maxResidualFeaturePx / target.featureScale;
    Homography h = features.movingToTarget;
    RefineReport report;
    std::string refineFailure;
    if (refineEcc(moving, target, o.model, h, report, refineFailure) &&
        medianResidual(h, features.moving, features.target) <= residualLimit) {
        e.movingToTarget = h;
        e.refined = true;
        e.patches = report.patches;
        e.correlation = report.correlation;
        e.residual = report.medianResidualPx;
        e.model = report.model;
    } else {
        e.movingToTarget = features.movingToTarget;
    }
    // When the patches agree on no plane transform of the asked-for kind
    // (parallax: a figure in front of a wall), the best compromise for the
    // whole frame, if it lines the frames up better than the estimate so far.
    if (!e.refined || e.model != o.model) {
        Homography dense = e.movingToTarget;
        DenseReport denseReport;
        std::string denseFailure;
        if (refineDense(moving, target, o.model, dense, denseReport, denseFailure) &&
            implausibility(dense, moving.width, moving.height, o).empty()) {
            e.movingToTarget = dense;
            e.wholeFrame = true;
            e.refined = false;
            e.patches = 0;
            e.correlation = denseReport.correlation;
            e.model = o.model;
        }
    }
    const double featureResidual = medianResidual(e.movingToTarget, features.moving, features.target);
    if (!e.refined)
        e.residual = featureResidual;
    if (!e.wholeFrame && featureResidual > residualLimit) {
        e.failure = format("residual too large (median %.2f px, at most %.2f)", featureResidual, residualLimit);
        return e;
    }
    e.ok = true;
    return e;
}

PairEstimate tryPair(const AlignImage& moving, const AlignImage& target, const AlignOptions& o)
{
    try {
        return estimatePair(moving, target, o);
    } catch (const std::exception& ex) {
        PairEstimate e;
        e.failure = std::string("estimation error: ") + ex.what();
        return e;
    }
}

// Why an estimate lines the frames up too loosely to be fused; empty when it
// does not. A bracket's whole-frame compromise is exempt: its residual
// measures the parallax no plane transform removes, not a misregistration.
std::string excessResidual(const PairEstimate& e, bool chained, const AlignOptions& o)
{
    if (!(chained || e.refined) || e.residual <= o.maxResidualPx)
        return {};
    return format("residual too large (median %.2f px, at most %.2f)", e.residual, o.maxResidualPx);
}

// A chained transform composes every link's error. It is checked against the
// reference directly: its refinement straight against the reference must
// stay within the residual bound of it, else the one of the chain, that
// refinement and an independent estimate against the reference that lines
// the frame up best with the reference is kept.
void checkChainAgainstReference(const AlignImage& moving, const AlignImage& reference, const AlignOptions& o,
                                FrameEstimate& f, PairEstimate& pair, Homography& toReference)
{
    Homography refined;
    double refinedResidual = 0.0;
    f.directCheckPx = disagreementWithReference(moving, reference, o.model, toReference, refined, refinedResidual);
    if (f.directCheckPx >= 0.0 && f.directCheckPx <= o.maxResidualPx)
        return;
    double best = wholeFrameCorrelation(moving, reference, toReference);
    auto consider = [&](const Homography& h, double residual) {
        if (!implausibility(h, moving.width, moving.height, o).empty() || residual > o.maxResidualPx)
            return;
        const double c = wholeFrameCorrelation(moving, reference, h);
        if (c > best) {
            best = c;
            toReference = h;
            pair.residual = residual;
            f.directKept = true;
        }
    };
    if (f.directCheckPx >= 0.0)
        consider(refined, refinedResidual);
    const PairEstimate direct = tryPair(moving, reference, o);
    if (direct.ok)
        consider(direct.movingToTarget, direct.residual);
}

Homography normalized(const Homography& h)
{
    Homography n = h;
    for (double& v : n)
        v /= h[8];
    return n;
}

bool validLoadedFrame(const LoadedFrame& f, std::string& error)
{
    if (f.width <= 0 || f.height <= 0 || f.channels < 1 || f.channels > 4) {
        error = "unsupported frame size or channel count";
        return false;
    }
    if (f.pixels.size() < static_cast<size_t>(f.width) * f.height * f.channels) {
        error = "frame buffer smaller than its size";
        return false;
    }
    return true;
}

// Mean brightness (linear light) of the present part of a frame, in stops;
// NaN for a frame that was not read or is black.
double exposureStops(const AlignImage& image)
{
    if (image.detail.empty())
        return std::nan("");
    const double mean = cv::mean(image.detail, image.detailMask.empty() ? cv::noArray() : image.detailMask)[0];
    return mean > 0.0 ? std::log2(mean) : std::nan("");
}

// Whether neighbouring frames are exposed alike, as in a focus stack.
bool evenlyExposed(const std::vector<AlignImage>& images)
{
    for (size_t i = 0; i + 1 < images.size(); ++i) {
        const double a = exposureStops(images[i]), b = exposureStops(images[i + 1]);
        if (std::isfinite(a) && std::isfinite(b) && std::fabs(a - b) > kChainingEv)
            return false;
    }
    return true;
}

// Why the arguments cannot make an alignment; empty when they can.
std::string invalidArguments(int frameCount, const FrameLoader& load, const AlignOptions& options)
{
    if (frameCount < 1 || !load)
        return "no frames to align";
    if (options.referenceIndex < -1 || options.referenceIndex >= frameCount)
        return "reference frame " + std::to_string(options.referenceIndex + 1) + " out of range 1.." +
               std::to_string(frameCount);
    if (options.detailMaxSide < 64 || options.featureMaxSide < 64 || options.maxFeatures < 10)
        return "alignment working sizes too small";
    if (!(options.gamma >= 0.1 && options.gamma <= 10.0))
        return "alignment gamma outside 0.1..10";
    return {};
}

// Every frame loaded and made into its working images; a frame that cannot
// be read is marked failed. False (with the error set) when that frame is the
// reference.
bool loadAlignImages(int frameCount, const FrameLoader& load, const AlignOptions& options, int ref,
                     std::vector<AlignImage>& images, AlignmentResult& result)
{
    const AlignImageSizes sizes{options.detailMaxSide, options.featureMaxSide, options.maxFeatures, options.gamma};
    LoadedFrame frame;
    for (int i = 0; i < frameCount; ++i) {
        std::string error;
        bool loaded = load(i, frame, error) && validLoadedFrame(frame, error);
        if (loaded) {
            const Frame16 view{frame.pixels.data(), frame.width, frame.height, frame.channels,
                               static_cast<size_t>(frame.width) * frame.channels};
            try {
                buildAlignImage(view, sizes, images[i]);
            } catch (const std::exception& ex) {
                error = ex.what();
                loaded = false;
            }
        }
        if (loaded)
            continue;
        if (i == ref) {
            result.frames.clear();
            result.error = "reference frame " + std::to_string(i + 1) + " could not be read: " + error;
            return false;
        }
        result.frames[i].failure = "could not be read: " + error;
        images[i] = AlignImage();
    }
    return true;
}

// What the estimate of frame i settled, into its record.
void recordEstimate(const AlignImage& image, const PairEstimate& pair, const Homography& toReference, int anchor,
                    int ref, FrameEstimate& f)
{
    f.matchedTo = f.directKept ? ref : anchor;
    f.inliers = pair.inliers;
    f.refined = pair.refined;
    f.wholeFrame = pair.wholeFrame;
    f.correlation = pair.correlation;
    f.patches = pair.patches;
    f.model = pair.model;
    if (!pair.ok) {
        f.failure = pair.failure;
        return;
    }
    f.ok = true;
    f.toReference = normalized(toReference);
    f.medianResidualPx = pair.residual;
    const MotionSummary m = summarizeMotion(f.toReference, image.width, image.height);
    f.shiftPx = m.shiftPx;
    f.rotationDeg = m.rotationDeg;
    f.scalePercent = (m.scale - 1.0) * 100.0;
}

// Frame i (on `side` of the reference) estimated against its anchor: the
// reference, or in a chain the nearest settled frame towards it.
void estimateFrame(const std::vector<AlignImage>& images, int ref, int i, int side, bool chained,
                   const AlignOptions& options, AlignmentResult& result)
{
    int anchor = ref;
    if (chained) {
        anchor = i - side;
        while (!result.frames[anchor].ok)
            anchor -= side;
    }
    PairEstimate pair = tryPair(images[i], images[anchor], options);
    Homography toReference = multiply(result.frames[anchor].toReference, pair.movingToTarget);
    if (pair.ok)
        pair.failure = implausibility(toReference, images[i].width, images[i].height, options);
    if (pair.ok && pair.failure.empty())
        pair.failure = excessResidual(pair, chained, options);
    pair.ok = pair.ok && pair.failure.empty();
    if (!pair.ok && anchor != ref) {
        // A broken link: try the reference itself before giving up.
        PairEstimate direct = tryPair(images[i], images[ref], options);
        if (direct.ok)
            direct.failure = excessResidual(direct, chained, options);
        if (direct.ok && direct.failure.empty()) {
            pair = direct;
            anchor = ref;
            toReference = direct.movingToTarget;
        }
    }
    FrameEstimate& f = result.frames[i];
    if (pair.ok && anchor != ref)
        checkChainAgainstReference(images[i], images[ref], options, f, pair, toReference);
    recordEstimate(images[i], pair, toReference, anchor, ref, f);
}

} // namespace

AlignmentResult estimateAlignment(int frameCount, const FrameLoader& load, const AlignOptions& options)
{
    AlignmentResult result;
    result.error = invalidArguments(frameCount, load, options);
    if (!result.error.empty())
        return result;
    const int ref = options.referenceIndex < 0 ? frameCount / 2 : options.referenceIndex;
    result.referenceIndex = ref;
    result.frames.assign(frameCount, FrameEstimate());
    FrameEstimate& reference = result.frames[ref];
    reference.ok = true;
    if (frameCount == 1) {
        result.ok = true;
        return result;
    }

    try {
        OpenCvThreads threads(options.threads);
        cv::setRNGSeed(0x5eed);
        std::vector<AlignImage> images(frameCount);
        if (!loadAlignImages(frameCount, load, options, ref, images, result))
            return result;
        const bool chained = options.chainWhenEvenlyExposed ? evenlyExposed(images) : options.chained;
        result.chained = chained;
        // Outwards from the reference, so a frame's neighbour is settled first.
        for (int distance = 1; distance < frameCount; ++distance)
            for (int side : {-1, 1}) {
                const int i = ref + side * distance;
                if (i >= 0 && i < frameCount && result.frames[i].failure.empty())
                    estimateFrame(images, ref, i, side, chained, options, result);
            }
    } catch (const std::exception& ex) {
        result.frames.clear();
        result.error = std::string("alignment error: ") + ex.what();
        return result;
    }
    result.ok = true;
    return result;
}

bool sizeCanBeAligned(int width, int height)
{
    constexpr int64_t kMinSide = 8;
    const int64_t shorter = std::min(width, height);
    const int64_t longer = std::max(width, height);
    return shorter >= kMinSide && shorter * kDenseMaxSide >= kMinSide * longer;
}

} // namespace quovix::align
