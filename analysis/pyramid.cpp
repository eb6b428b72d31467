// Pyramid reduce and expand with the 5x5 (1 5 8 5 1) kernel over present
// pixels only.
//
// Both filters are computed separably: every kernel entry is k[r] * k[c] and a
// tap is either used whole or left out, so summing each tap column vertically
// first and then combining the column sums horizontally gives exactly the same
// 32-bit integer sums as the 25-tap loop, in fewer operations. A tap is held as
// four 32-bit lanes (c0, c1, c2, 1), or all zero when the pixel is absent, so
// the weight sum travels in the fourth lane with the sample sums. Tap rows
// outside the level read a row of absent pixels, which keeps the inner loops
// free of bounds tests. Column sums are kept for a chunk of columns in a small
// stack array: no allocation happens here (it would also show in the -dm trace).
#include "analysis/pyramid.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quovix {

namespace {

// c0, c1, c2 sums and the weight sum S.
typedef int32_t Lanes __attribute__((vector_size(16)));
typedef int16_t PixelLanes __attribute__((vector_size(8)));

constexpr int kReduceChunk = 256;  // output columns per pass
constexpr int kExpandChunk = 512;  // fine columns per pass (even)
constexpr int kZeroRowLength = std::max(2 * kReduceChunk + 3, kExpandChunk / 2 + 3);

// Stands in for tap rows above or below the level: all pixels absent.
const WorkPixel kAbsentRow[kZeroRowLength] = {};

// (c0, c1, c2, 1) for a present pixel, zero for an absent one.
inline Lanes tapOf(const WorkPixel& p)
{
    PixelLanes raw;
    std::memcpy(&raw, &p, sizeof raw);
    Lanes v = __builtin_convertvector(raw, Lanes);
    const int32_t present = p.alpha != 0 ? -1 : 0;
    v[3] = 1;
    return v & present;
}

// Tap of a column beyond the edges, where the row itself may be missing.
inline Lanes tapAt(const WorkPixel* row, int x)
{
    return row != nullptr ? tapOf(row[x]) : Lanes{0, 0, 0, 0};
}

// Tap row y of a level, or the absent row when y lies outside.
inline const WorkPixel* tapRow(const WorkPixel* level, int width, int height, int y)
{
    return (y >= 0 && y < height) ? level + static_cast<size_t>(y) * width : nullptr;
}

// Row pointer advanced to column x, or the absent row.
inline const WorkPixel* segment(const WorkPixel* row, int x)
{
    return row != nullptr ? row + x : kAbsentRow;
}

inline Lanes times5(Lanes v)
{
    return (v << 2) + v;
}

// The five taps of the reduce kernel (1, 5, 8, 5, 1), either direction.
inline Lanes verticalSum(Lanes a, Lanes b, Lanes c, Lanes d, Lanes e)
{
    return a + e + times5(b + d) + (c << 3);
}

// Weighted mean of the used taps, truncating toward zero; (0, 0, 0, 0) when no
// tap was used. The full-kernel weight is tested first so that the common
// interior case divides by a constant (same quotient, cheaper instructions).
template <int32_t Full>
inline WorkPixel weightedMean(Lanes sum)
{
    const int32_t s = sum[3];
    if (s == Full)
        return WorkPixel{static_cast<int16_t>(sum[0] / Full), static_cast<int16_t>(sum[1] / Full),
                         static_cast<int16_t>(sum[2] / Full), kAlphaPresent};
    if (s > 0)
        return WorkPixel{static_cast<int16_t>(sum[0] / s), static_cast<int16_t>(sum[1] / s),
                         static_cast<int16_t>(sum[2] / s), kAlphaPresent};
    return WorkPixel{0, 0, 0, 0};
}

// Wrapped column index for a tap beyond either edge; modulo the width so that
// even a level of one column stays inside its row.
inline int wrapColumn(int x, int width)
{
    return ((x % width) + width) % width;
}

} // namespace

void reduceLevel(const WorkPixel* src, int width, int height, WorkPixel* dst, bool wrap, int firstRow, int lastRow)
{
    if (width <= 0 || height <= 0)
        return;
    const int coarseWidth = (width + 1) >> 1;
    const int coarseHeight = (height + 1) >> 1;
    const int endRow = lastRow < 0 || lastRow >= coarseHeight ? coarseHeight : lastRow + 1;

    Lanes sums[2 * kReduceChunk + 3];

    for (int i = firstRow; i < endRow; ++i) {
        // Tap rows 2i-2 .. 2i+2 with weights 1, 5, 8, 5, 1.
        const WorkPixel* rows[5];
        for (int r = 0; r < 5; ++r)
            rows[r] = tapRow(src, width, height, 2 * i - 2 + r);
        WorkPixel* out = dst + static_cast<size_t>(i) * coarseWidth;

        for (int j0 = 0; j0 < coarseWidth; j0 += kReduceChunk) {
            const int j1 = std::min(coarseWidth, j0 + kReduceChunk);
            // Source columns 2*j0-2 .. 2*j1 (inclusive) feed output columns j0 .. j1-1.
            const int xFirst = 2 * j0 - 2;
            const int xLast = 2 * j1;
            const int lo = std::max(xFirst, 0);
            const int hi = std::min(xLast + 1, width);

            const WorkPixel* s0 = segment(rows[0], lo);
            const WorkPixel* s1 = segment(rows[1], lo);
            const WorkPixel* s2 = segment(rows[2], lo);
            const WorkPixel* s3 = segment(rows[3], lo);
            const WorkPixel* s4 = segment(rows[4], lo);
            Lanes* inside = sums + (lo - xFirst);
            for (int t = 0; t < hi - lo; ++t)
                inside[t] = verticalSum(tapOf(s0[t]), tapOf(s1[t]), tapOf(s2[t]), tapOf(s3[t]), tapOf(s4[t]));

            // Columns beyond either edge: wrapped to the other side of the
            // row, or left out.
            for (int x = xFirst; x < lo; ++x)
                sums[x - xFirst] = Lanes{0, 0, 0, 0};
            for (int x = hi; x <= xLast; ++x)
                sums[x - xFirst] = Lanes{0, 0, 0, 0};
            if (wrap) {
                auto wrapped = [&](int x) {
                    const int col = wrapColumn(x, width);
                    return verticalSum(tapAt(rows[0], col), tapAt(rows[1], col), tapAt(rows[2], col),
                                       tapAt(rows[3], col), tapAt(rows[4], col));
                };
                for (int x = xFirst; x < lo; ++x)
                    sums[x - xFirst] = wrapped(x);
                for (int x = hi; x <= xLast; ++x)
                    sums[x - xFirst] = wrapped(x);
            }

            for (int j = j0; j < j1; ++j) {
                const Lanes* c = sums + 2 * (j - j0);
                out[j] = weightedMean<400>(verticalSum(c[0], c[1], c[2], c[3], c[4]));
            }
        }
    }
}

void expandRow(const WorkPixel* coarse, int width, int height, int y, WorkPixel* row, bool wrap)
{
    if (width <= 0 || y < 0 || y >= height)
        return;
    const int coarseWidth = (width + 1) >> 1;
    const int coarseHeight = (height + 1) >> 1;

    // Only even fine rows hold coarse samples. An even row y sees coarse rows
    // y/2-1, y/2, y/2+1 with weights 1, 8, 1; an odd row the coarse rows
    // (y-1)/2 and (y+1)/2 with weights 5, 5. A tap row is used only when its
    // fine row y-2, y+2 or y+1 lies inside the level.
    const bool evenRow = (y & 1) == 0;
    const int halfY = y >> 1;
    const WorkPixel* rows[3];
    if (evenRow) {
        rows[0] = y - 2 >= 0 ? tapRow(coarse, coarseWidth, coarseHeight, halfY - 1) : nullptr;
        rows[1] = tapRow(coarse, coarseWidth, coarseHeight, halfY);
        rows[2] = y + 2 < height ? tapRow(coarse, coarseWidth, coarseHeight, halfY + 1) : nullptr;
    } else {
        rows[0] = tapRow(coarse, coarseWidth, coarseHeight, halfY);
        rows[1] = y + 1 < height ? tapRow(coarse, coarseWidth, coarseHeight, halfY + 1) : nullptr;
        rows[2] = nullptr;
    }

    // Even rows weigh 1, 8, 1, odd rows 5, 5 (the third tap row is then absent).
    auto columnSum = [evenRow](Lanes a, Lanes b, Lanes c) {
        return evenRow ? a + c + (b << 3) : times5(a + b);
    };

    Lanes sums[kExpandChunk / 2 + 3];

    for (int x0 = 0; x0 < width; x0 += kExpandChunk) {
        const int x1 = std::min(width, x0 + kExpandChunk);
        // Coarse columns x0/2-1 .. (x1+1)/2 (inclusive) feed fine columns
        // x0 .. x1-1. Coarse column cu stands for fine column 2*cu, which lies
        // inside the row exactly when 0 <= cu < coarseWidth.
        const int cFirst = x0 / 2 - 1;
        const int cLast = (x1 + 1) / 2;
        const int lo = std::max(cFirst, 0);
        const int hi = std::min(cLast + 1, coarseWidth);

        const WorkPixel* s0 = segment(rows[0], lo);
        const WorkPixel* s1 = segment(rows[1], lo);
        const WorkPixel* s2 = segment(rows[2], lo);
        Lanes* inside = sums + (lo - cFirst);
        if (evenRow) {
            for (int t = 0; t < hi - lo; ++t)
                inside[t] = tapOf(s0[t]) + tapOf(s2[t]) + (tapOf(s1[t]) << 3);
        } else {
            for (int t = 0; t < hi - lo; ++t)
                inside[t] = times5(tapOf(s0[t]) + tapOf(s1[t]));
        }

        // At most one column beyond each edge: with wrap, -1 is the last coarse
        // column and coarseWidth the first.
        for (int cu = cFirst; cu < lo; ++cu)
            sums[cu - cFirst] = Lanes{0, 0, 0, 0};
        for (int cu = hi; cu <= cLast; ++cu)
            sums[cu - cFirst] = Lanes{0, 0, 0, 0};
        if (wrap) {
            auto wrapped = [&](int col) {
                return columnSum(tapAt(rows[0], col), tapAt(rows[1], col), tapAt(rows[2], col));
            };
            for (int cu = cFirst; cu < lo; ++cu)
                sums[cu - cFirst] = wrapped(cu + coarseWidth);
            for (int cu = hi; cu <= cLast; ++cu)
                sums[cu - cFirst] = wrapped(cu - coarseWidth);
        }

        // Even fine column x: coarse x/2-1, x/2, x/2+1 with 1, 8, 1; the odd
        // column after it: coarse x/2, x/2+1 with 5, 5.
        for (int x = x0; x < x1; x += 2) {
            const Lanes* c = sums + (x / 2 - cFirst);
            row[x] = weightedMean<100>(c[-1] + c[1] + (c[0] << 3));
            if (x + 1 < x1)
                row[x + 1] = weightedMean<100>(times5(c[0] + c[1]));
        }
    }
}

} // namespace quovix
