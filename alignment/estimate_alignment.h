// Estimation of the transform of every frame of a set onto a reference frame:
// features matched at reduced size with outlier rejection give a first
// estimate, an area-based (correlation) refinement makes it sub-pixel. Both
// compare log-grey copies, so frames several stops apart still match.
//
// Frames are read through a loader, one at a time: each is reduced to small
// copies right away and dropped, so at most one frame is held at full size.
#pragma once

#include "alignment/homography.h"
#include "alignment/motion_model.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quovix::align {

struct AlignOptions {
    MotionModel model = MotionModel::Homography;
    int referenceIndex = -1;  // -1: the middle frame, frameCount / 2
    // Match each frame against its neighbour towards the reference and compose
    // the transforms (for focus stacks, so a strongly blurred frame meets a
    // similar one); otherwise every frame is matched against the reference.
    bool chained = true;
    // Decide the above from the frames: chained when every frame is exposed
    // within kChainingEv of its neighbours (a focus stack), else every frame
    // against the reference (a bracket).
    bool chainWhenEvenlyExposed = false;
    // OpenCV worker threads during the estimation (restored afterwards); 0
    // leaves OpenCV's setting. The results do not depend on it. OpenCV holds
    // one count per process: estimations that set it run one at a time.
    int threads = 0;

    // Working sizes: longer side of the refinement's finest level and of the
    // feature images, and the features kept per frame.
    int detailMaxSide = 2048;
    int featureMaxSide = 1024;
    int maxFeatures = 3000;
    // Encoding of the samples: value = linear ^ (1 / gamma); 1 for linear data.
    double gamma = 2.2;

    // A frame fails when its estimate breaks one of these.
    int minInliers = 20;
    double maxResidualFeaturePx = 2.0;  // median feature inlier residual, in feature-image pixels
    double minScale = 0.8;
    double maxScale = 1.25;
    double maxAnisotropy = 1.2;         // stretch in one direction against the other
    double maxPerspective = 0.2;        // change of the projective divisor across the frame
    double maxShiftFraction = 0.5;      // shift of the centre, as a fraction of the longer side
    // Largest misregistration accepted, in full-size pixels: the median
    // residual of a plane fit (a focus stack's, or any fitted on patches),
    // and how far a chained transform may stand from where the reference
    // itself puts the frame before the direct estimate is preferred.
    double maxResidualPx = 1.0;
};

// Largest exposure difference, in stops, between neighbouring frames that
// still counts as evenly exposed.
constexpr double kChainingEv = 0.25;

struct FrameEstimate {
    bool ok = false;                           // false: fuse this frame unaligned
    Homography toReference = identityHomography();  // frame pixel -> reference pixel; identity when failed
    int matchedTo = -1;       // frame the estimate was matched against; -1 for the reference itself
    double shiftPx = 0.0;     // shift of the frame centre
    double rotationDeg = 0.0;
    double scalePercent = 0.0;        // size change, 0 = unchanged
    // Median distance, in full-size pixels, between matched points that the
    // final transform leaves: of the refinement's patches when refined, else
    // of the feature inliers.
    double medianResidualPx = 0.0;
    int inliers = 0;                  // feature matches consistent with the model
    bool refined = false;             // the patch refinement succeeded and was kept
    bool wholeFrame = false;          // refined on the whole frame instead (no plane fits every patch)
    int patches = 0;                  // patches the refined model was fitted to
    double correlation = 0.0;         // median ECC correlation of those patches (whole frame: its correlation)
    // The model actually fitted: a narrower one than asked for when the
    // matches crowd into part of the frame, an affine one for a homography
    // whose refinement failed.
    MotionModel model = MotionModel::Homography;
    // For a chained frame: how far (corner RMS, full-size pixels) the chain
    // stood from the direct refinement towards the reference; negative when
    // there was nothing to compare (not chained, or the direct one failed).
    double directCheckPx = -1.0;
    bool directKept = false;          // the direct estimate replaced the chain's
    std::string failure;              // why the frame failed (empty when ok)
};

// A frame at full size: interleaved 16-bit samples, width * channels per row,
// channels 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA.
struct LoadedFrame {
    std::vector<uint16_t> pixels;
    int width = 0;
    int height = 0;
    int channels = 0;
};

// Fills `frame` with frame `index`; false with a message when it cannot be
// read. Called once per frame, in index order, always with the same object
// (whose buffer it may reuse).
using FrameLoader = std::function<bool(int index, LoadedFrame& frame, std::string& error)>;

struct AlignmentResult {
    bool ok = false;     // false: nothing estimated (see error); frames is empty
    std::string error;
    int referenceIndex = 0;
    bool chained = false;  // frames were matched against their neighbours
    std::vector<FrameEstimate> frames;  // one per frame, the reference included (identity)
};

// Estimates every frame's transform onto the reference. A frame that cannot be
// read or matched gets ok = false and a reason; the result as a whole fails
// only for invalid arguments or an unreadable reference. Never throws;
// results are identical for any thread count.
AlignmentResult estimateAlignment(int frameCount, const FrameLoader& load, const AlignOptions& options);

// Whether frames of this size can be estimated at all: the estimation works
// on copies whose longer side is brought down to a few hundred pixels, so a
// frame only a few pixels across, or so thin that its shorter side would
// vanish there, has nothing to match.
bool sizeCanBeAligned(int width, int height);

} // namespace quovix::align
