#include "alignment/common_crop.h"

#include "alignment/warp_frame.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace quovix::align {

namespace {

// a*x + b*y + c >= 0 on the canvas.
struct HalfPlane {
    double a, b, c;
};

struct Footprint {
    Homography fromReference;
    int width, height;
};

bool insideAll(const std::vector<Footprint>& frames, int x, int y)
{
    for (const Footprint& f : frames) {
        double sx, sy;
        if (!sourcePosition(f.fromReference, f.width, f.height, x, y, sx, sy))
            return false;
    }
    return true;
}

// The footprint is the set where -0.5 <= sx <= w - 0.5 and -0.5 <= sy <= h - 0.5
// with sx = gx / gw (gw > 0): four linear inequalities in canvas coordinates,
// plus gw > 0 itself.
void addHalfPlanes(const Footprint& f, std::vector<HalfPlane>& planes)
{
    const Homography& g = f.fromReference;
    const double loX = -0.5, hiX = f.width - 0.5, loY = -0.5, hiY = f.height - 0.5;
    planes.push_back({g[0] - loX * g[6], g[1] - loX * g[7], g[2] - loX * g[8]});
    planes.push_back({hiX * g[6] - g[0], hiX * g[7] - g[1], hiX * g[8] - g[2]});
    planes.push_back({g[3] - loY * g[6], g[4] - loY * g[7], g[5] - loY * g[8]});
    planes.push_back({hiY * g[6] - g[3], hiY * g[7] - g[4], hiY * g[8] - g[5]});
    planes.push_back({g[6], g[7], g[8]});
}

} // namespace

CropRect commonCrop(const std::vector<FramePlacement>& frames, int canvasWidth, int canvasHeight)
{
    CropRect best;
    if (canvasWidth <= 0 || canvasHeight <= 0)
        return best;
    std::vector<Footprint> footprints;
    std::vector<HalfPlane> planes;
    for (const FramePlacement& p : frames) {
        Footprint f{{}, p.width, p.height};
        if (p.width <= 0 || p.height <= 0 || !invert(p.toReference, f.fromReference))
            return best;
        footprints.push_back(f);
        addHalfPlanes(f, planes);
    }

    // Covered span [left, right] of each canvas row: the intersection of
    // convex footprints is convex, so each row holds one run of pixels. The
    // half-planes give the span; the exact footprint test settles the ends.
    std::vector<int> left(canvasHeight), right(canvasHeight);
    for (int y = 0; y < canvasHeight; ++y) {
        double lo = 0.0, hi = canvasWidth - 1.0;
        for (const HalfPlane& h : planes) {
            const double rest = h.b * y + h.c;
            if (h.a > 0.0)
                lo = std::max(lo, -rest / h.a);
            else if (h.a < 0.0)
                hi = std::min(hi, rest / -h.a);
            else if (rest < 0.0)
                hi = -1.0;
        }
        int l = canvasWidth, r = -1;
        if (lo <= hi) {
            l = std::max(0, static_cast<int>(std::ceil(lo)) - 1);
            r = std::min(canvasWidth - 1, static_cast<int>(std::floor(hi)) + 1);
            while (l <= r && !insideAll(footprints, l, y))
                ++l;
            while (r >= l && !insideAll(footprints, r, y))
                --r;
        }
        left[y] = l;
        right[y] = r;
    }

    // Every run of rows, widest common span: quadratic in the height, which
    // is a few million steps for large frames.
    int64_t bestArea = 0;
    for (int y0 = 0; y0 < canvasHeight; ++y0) {
        int l = left[y0], r = right[y0];
        for (int y1 = y0; y1 < canvasHeight && l <= r; ++y1) {
            l = std::max(l, left[y1]);
            r = std::min(r, right[y1]);
            if (l > r)
                break;
            const int64_t area = static_cast<int64_t>(r - l + 1) * (y1 - y0 + 1);
            if (area > bestArea) {
                bestArea = area;
                best = {l, y0, r - l + 1, y1 - y0 + 1};
            }
        }
    }
    return best;
}

} // namespace quovix::align
