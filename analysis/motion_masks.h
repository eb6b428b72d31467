// Scene motion between the frames of a bracket: which pixels of each frame
// show something other than the reference frame, and the weight masks that
// keep those pixels out of the fusion.
//
// Detection works on a grid of cell averages (a cell is a few canvas pixels
// wide), which cuts noise and time; the masks are stored at that size in
// scratch files and expanded per pyramid level when the weights are made.
#pragma once

#include "analysis/fusion_run.h"
#include "analysis/work_pixel.h"

#include <cstdint>
#include <vector>

namespace quovix {

// Cell averages of one frame: RGB on the 14-bit scale, alpha 0 where a cell
// is not wholly inside the frame.
struct MotionGrid {
    int width = 0;
    int height = 0;
    std::vector<WorkPixel> cells;
};

// What detection needs to know about a frame beyond its cells.
struct FrameNoise {
    float sigma[3] = {0.0f, 0.0f, 0.0f};  // per-channel noise of the cells
};

// Side of a grid cell in canvas pixels: at least 2, and grids stay within
// 320 cells on their longer side (enough for anything that leaves a visible
// ghost; the comparison's tolerance then covers focus breathing, and
// detection stays a small part of a run).
int motionCellSize(int width, int height);

// Sizes the grid of a canvas-sized image, then averages its `cell` x `cell`
// blocks into grid rows [firstRow, endRow).
void startMotionGrid(int width, int height, int cell, MotionGrid& grid);
void fillMotionGrid(const WorkPixel* image, int width, int height, int cell, int firstRow, int endRow,
                    MotionGrid& grid);

// Noise of each channel from the median absolute response to a second-
// difference kernel, which flat and smoothly shaded areas leave near zero.
FrameNoise estimateNoise(const MotionGrid& grid);

// For each channel, the table taking a value of `from` to the value of `to`
// at the same rank among the cells present in both (matched cumulative
// histograms): 16384 entries per channel, channel c at c * 16384.
std::vector<uint16_t> matchIntensities(const MotionGrid& from, const MotionGrid& to);

// Flags of disagreement: a cell differs by more than the noise-aware
// threshold, and (moving) by more than that plus a share of the local
// contrast both frames show, which blur and sub-pixel shifts of texture
// stay within.
constexpr uint8_t kMotionMoving = 1;
constexpr uint8_t kMotionDiffers = 2;

// Flags where a cell of `frame` disagrees with `reference` once the brighter
// of the two is mapped to the darker one's tones: each value lies outside the
// other's 5x5 neighbourhood range by more than the threshold (the range
// tolerates blur and residual misalignment, so an object's rim may go
// unflagged; cleaning adds a margin). Only cells usable in both frames
// (present, neither clipped nor crushed) and selected by `consider` (null:
// all) are examined; others are 0.
std::vector<uint8_t> disagreement(const MotionGrid& reference, const FrameNoise& referenceNoise,
                                  const MotionGrid& frame, const FrameNoise& frameNoise,
                                  const std::vector<uint8_t>* consider);

// Mean luma of the present cells: orders frames by exposure.
double meanLuma(const MotionGrid& grid);

// Whether a cell can be compared at all: present, not clipped, not crushed.
bool usableCell(const WorkPixel& p);

// Cleans raw flags into 0/1 motion: small blobs out, holes closed; a frame
// that differs over a large part of its area is taken as wholly moving.
void cleanMotion(std::vector<uint8_t>& moving, int width, int height);

// Keep factors (65535: fully kept, 0: excluded) from cleaned motion flags:
// moving cells and a margin around them excluded, the edge feathered.
std::vector<uint16_t> keepFromMotion(const std::vector<uint8_t>& moving, int width, int height);

// Weight scaled by a keep factor; a factor of 65535 leaves it unchanged.
inline uint16_t keptWeight(uint16_t weight, uint16_t keep)
{
    return static_cast<uint16_t>((uint32_t{weight} * keep + 32767u) / 65535u);
}

// The detection stage: for every frame but the reference and bracketing
// copies, decides what moved, writes the frame's mask (when anything did)
// and records it in run.motion. Copies take the mask of the shot they were
// made from. `-v` prints the share of each frame excluded.
Status detectMotion(FusionRun& run);

// The canvas-sized keep factors of every pyramid level of an image, levels
// one after the other (level 0 first); empty when the image has no mask.
Status keepPyramid(FusionRun& run, const std::string& path, int levels, std::vector<uint16_t>& keep);

// The mask of a group result: a pixel is kept when any member keeps it.
// Without masks on every member the result has none.
Status mergeGroupMask(FusionRun& run, const ImageList& group, const std::string& resultPath);

} // namespace quovix
