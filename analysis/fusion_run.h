// The context of one fusion run: everything a run owns and every stage reads.
#pragma once

#include "analysis/exposure_curve.h"
#include "analysis/level_store.h"
#include "imageio/image_list.h"
#include "support/run_context.h"

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace quovix {

// The motion masks of a run that removes ghosts: the mask file of every image
// path that has one (a copy shares the file of the shot it was made from),
// all drawn on one grid of `cell`-pixel cells over the canvas.
struct MotionMasks {
    std::map<std::string, std::string> files;
    int cell = 0;
};

// What the run settles once its canvas is final: the pyramid's level count,
// the limits derived from it, and the output's bits per sample. The options
// keep the values the caller asked for.
struct RunDepths {
    int outputBits = 8;
    int levelCount = 1;
    int exposureBlendLevels = 0;
    int lumaLevels = 1;
    int chromaLevels = 1;
};

struct FusionRun : RunContext {
    explicit FusionRun(const Options& options) : RunContext(options) {}

    // The region bounding all inputs (scaled in preview runs); every analysed
    // image is placed on it and every full-canvas TIFF carries its offset.
    ImageRegion canvas;
    RunDepths depths;
    // The inputs and their bracketing copies, in list order.
    ImageList images;
    CurveTables curves;
    // Bytes the combination stage may hold for rows of the images: beyond it
    // a band's images are combined a group at a time (the same result), so
    // memory does not grow with their number.
    size_t combineBudget = size_t{16} << 20;
    // Where each input that stays stood among the inputs given, and how many
    // were given: alignment may leave inputs out, and the depth map still
    // numbers frames as the user gave them.
    std::vector<int> inputPosition;
    int inputsGiven = 0;
    MotionMasks motion;
    // Names of the images' level files.
    LevelStore levelFiles{scratch};
};

} // namespace quovix
