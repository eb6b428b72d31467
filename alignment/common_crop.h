// The part of the reference canvas that every aligned frame covers.
#pragma once

#include "alignment/homography.h"

#include <vector>

namespace quovix::align {

struct CropRect {
    int x = 0;
    int y = 0;
    int width = 0;  // 0 when no pixel is covered by every frame
    int height = 0;
};

// One frame as the warp places it: its size and its frame -> reference transform.
struct FramePlacement {
    Homography toReference;
    int width = 0;
    int height = 0;
};

// Largest axis-aligned rectangle of canvas pixels (0..canvasWidth-1 x
// 0..canvasHeight-1) that lies inside every frame's footprint as warpRows marks
// it, i.e. where every warped frame is present. Among equal areas the one
// starting highest, then the shortest, wins. Empty when the frames share no
// pixel or a transform is singular.
CropRect commonCrop(const std::vector<FramePlacement>& frames, int canvasWidth, int canvasHeight);

} // namespace quovix::align
