#include "analysis/pyramid.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using Image = std::vector<WorkPixel>;

const int kK[5] = {1, 5, 8, 5, 1};

WorkPixel px(int c0, int c1, int c2, int alpha = kAlphaPresent)
{
    return WorkPixel{static_cast<int16_t>(c0), static_cast<int16_t>(c1), static_cast<int16_t>(c2),
                     static_cast<int16_t>(alpha)};
}

WorkPixel grey(int v) { return px(v, v, v); }

// The plain 25-tap filter, tap by tap, as a yardstick for the optimised one.
WorkPixel meanOf(int s, int a0, int a1, int a2)
{
    return s > 0 ? px(a0 / s, a1 / s, a2 / s) : px(0, 0, 0, 0);
}

Image referenceReduce(const Image& src, int w, int h, bool wrap)
{
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    Image out(static_cast<size_t>(cw) * ch);
    for (int i = 0; i < ch; ++i)
        for (int j = 0; j < cw; ++j) {
            int s = 0, a0 = 0, a1 = 0, a2 = 0;
            for (int r = 0; r < 5; ++r) {
                const int y = 2 * i - 2 + r;
                if (y < 0 || y >= h)
                    continue;
                for (int c = 0; c < 5; ++c) {
                    int x = 2 * j - 2 + c;
                    if (x < 0 || x >= w) {
                        if (!wrap)
                            continue;
                        x = ((x % w) + w) % w;
                    }
                    const WorkPixel& p = src[static_cast<size_t>(y) * w + x];
                    if (p.alpha == 0)
                        continue;
                    const int k = kK[r] * kK[c];
                    s += k, a0 += k * p.c0, a1 += k * p.c1, a2 += k * p.c2;
                }
            }
            out[static_cast<size_t>(i) * cw + j] = meanOf(s, a0, a1, a2);
        }
    return out;
}

Image referenceExpand(const Image& coarse, int w, int h, bool wrap)
{
    const int cw = (w + 1) / 2;
    Image out(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int s = 0, a0 = 0, a1 = 0, a2 = 0;
            for (int r = 0; r < 5; ++r) {
                const int v = y - 2 + r;
                if (v % 2 != 0 || v < 0 || v >= h)
                    continue;
                for (int c = 0; c < 5; ++c) {
                    const int u = x - 2 + c;
                    if (u % 2 != 0)
                        continue;
                    int col = u / 2;
                    if (u < 0 || u >= w) {
                        if (!wrap)
                            continue;
                        col = u < 0 ? u / 2 + cw : u / 2 - cw;
                    }
                    const WorkPixel& p = coarse[static_cast<size_t>(v / 2) * cw + col];
                    if (p.alpha == 0)
                        continue;
                    const int k = kK[r] * kK[c];
                    s += k, a0 += k * p.c0, a1 += k * p.c1, a2 += k * p.c2;
                }
            }
            out[static_cast<size_t>(y) * w + x] = meanOf(s, a0, a1, a2);
        }
    return out;
}

Image expandAll(const Image& coarse, int w, int h, bool wrap)
{
    Image out(static_cast<size_t>(w) * h);
    std::vector<WorkPixel> row(w);
    for (int y = 0; y < h; ++y) {
        std::fill(row.begin(), row.end(), px(0, 0, 0, 0));
        expandRow(coarse.data(), w, h, y, row.data(), wrap);
        std::copy(row.begin(), row.end(), out.begin() + static_cast<long>(y) * w);
    }
    return out;
}

void expectSame(const Image& a, const Image& b, const char* what)
{
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i].c0, b[i].c0) << what << " pixel " << i;
        ASSERT_EQ(a[i].c1, b[i].c1) << what << " pixel " << i;
        ASSERT_EQ(a[i].c2, b[i].c2) << what << " pixel " << i;
        ASSERT_EQ(a[i].alpha, b[i].alpha) << what << " pixel " << i;
    }
}

// The filters take the wrap-around switch as an argument: no run needed.
using PyramidTest = ::testing::Test;

TEST_F(PyramidTest, MatchesPlainFilterWithHolesWrapAndOddSizes)
{
    std::mt19937 rng(7);
    // Laplacian-range samples with the extremes mixed in (the sums must not
    // overflow); any non-zero alpha counts as present, as 16-bit inputs keep
    // their own alpha.
    std::uniform_int_distribution<int> value(-32768, 32767);
    const int extremes[] = {-32768, -32767, 32767, 16383, 0};
    const int alphas[] = {0, kAlphaPresent, kAlphaPresent, kAlphaPresent, 1, -1, -32768};
    auto sample = [&](std::mt19937& g) { return g() % 4 == 0 ? extremes[g() % 5] : value(g); };
    auto alpha = [&](std::mt19937& g) { return alphas[g() % 7]; };
    // Widths cover 1, odd and even sizes and more than one column chunk.
    const int sizes[][2] = {{1, 1}, {1, 6}, {2, 3}, {3, 2}, {5, 5}, {8, 7}, {13, 9}, {515, 5}, {1030, 4}, {1500, 3}};
    for (bool wrap : {false, true}) {
        for (const auto& size : sizes) {
            const int w = size[0], h = size[1];
            Image src(static_cast<size_t>(w) * h);
            for (WorkPixel& p : src)
                p = px(sample(rng), sample(rng), sample(rng), alpha(rng));
            Image reduced(static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2));
            reduceLevel(src.data(), w, h, reduced.data(), wrap);
            expectSame(reduced, referenceReduce(src, w, h, wrap), "reduce");
            expectSame(expandAll(src, 2 * w - 1, 2 * h, wrap), referenceExpand(src, 2 * w - 1, 2 * h, wrap),
                       "expand odd");
            expectSame(expandAll(src, 2 * w, 2 * h - 1, wrap), referenceExpand(src, 2 * w, 2 * h - 1, wrap),
                       "expand even");
        }
    }
}

TEST_F(PyramidTest, ReduceCornerAndEdgeRows)
{
    Image src(36);
    for (int i = 0; i < 36; ++i)
        src[i] = grey(i * 97);
    Image dst(9);
    reduceLevel(src.data(), 6, 6, dst.data(), false);
    const int corner = (64 * src[0].c0 + 40 * src[1].c0 + 8 * src[2].c0 + 40 * src[6].c0 + 25 * src[7].c0 +
                        5 * src[8].c0 + 8 * src[12].c0 + 5 * src[13].c0 + 1 * src[14].c0) / 196;
    EXPECT_EQ(dst[0].c0, corner);
    EXPECT_EQ(dst[0].alpha, kAlphaPresent);

    // Output row 1 reads source rows 0..4; the last row of an even height only H-4..H-1.
    Image tall(4 * 8, grey(1000));
    for (int x = 0; x < 4; ++x) {
        tall[5 * 4 + x] = grey(0);  // row 5 feeds output rows 2 and 3 only
        tall[0 * 4 + x] = grey(0);  // row 0 feeds output rows 0 and 1
    }
    Image out(2 * 4);
    reduceLevel(tall.data(), 4, 8, out.data(), false);
    EXPECT_LT(out[1 * 2].c0, 1000);
    EXPECT_LT(out[3 * 2].c0, 1000);
    EXPECT_EQ(out[3 * 2].c0, (1000 * (1 + 8 + 5)) / 19);  // rows 4..7: weights 1, 5, 8, 5; row 5 is zero

    // Constant image: constant everywhere, borders included, and with holes.
    Image flat(7 * 5, grey(4321));
    flat[8].alpha = 0;
    flat[8].c0 = 0;
    Image small(4 * 3);
    reduceLevel(flat.data(), 7, 5, small.data(), false);
    for (const WorkPixel& p : small)
        EXPECT_EQ(p.c0, 4321);
}

TEST_F(PyramidTest, AllTapsAbsentGiveEmptyPixel)
{
    Image src(6 * 6, px(500, 500, 500));
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x)
            src[y * 6 + x] = px(900, 900, 900, 0);
    Image dst(9);
    reduceLevel(src.data(), 6, 6, dst.data(), false);
    EXPECT_EQ(dst[0].alpha, 0);
    EXPECT_EQ(dst[0].c0, 0);
    EXPECT_EQ(dst[1].c0, 500);

    Image coarse(4, px(7, 7, 7, 0));
    WorkPixel row[4] = {};
    expandRow(coarse.data(), 4, 4, 1, row, false);
    for (const WorkPixel& p : row) {
        EXPECT_EQ(p.c0, 0);
        EXPECT_EQ(p.alpha, 0);
    }
}

TEST_F(PyramidTest, WrapTaps)
{
    // Only the last column is bright: with wrap it reaches output column 0
    // through tap weight 5 of 20 per row, i.e. a quarter of its value.
    Image src(8 * 6, grey(0));
    for (int y = 0; y < 6; ++y)
        src[y * 8 + 7] = grey(1000);
    Image dst(4 * 3);
    reduceLevel(src.data(), 8, 6, dst.data(), false);
    EXPECT_EQ(dst[0].c0, 0);
    reduceLevel(src.data(), 8, 6, dst.data(), true);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(dst[i * 4].c0, 250);

    // Expand of an even width: the last column draws on coarse columns cw-1 and 0.
    Image coarse(4 * 2, grey(0));
    coarse[0] = grey(1000);
    coarse[4] = grey(1000);
    WorkPixel row[8] = {};
    expandRow(coarse.data(), 8, 4, 1, row, true);
    EXPECT_EQ(row[7].c0, 500);
    expandRow(coarse.data(), 8, 4, 1, row, false);
    EXPECT_EQ(row[7].c0, 0);
}

TEST_F(PyramidTest, OddWidthAndNegativeTruncation)
{
    // W = 5 expands from 3 coarse columns; fine column 4 sees coarse 1 and 2 only.
    Image coarse = {grey(0), grey(900), grey(0)};
    WorkPixel row[5] = {};
    expandRow(coarse.data(), 5, 1, 0, row, false);
    EXPECT_EQ(row[4].c0, 900 / 9);
    EXPECT_EQ(row[3].c0, 450);

    // (-3 + -4) / 2 truncates toward zero.
    Image pair = {grey(-3), grey(-4)};
    WorkPixel mid[3] = {};
    expandRow(pair.data(), 3, 1, 0, mid, false);
    EXPECT_EQ(mid[1].c0, -3);
}

} // namespace
