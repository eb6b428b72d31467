// The band energy is summed in integers (column sums slid down the band, a
// row sum slid along each row), so every pixel's value is exact whatever the
// band it falls in. Absent pixels take no part: the edge of an aligned
// frame's footprint is no detail.
#include "analysis/focus_measure.h"

#include "support/memory.h"

#include <algorithm>
#include <cmath>

namespace quovix {

namespace {

// Squared luma detail, scaled by 100^2 so that the RGB luma weights stay
// integers.
inline int64_t detailEnergy(const WorkPixel& p, bool ycc)
{
    const int64_t d = ycc ? 100 * int64_t{p.c1} : 30 * int64_t{p.c0} + 59 * int64_t{p.c1} + 11 * int64_t{p.c2};
    return d * d;
}

// Adds (sign +1) or removes (-1) row y to the column sums.
void addRow(const WorkPixel* row, int width, bool ycc, int sign, int64_t* sums, int32_t* counts)
{
    for (int x = 0; x < width; ++x) {
        if (row[x].alpha == 0)
            continue;
        sums[x] += sign * detailEnergy(row[x], ycc);
        counts[x] += sign;
    }
}

} // namespace

Status focusMeasureMap(FusionRun& run, const WorkPixel* laplacian, int width, int height, uint16_t* out)
{
    if (width <= 0 || height <= 0)
        return Status();
    const bool ycc = run.settings.useYCrCb;
    const int r = kFocusWindowRadius;
    const size_t w = static_cast<size_t>(width);
    return run.pool.forRows(height, [&](int first, int end) -> Status {
        HeapBuffer<int64_t> sums;
        HeapBuffer<int32_t> counts;
        QVX_TRY(sums.allocate(run.console, w, true));
        QVX_TRY(counts.allocate(run.console, w, true));
        int64_t* colSum = sums.get();
        int32_t* colCount = counts.get();
        for (int y = std::max(0, first - r); y <= std::min(height - 1, first + r); ++y)
            addRow(laplacian + y * w, width, ycc, 1, colSum, colCount);
        for (int y = first; y < end; ++y) {
            const WorkPixel* centre = laplacian + y * w;
            uint16_t* o = out + y * w;
            int64_t sum = 0;
            int64_t count = 0;
            for (int x = 0; x < std::min(width, r); ++x) {
                sum += colSum[x];
                count += colCount[x];
            }
            for (int x = 0; x < width; ++x) {
                if (x + r < width) {
                    sum += colSum[x + r];
                    count += colCount[x + r];
                }
                if (x - r - 1 >= 0) {
                    sum -= colSum[x - r - 1];
                    count -= colCount[x - r - 1];
                }
                if (centre[x].alpha == 0 || count == 0) {
                    o[x] = 0;
                    continue;
                }
                const double rms = std::sqrt(static_cast<double>(sum) / static_cast<double>(count)) / 100.0;
                const double scaled = std::min(65534.0, std::floor(rms * 16.0 + 0.5));
                o[x] = static_cast<uint16_t>(1 + static_cast<int>(scaled));
            }
            if (y - r >= 0)
                addRow(laplacian + (y - r) * w, width, ycc, -1, colSum, colCount);
            if (y + r + 1 < height)
                addRow(laplacian + (y + r + 1) * w, width, ycc, 1, colSum, colCount);
        }
        return Status();
    });
}

} // namespace quovix
