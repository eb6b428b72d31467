// Plane projective transforms between frames, as 3x3 row-major matrices on
// pixel coordinates whose integer values are pixel centres ((0,0) is the centre
// of the top-left pixel). No image data and no OpenCV here.
#pragma once

#include <array>

namespace quovix::align {

using Homography = std::array<double, 9>;

Homography identityHomography();

// a * b: the transform that applies b first, then a.
Homography multiply(const Homography& a, const Homography& b);

// False (and `inverse` untouched) when h is singular or not finite.
bool invert(const Homography& h, Homography& inverse);

// (x, y) mapped through h; false when the point maps to infinity or behind it.
bool mapPoint(const Homography& h, double x, double y, double& outX, double& outY);

// h in the coordinates of copies scaled by `scale` (same pixel-centre
// convention: x' = (x + 0.5) * scale - 0.5), for a frame scaled by `fromScale`
// mapped to one scaled by `toScale`.
Homography rescale(const Homography& h, double fromScale, double toScale);

// The motion a frame -> reference transform shows at the frame centre: shift
// of the centre, rotation and scale of the closest similarity to its local
// linear part, and the perspective change (largest relative difference of the
// projective divisor at the corners from the one at the centre).
struct MotionSummary {
    double shiftX = 0.0;
    double shiftY = 0.0;
    double shiftPx = 0.0;       // length of (shiftX, shiftY)
    double rotationDeg = 0.0;   // counter-clockwise in image coordinates (y down: clockwise on screen)
    double scale = 1.0;         // 1 = unchanged
    double anisotropy = 1.0;    // larger over smaller singular value of the local linear part
    double perspective = 0.0;
    bool orientationKept = true;  // false for a mirror or a collapse (determinant <= 0)
};
MotionSummary summarizeMotion(const Homography& toReference, int width, int height);

// Root mean square distance between where a and b map the four corner pixel
// centres of a width x height frame (infinite when a corner cannot be mapped).
double cornerDistanceRms(const Homography& a, const Homography& b, int width, int height);

} // namespace quovix::align
