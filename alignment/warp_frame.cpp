#include "alignment/warp_frame.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace quovix::align {

namespace {

// OpenCV's fixed-point sample positions: 1/32 pixel steps.
constexpr int kTabBits = cv::INTER_BITS;
constexpr int kTabSize = 1 << kTabBits;

bool validFrame(const Frame16& f)
{
    return f.pixels != nullptr && f.width > 0 && f.height > 0 && f.channels >= 1 && f.channels <= 4 &&
           f.rowStride >= static_cast<size_t>(f.width) * f.channels;
}

// Sample positions of the rows as OpenCV remap tables (integer part in xy,
// fraction index in frac) and the footprint of each pixel. Every value depends
// on (x, y) alone, never on the band, so bands join without seams.
void buildMaps(const Homography& g, const Frame16& src, int outWidth, int y0, int y1, cv::Mat& xy, cv::Mat& frac,
               std::vector<uint8_t>& present)
{
    const int rows = y1 - y0;
    xy.create(rows, outWidth, CV_16SC2);
    frac.create(rows, outWidth, CV_16UC1);
    present.assign(static_cast<size_t>(rows) * outWidth, 0);
    const bool hasAlpha = src.channels == 2 || src.channels == 4;
    // Absent pixels still get a position: clamped near the frame, so that the
    // 16-bit tables never overflow whatever the transform does far away.
    const double loX = -3.0, hiX = src.width + 2.0, loY = -3.0, hiY = src.height + 2.0;
    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            int16_t* xyRow = xy.ptr<int16_t>(r);
            uint16_t* fracRow = frac.ptr<uint16_t>(r);
            uint8_t* presentRow = present.data() + static_cast<size_t>(r) * outWidth;
            const double y = y0 + r;
            for (int x = 0; x < outWidth; ++x) {
                double sx = 0.0, sy = 0.0;
                bool inside = sourcePosition(g, src.width, src.height, x, y, sx, sy);
                if (!(sx >= loX))  // also NaN
                    sx = loX;
                if (!(sy >= loY))
                    sy = loY;
                sx = std::min(sx, hiX);
                sy = std::min(sy, hiY);
                const int ix = static_cast<int>(std::lrint(sx * kTabSize));
                const int iy = static_cast<int>(std::lrint(sy * kTabSize));
                xyRow[2 * x] = static_cast<int16_t>(ix >> kTabBits);
                xyRow[2 * x + 1] = static_cast<int16_t>(iy >> kTabBits);
                fracRow[x] = static_cast<uint16_t>((iy & (kTabSize - 1)) * kTabSize + (ix & (kTabSize - 1)));
                if (inside && hasAlpha) {
                    const int nx = std::clamp(static_cast<int>(std::lrint(sx)), 0, src.width - 1);
                    const int ny = std::clamp(static_cast<int>(std::lrint(sy)), 0, src.height - 1);
                    inside = src.pixels[static_cast<size_t>(ny) * src.rowStride + static_cast<size_t>(nx) * src.channels +
                                        (src.channels - 1)] != 0;
                }
                presentRow[x] = inside ? 1 : 0;
            }
        }
    });
}

// Interleaves the resampled band into RGBA with the footprint as alpha.
void packRgba(const cv::Mat& band, int channels, const std::vector<uint8_t>& present, int outWidth, uint16_t* out)
{
    for (int r = 0; r < band.rows; ++r) {
        const uint16_t* in = band.ptr<uint16_t>(r);
        const uint8_t* p = present.data() + static_cast<size_t>(r) * outWidth;
        uint16_t* o = out + static_cast<size_t>(r) * outWidth * 4;
        for (int x = 0; x < outWidth; ++x, o += 4, in += channels) {
            if (!p[x]) {
                o[0] = o[1] = o[2] = o[3] = 0;
                continue;
            }
            if (channels >= 3) {
                o[0] = in[0];
                o[1] = in[1];
                o[2] = in[2];
            } else {
                o[0] = o[1] = o[2] = in[0];
            }
            o[3] = 65535;
        }
    }
}

} // namespace

bool warpRows(const Frame16& source, const Homography& toReference, int outWidth, int outHeight, int y0, int y1,
              WarpKernel kernel, uint16_t* rgbaOut, std::string& error)
{
    if (!validFrame(source)) {
        error = "invalid source frame (size, channel count or row stride)";
        return false;
    }
    if (source.width > kMaxWarpSide || source.height > kMaxWarpSide || outWidth > kMaxWarpSide ||
        outHeight > kMaxWarpSide) {
        error = "frame too large to warp (more than " + std::to_string(kMaxWarpSide) + " pixels on a side)";
        return false;
    }
    if (outWidth <= 0 || outHeight <= 0 || y0 < 0 || y1 > outHeight || y0 > y1 || rgbaOut == nullptr) {
        error = "invalid output canvas or row range";
        return false;
    }
    Homography fromReference;
    if (!invert(toReference, fromReference)) {
        error = "the transform cannot be inverted";
        return false;
    }
    if (y0 == y1)
        return true;

    try {
        cv::Mat xy, frac;
        std::vector<uint8_t> present;
        buildMaps(fromReference, source, outWidth, y0, y1, xy, frac, present);

        const cv::Mat src(source.height, source.width, CV_16UC(source.channels),
                          const_cast<uint16_t*>(source.pixels), source.rowStride * sizeof(uint16_t));
        cv::Mat band;
        // Pixels near the frame edge read past it; the replicated edge keeps
        // them free of the dark fringe a constant border would leave.
        cv::remap(src, band, xy, frac, kernel == WarpKernel::Lanczos ? cv::INTER_LANCZOS4 : cv::INTER_CUBIC,
                  cv::BORDER_REPLICATE);
        packRgba(band, source.channels, present, outWidth, rgbaOut);
    } catch (const cv::Exception& e) {
        error = std::string("warp failed: ") + e.what();
        return false;
    }
    return true;
}

} // namespace quovix::align
