#include "alignment/homography.h"

#include <cmath>
#include <limits>

namespace quovix::align {

Homography identityHomography() { return {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0}; }

Homography multiply(const Homography& a, const Homography& b)
{
    Homography c{};
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k)
            c[r * 3 + k] = a[r * 3 + 0] * b[0 * 3 + k] + a[r * 3 + 1] * b[1 * 3 + k] + a[r * 3 + 2] * b[2 * 3 + k];
    return c;
}

bool invert(const Homography& h, Homography& inverse)
{
    // Adjugate over determinant.
    const double c00 = h[4] * h[8] - h[5] * h[7];
    const double c01 = h[5] * h[6] - h[3] * h[8];
    const double c02 = h[3] * h[7] - h[4] * h[6];
    const double det = h[0] * c00 + h[1] * c01 + h[2] * c02;
    if (!std::isfinite(det) || det == 0.0)
        return false;
    Homography r{};
    r[0] = c00 / det;
    r[1] = (h[2] * h[7] - h[1] * h[8]) / det;
    r[2] = (h[1] * h[5] - h[2] * h[4]) / det;
    r[3] = c01 / det;
    r[4] = (h[0] * h[8] - h[2] * h[6]) / det;
    r[5] = (h[2] * h[3] - h[0] * h[5]) / det;
    r[6] = c02 / det;
    r[7] = (h[1] * h[6] - h[0] * h[7]) / det;
    r[8] = (h[0] * h[4] - h[1] * h[3]) / det;
    for (double v : r)
        if (!std::isfinite(v))
            return false;
    inverse = r;
    return true;
}

bool mapPoint(const Homography& h, double x, double y, double& outX, double& outY)
{
    const double w = h[6] * x + h[7] * y + h[8];
    if (!(w > 0.0))
        return false;
    outX = (h[0] * x + h[1] * y + h[2]) / w;
    outY = (h[3] * x + h[4] * y + h[5]) / w;
    return std::isfinite(outX) && std::isfinite(outY);
}

Homography rescale(const Homography& h, double fromScale, double toScale)
{
    // S(s) takes full-size coordinates to scaled ones: x' = s * x + (s - 1) / 2.
    const Homography fromFull = {1.0 / fromScale, 0.0, (1.0 / fromScale - 1.0) * 0.5,
                                 0.0, 1.0 / fromScale, (1.0 / fromScale - 1.0) * 0.5,
                                 0.0, 0.0, 1.0};
    const Homography toScaled = {toScale, 0.0, (toScale - 1.0) * 0.5,
                                 0.0, toScale, (toScale - 1.0) * 0.5,
                                 0.0, 0.0, 1.0};
    return multiply(toScaled, multiply(h, fromFull));
}

MotionSummary summarizeMotion(const Homography& h, int width, int height)
{
    MotionSummary m;
    const double cx = (width - 1) * 0.5;
    const double cy = (height - 1) * 0.5;
    const double w = h[6] * cx + h[7] * cy + h[8];
    const double u = (h[0] * cx + h[1] * cy + h[2]) / w;
    const double v = (h[3] * cx + h[4] * cy + h[5]) / w;
    m.shiftX = u - cx;
    m.shiftY = v - cy;
    m.shiftPx = std::hypot(m.shiftX, m.shiftY);
    // Local linear part (Jacobian) at the centre.
    const double a = (h[0] - u * h[6]) / w;
    const double b = (h[1] - u * h[7]) / w;
    const double c = (h[3] - v * h[6]) / w;
    const double d = (h[4] - v * h[7]) / w;
    const double det = a * d - b * c;
    m.orientationKept = w > 0.0 && det > 0.0 && std::isfinite(det);
    m.rotationDeg = std::atan2(c - b, a + d) * (180.0 / M_PI);
    m.scale = std::sqrt(std::fabs(det));
    // Singular values from the similarity and anti-similarity parts.
    const double p = std::hypot(a + d, c - b) * 0.5;
    const double q = std::hypot(a - d, c + b) * 0.5;
    m.anisotropy = (p - q) > 0.0 ? (p + q) / (p - q) : std::numeric_limits<double>::infinity();
    double worst = 0.0;
    const double xs[2] = {0.0, width - 1.0};
    const double ys[2] = {0.0, height - 1.0};
    for (double x : xs)
        for (double y : ys) {
            const double wc = h[6] * x + h[7] * y + h[8];
            const double change = std::fabs(wc / w - 1.0);
            if (!(change <= worst))  // also takes NaN, so a broken matrix never looks mild
                worst = std::isfinite(change) ? change : std::numeric_limits<double>::infinity();
        }
    m.perspective = worst;
    return m;
}

double cornerDistanceRms(const Homography& a, const Homography& b, int width, int height)
{
    const double xs[2] = {0.0, width - 1.0};
    const double ys[2] = {0.0, height - 1.0};
    double sum = 0.0;
    for (double x : xs)
        for (double y : ys) {
            double ax, ay, bx, by;
            if (!mapPoint(a, x, y, ax, ay) || !mapPoint(b, x, y, bx, by))
                return std::numeric_limits<double>::infinity();
            sum += (ax - bx) * (ax - bx) + (ay - by) * (ay - by);
        }
    return std::sqrt(sum / 4.0);
}

} // namespace quovix::align
