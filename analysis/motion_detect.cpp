// Motion detection on cell grids: intensity mapping between two exposures,
// the comparison against the mapped reference, and mask cleaning.
#include "analysis/motion_masks.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace quovix {

namespace {

constexpr int kLevels = 16384;
constexpr int kBins = 1024;          // histogram bins of 16 levels
constexpr int kBinShift = 4;
constexpr int kClipped = 15700;      // about 96 % of the range
constexpr int kCrushed = 1000;       // about 6 % of the range
// Thresholds: noise multiple, plus an absolute and a relative allowance for
// what the intensity mapping cannot model (vignetting, tone curve bends).
constexpr float kNoiseMultiple = 4.0f;
constexpr float kFloor = 220.0f;
constexpr float kRelative = 0.05f;
// Share of the local contrast both frames show that is tolerated on top:
// where both are textured, blur and sub-pixel shifts move values by a part
// of that contrast; an object over a plain background in either frame
// leaves the allowance near zero there.
constexpr float kStructure = 0.25f;
// Largest believable noise: textures inflate the estimate, and an inflated
// threshold would hide real motion.
constexpr float kMaxSigma = 160.0f;
// A frame flagged over more than this share (after closing) is another
// scene, or one no single tone mapping relates to the reference: none of it
// can be trusted.
// Cells of tolerance for blur, focus breathing and residual misalignment.
constexpr int kReach = 2;
constexpr double kWholeFrameShare = 0.3;

int sample(const WorkPixel& p, int c)
{
    const int v = c == 0 ? p.c0 : (c == 1 ? p.c1 : p.c2);
    return v < 0 ? 0 : (v >= kLevels ? kLevels - 1 : v);
}

size_t cellCount(int width, int height)
{
    return (width > 0 && height > 0) ? static_cast<size_t>(width) * static_cast<size_t>(height) : 0;
}

// Square maximum (dilate) or minimum (erode) of radius r, separable, with
// the edge cells repeated outward.
void squareFilter(std::vector<uint8_t>& m, int width, int height, int r, bool dilate)
{
    if (r <= 0)
        return;
    std::vector<uint8_t> tmp(m.size());
    auto pick = [dilate](uint8_t a, uint8_t b) { return dilate ? std::max(a, b) : std::min(a, b); };
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = m.data() + static_cast<size_t>(y) * width;
        uint8_t* out = tmp.data() + static_cast<size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            uint8_t v = row[x];
            for (int d = 1; d <= r; ++d)
                v = pick(v, pick(row[std::max(x - d, 0)], row[std::min(x + d, width - 1)]));
            out[x] = v;
        }
    }
    for (int y = 0; y < height; ++y) {
        uint8_t* out = m.data() + static_cast<size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            uint8_t v = tmp[static_cast<size_t>(y) * width + x];
            for (int d = 1; d <= r; ++d) {
                v = pick(v, tmp[static_cast<size_t>(std::max(y - d, 0)) * width + x]);
                v = pick(v, tmp[static_cast<size_t>(std::min(y + d, height - 1)) * width + x]);
            }
            out[x] = v;
        }
    }
}

// Calls visit(blob) with the indices of each 8-connected group of flagged
// cells.
template <typename Visit>
void forEachBlob(const std::vector<uint8_t>& m, int width, int height, Visit visit)
{
    std::vector<uint8_t> seen(m.size(), 0);
    std::vector<size_t> stack;
    std::vector<size_t> blob;
    for (size_t start = 0; start < m.size(); ++start) {
        if (m[start] == 0 || seen[start] != 0)
            continue;
        blob.clear();
        stack.push_back(start);
        seen[start] = 1;
        while (!stack.empty()) {
            const size_t i = stack.back();
            stack.pop_back();
            blob.push_back(i);
            const int x = static_cast<int>(i % static_cast<size_t>(width));
            const int y = static_cast<int>(i / static_cast<size_t>(width));
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int nx = x + dx;
                    const int ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= width || ny >= height)
                        continue;
                    const size_t j = static_cast<size_t>(ny) * width + nx;
                    if (m[j] != 0 && seen[j] == 0) {
                        seen[j] = 1;
                        stack.push_back(j);
                    }
                }
            }
        }
        visit(blob);
    }
}

// Removes 8-connected groups of flagged cells smaller than `minimum`.
void removeSmallBlobs(std::vector<uint8_t>& m, int width, int height, size_t minimum)
{
    forEachBlob(m, width, height, [&](const std::vector<size_t>& blob) {
        if (blob.size() < minimum) {
            for (size_t i : blob)
                m[i] = 0;
        }
    });
}

// The minimum and maximum of one channel over the (2 kReach + 1)^2 cells
// around each cell.
void neighbourRange(const std::vector<uint16_t>& v, int width, int height, std::vector<uint16_t>& lo,
                    std::vector<uint16_t>& hi)
{
    lo.assign(v.size(), 0);
    hi.assign(v.size(), 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint16_t a = UINT16_MAX;
            uint16_t b = 0;
            for (int dy = -kReach; dy <= kReach; ++dy) {
                const int ny = std::clamp(y + dy, 0, height - 1);
                for (int dx = -kReach; dx <= kReach; ++dx) {
                    const int nx = std::clamp(x + dx, 0, width - 1);
                    const uint16_t s = v[static_cast<size_t>(ny) * width + nx];
                    a = std::min(a, s);
                    b = std::max(b, s);
                }
            }
            lo[static_cast<size_t>(y) * width + x] = a;
            hi[static_cast<size_t>(y) * width + x] = b;
        }
    }
}

// Closing of radius r: holes inside a moving object (areas that happen to
// match the background) join the object. Done with r empty cells around the
// grid, so that a line near the border is not widened up to it.
void closeHoles(std::vector<uint8_t>& m, int width, int height, int r)
{
    const int pw = width + 2 * r;
    const int ph = height + 2 * r;
    std::vector<uint8_t> padded(cellCount(pw, ph), 0);
    for (int y = 0; y < height; ++y)
        std::copy_n(m.data() + static_cast<size_t>(y) * width, width,
                    padded.data() + static_cast<size_t>(y + r) * pw + r);
    squareFilter(padded, pw, ph, r, true);
    squareFilter(padded, pw, ph, r, false);
    for (int y = 0; y < height; ++y)
        std::copy_n(padded.data() + static_cast<size_t>(y + r) * pw + r, width,
                    m.data() + static_cast<size_t>(y) * width);
}

// Drops groups of moving cells that nowhere hold a solid 3x3 block and lie
// farther than `reach` cells from any group that does. Blur between focus
// frames, focus breathing and edges left apart by alignment differ along thin
// lines that follow strong edges; a moving object is solid somewhere, and the
// thin pieces of its outline lie near that body.
void removeThinStrays(std::vector<uint8_t>& m, int width, int height, int reach)
{
    // Cells whose 3x3 neighbourhood lies wholly flagged inside the grid,
    // grown by `reach`.
    std::vector<uint8_t> near(m.size(), 0);
    for (int y = 1; y + 1 < height; ++y) {
        for (int x = 1; x + 1 < width; ++x) {
            bool solid = true;
            for (int dy = -1; dy <= 1 && solid; ++dy) {
                const uint8_t* row = m.data() + static_cast<size_t>(y + dy) * width + x;
                solid = row[-1] != 0 && row[0] != 0 && row[1] != 0;
            }
            near[static_cast<size_t>(y) * width + x] = solid ? 1 : 0;
        }
    }
    squareFilter(near, width, height, reach, true);
    forEachBlob(m, width, height, [&](const std::vector<size_t>& blob) {
        if (std::none_of(blob.begin(), blob.end(), [&](size_t i) { return near[i] != 0; })) {
            for (size_t i : blob)
                m[i] = 0;
        }
    });
}

// Cells excluded beyond a moving object (the rim the comparison tolerates,
// edges the cells blur, shadows); as many again are feathered.
int exclusionMargin(int width, int height)
{
    return kReach + std::max(2, std::min(width, height) / 80);
}

} // namespace

int motionCellSize(int width, int height)
{
    const int longer = std::max(width, height);
    return std::max(2, (longer + 319) / 320);
}

void startMotionGrid(int width, int height, int cell, MotionGrid& grid)
{
    grid.width = (width + cell - 1) / cell;
    grid.height = (height + cell - 1) / cell;
    grid.cells.assign(cellCount(grid.width, grid.height), WorkPixel{0, 0, 0, 0});
}

void fillMotionGrid(const WorkPixel* image, int width, int height, int cell, int firstRow, int endRow,
                    MotionGrid& grid)
{
    for (int gy = firstRow; gy < endRow; ++gy) {
        const int y0 = gy * cell;
        const int y1 = std::min(y0 + cell, height);
        for (int gx = 0; gx < grid.width; ++gx) {
            const int x0 = gx * cell;
            const int x1 = std::min(x0 + cell, width);
            int64_t s0 = 0, s1 = 0, s2 = 0;
            bool whole = true;
            for (int y = y0; y < y1 && whole; ++y) {
                const WorkPixel* row = image + static_cast<size_t>(y) * width;
                for (int x = x0; x < x1; ++x) {
                    if (row[x].alpha == 0) {
                        whole = false;
                        break;
                    }
                    s0 += row[x].c0;
                    s1 += row[x].c1;
                    s2 += row[x].c2;
                }
            }
            if (!whole)
                continue;
            const int64_t n = static_cast<int64_t>(y1 - y0) * (x1 - x0);
            WorkPixel& out = grid.cells[static_cast<size_t>(gy) * grid.width + gx];
            out.c0 = static_cast<int16_t>(s0 / n);
            out.c1 = static_cast<int16_t>(s1 / n);
            out.c2 = static_cast<int16_t>(s2 / n);
            out.alpha = kAlphaPresent;
        }
    }
}

FrameNoise estimateNoise(const MotionGrid& grid)
{
    FrameNoise noise;
    const int w = grid.width;
    const int h = grid.height;
    std::vector<int> responses;
    for (int c = 0; c < 3; ++c) {
        responses.clear();
        for (int y = 1; y + 1 < h; ++y) {
            for (int x = 1; x + 1 < w; ++x) {
                int sum = 0;
                bool present = true;
                static const int kernel[3][3] = {{1, -2, 1}, {-2, 4, -2}, {1, -2, 1}};
                for (int dy = -1; dy <= 1 && present; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx) {
                        const WorkPixel& p = grid.cells[static_cast<size_t>(y + dy) * w + (x + dx)];
                        if (p.alpha == 0) {
                            present = false;
                            break;
                        }
                        sum += kernel[dy + 1][dx + 1] * sample(p, c);
                    }
                }
                if (present)
                    responses.push_back(std::abs(sum));
            }
        }
        if (responses.empty())
            continue;
        auto middle = responses.begin() + static_cast<std::ptrdiff_t>(responses.size() / 2);
        std::nth_element(responses.begin(), middle, responses.end());
        // The kernel's response to white noise of deviation s has deviation
        // 6 s; its median absolute value is 0.6745 times that.
        noise.sigma[c] = std::min(kMaxSigma, static_cast<float>(*middle) / (6.0f * 0.6745f));
    }
    return noise;
}

std::vector<uint16_t> matchIntensities(const MotionGrid& from, const MotionGrid& to)
{
    std::vector<uint16_t> table(3 * static_cast<size_t>(kLevels));
    std::vector<int64_t> hFrom(kBins), hTo(kBins);
    std::vector<double> atBin(kBins);
    for (int c = 0; c < 3; ++c) {
        std::fill(hFrom.begin(), hFrom.end(), 0);
        std::fill(hTo.begin(), hTo.end(), 0);
        int64_t total = 0;
        for (size_t i = 0; i < from.cells.size() && i < to.cells.size(); ++i) {
            if (from.cells[i].alpha == 0 || to.cells[i].alpha == 0)
                continue;
            ++hFrom[static_cast<size_t>(sample(from.cells[i], c) >> kBinShift)];
            ++hTo[static_cast<size_t>(sample(to.cells[i], c) >> kBinShift)];
            ++total;
        }
        uint16_t* out = table.data() + static_cast<size_t>(c) * kLevels;
        if (total == 0) {
            for (int v = 0; v < kLevels; ++v)
                out[v] = static_cast<uint16_t>(v);
            continue;
        }
        // Each source bin's middle rank, found in the target's cumulative
        // histogram with linear interpolation inside the target bin.
        int64_t below = 0;
        int64_t toBelow = 0;
        int j = 0;
        for (int b = 0; b < kBins; ++b) {
            const double rank = static_cast<double>(below) + 0.5 * static_cast<double>(hFrom[static_cast<size_t>(b)]);
            below += hFrom[static_cast<size_t>(b)];
            while (j < kBins - 1 && static_cast<double>(toBelow + hTo[static_cast<size_t>(j)]) < rank) {
                toBelow += hTo[static_cast<size_t>(j)];
                ++j;
            }
            const int64_t inBin = hTo[static_cast<size_t>(j)];
            double frac = inBin > 0 ? (rank - static_cast<double>(toBelow)) / static_cast<double>(inBin) : 0.5;
            frac = std::clamp(frac, 0.0, 1.0);
            atBin[static_cast<size_t>(b)] = (static_cast<double>(j) + frac) * (1 << kBinShift);
        }
        // Bin centres joined linearly into a full table.
        const double half = 0.5 * (1 << kBinShift);
        for (int v = 0; v < kLevels; ++v) {
            const double pos = (static_cast<double>(v) - half + 0.5) / (1 << kBinShift);
            const int b0 = std::clamp(static_cast<int>(std::floor(pos)), 0, kBins - 1);
            const int b1 = std::min(b0 + 1, kBins - 1);
            const double t = std::clamp(pos - b0, 0.0, 1.0);
            const double mapped = atBin[static_cast<size_t>(b0)] * (1.0 - t) + atBin[static_cast<size_t>(b1)] * t;
            out[v] = static_cast<uint16_t>(std::clamp(mapped, 0.0, static_cast<double>(kLevels - 1)));
        }
    }
    return table;
}

double meanLuma(const MotionGrid& grid)
{
    double sum = 0.0;
    int64_t present = 0;
    for (const WorkPixel& p : grid.cells) {
        if (p.alpha == 0)
            continue;
        sum += (30.0 * sample(p, 0) + 59.0 * sample(p, 1) + 11.0 * sample(p, 2)) / 100.0;
        ++present;
    }
    return present > 0 ? sum / static_cast<double>(present) : 0.0;
}

bool usableCell(const WorkPixel& p)
{
    if (p.alpha == 0)
        return false;
    const int hi = std::max({sample(p, 0), sample(p, 1), sample(p, 2)});
    const int luma = (30 * sample(p, 0) + 59 * sample(p, 1) + 11 * sample(p, 2)) / 100;
    return hi < kClipped && luma > kCrushed;
}

namespace {

// Cells of `frame` that disagree with `reference` mapped to its tones.
std::vector<uint8_t> compareMapped(const MotionGrid& reference, const FrameNoise& referenceNoise,
                                   const MotionGrid& frame, const FrameNoise& frameNoise,
                                   const std::vector<uint8_t>* consider)
{
    const int w = frame.width;
    const int h = frame.height;
    const size_t count = cellCount(w, h);
    std::vector<uint8_t> moving(count, 0);
    if (reference.width != w || reference.height != h)
        return moving;
    const std::vector<uint16_t> table = matchIntensities(reference, frame);
    std::vector<uint8_t> usable(count, 0);
    for (size_t i = 0; i < count; ++i)
        usable[i] = usableCell(reference.cells[i]) && usableCell(frame.cells[i]) &&
                    (consider == nullptr || (*consider)[i] != 0);

    std::vector<float> excess(count, 0.0f), plainExcess(count, 0.0f);
    std::vector<uint16_t> predicted(count), observed(count), lo, hi, frameLo, frameHi;
    for (int c = 0; c < 3; ++c) {
        const uint16_t* map = table.data() + static_cast<size_t>(c) * kLevels;
        for (size_t i = 0; i < count; ++i) {
            predicted[i] = map[sample(reference.cells[i], c)];
            observed[i] = static_cast<uint16_t>(sample(frame.cells[i], c));
        }
        neighbourRange(predicted, w, h, lo, hi);
        neighbourRange(observed, w, h, frameLo, frameHi);
        const float sf = frameNoise.sigma[c];
        const float sr = referenceNoise.sigma[c];
        for (size_t i = 0; i < count; ++i) {
            if (!usable[i])
                continue;
            const int v = sample(reference.cells[i], c);
            // The mapping's local slope carries the reference's noise over.
            const int a = std::max(v - 64, 0);
            const int b = std::min(v + 64, kLevels - 1);
            const float slope = std::min(8.0f, static_cast<float>(map[b] - map[a]) / static_cast<float>(b - a));
            const float noise = std::sqrt(sf * sf + slope * slope * sr * sr);
            const int f = sample(frame.cells[i], c);
            const int contrast = std::min(hi[i] - lo[i], frameHi[i] - frameLo[i]);
            const float plain = kNoiseMultiple * noise + kFloor + kRelative * static_cast<float>(std::max(f, int{predicted[i]}));
            // Both ways: a value outside the other frame's neighbourhood range,
            // and the other's outside this one's. Blur (focus, motion of the
            // camera) puts one inside the other's range; a different object
            // fails both.
            const int p = predicted[i];
            const int there = f > hi[i] ? f - hi[i] : (f < lo[i] ? lo[i] - f : 0);
            const int back = p > frameHi[i] ? p - frameHi[i] : (p < frameLo[i] ? frameLo[i] - p : 0);
            const float dev = static_cast<float>(std::min(there, back));
            excess[i] = std::max(excess[i], dev / (plain + kStructure * static_cast<float>(contrast)));
            plainExcess[i] = std::max(plainExcess[i], dev / plain);
        }
    }
    for (size_t i = 0; i < count; ++i) {
        if (!usable[i])
            continue;
        moving[i] = static_cast<uint8_t>((excess[i] > 1.0f ? kMotionMoving : 0) |
                                         (plainExcess[i] > 1.0f ? kMotionDiffers : 0));
    }
    return moving;
}

// Compared in the darker frame's tones: the brighter one's are mapped down,
// which shrinks its noise and the mapping's errors instead of spreading the
// darker frame's few shadow levels over many.
std::vector<uint8_t> compareDarker(const MotionGrid& reference, const FrameNoise& referenceNoise,
                                   const MotionGrid& frame, const FrameNoise& frameNoise,
                                   const std::vector<uint8_t>* consider)
{
    if (meanLuma(frame) > meanLuma(reference))
        return compareMapped(frame, frameNoise, reference, referenceNoise, consider);
    return compareMapped(reference, referenceNoise, frame, frameNoise, consider);
}

// The grid of 2x2 cell averages; a coarse cell is present when all the
// cells it covers are.
MotionGrid halveGrid(const MotionGrid& grid)
{
    MotionGrid half;
    half.width = (grid.width + 1) / 2;
    half.height = (grid.height + 1) / 2;
    half.cells.assign(cellCount(half.width, half.height), WorkPixel{0, 0, 0, 0});
    for (int y = 0; y < half.height; ++y) {
        const int y1 = std::min(2 * y + 1, grid.height - 1);
        for (int x = 0; x < half.width; ++x) {
            const int x1 = std::min(2 * x + 1, grid.width - 1);
            const WorkPixel* q[4] = {&grid.cells[static_cast<size_t>(2 * y) * grid.width + 2 * x],
                                     &grid.cells[static_cast<size_t>(2 * y) * grid.width + x1],
                                     &grid.cells[static_cast<size_t>(y1) * grid.width + 2 * x],
                                     &grid.cells[static_cast<size_t>(y1) * grid.width + x1]};
            if (q[0]->alpha == 0 || q[1]->alpha == 0 || q[2]->alpha == 0 || q[3]->alpha == 0)
                continue;
            WorkPixel& out = half.cells[static_cast<size_t>(y) * half.width + x];
            out.c0 = static_cast<int16_t>((q[0]->c0 + q[1]->c0 + q[2]->c0 + q[3]->c0) / 4);
            out.c1 = static_cast<int16_t>((q[0]->c1 + q[1]->c1 + q[2]->c1 + q[3]->c1) / 4);
            out.c2 = static_cast<int16_t>((q[0]->c2 + q[1]->c2 + q[2]->c2 + q[3]->c2) / 4);
            out.alpha = kAlphaPresent;
        }
    }
    return half;
}

} // namespace

std::vector<uint8_t> disagreement(const MotionGrid& reference, const FrameNoise& referenceNoise,
                                  const MotionGrid& frame, const FrameNoise& frameNoise,
                                  const std::vector<uint8_t>* consider)
{
    std::vector<uint8_t> flags = compareDarker(reference, referenceNoise, frame, frameNoise, consider);
    if (reference.width != frame.width || reference.height != frame.height || flags.empty())
        return flags;

    // The same comparison on cells twice as large, whose noise is lower: a
    // large object whose difference the cells' noise hides shows there. A
    // coarse cell is examined only where all the cells it covers are usable.
    const int w = frame.width;
    const int h = frame.height;
    const MotionGrid coarseReference = halveGrid(reference);
    const MotionGrid coarseFrame = halveGrid(frame);
    const int cw = coarseFrame.width;
    std::vector<uint8_t> coarseConsider(cellCount(cw, coarseFrame.height), 1);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y) * w + x;
            if (!usableCell(reference.cells[i]) || !usableCell(frame.cells[i]) ||
                (consider != nullptr && (*consider)[i] == 0))
                coarseConsider[static_cast<size_t>(y / 2) * cw + x / 2] = 0;
        }
    }
    const std::vector<uint8_t> coarse =
        compareDarker(coarseReference, estimateNoise(coarseReference), coarseFrame, estimateNoise(coarseFrame),
                      &coarseConsider);
    // What the coarse scale sees joins the fine flags.
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if ((coarse[static_cast<size_t>(y / 2) * cw + x / 2] & kMotionMoving) != 0)
                flags[static_cast<size_t>(y) * w + x] |= kMotionMoving | kMotionDiffers;
        }
    }
    return flags;
}

void cleanMotion(std::vector<uint8_t>& moving, int width, int height)
{
    const size_t count = cellCount(width, height);
    if (count == 0)
        return;
    // Another scene is judged on every difference, textured areas included:
    // the contrast allowance would hide much of a frame that shares nothing
    // with the reference.
    std::vector<uint8_t> differs(moving.size());
    for (size_t i = 0; i < count; ++i) {
        differs[i] = moving[i] != 0 ? 1 : 0;
        moving[i] = (moving[i] & kMotionMoving) != 0 ? 1 : 0;
    }
    const size_t minimum = std::max<size_t>(6, count / 8000);
    auto clean = [&](std::vector<uint8_t>& m) {
        removeSmallBlobs(m, width, height, minimum);
        closeHoles(m, width, height, 2);
    };
    clean(differs);
    clean(moving);
    // Thin pieces count as part of an object within twice the area its mask
    // excludes and feathers around it.
    removeThinStrays(moving, width, height, 4 * exclusionMargin(width, height));
    const size_t flagged = static_cast<size_t>(std::count(differs.begin(), differs.end(), uint8_t{1}));
    if (static_cast<double>(flagged) > kWholeFrameShare * static_cast<double>(count))
        std::fill(moving.begin(), moving.end(), uint8_t{1});
}

std::vector<uint16_t> keepFromMotion(const std::vector<uint8_t>& moving, int width, int height)
{
    const size_t count = cellCount(width, height);
    std::vector<uint16_t> keep(count, UINT16_MAX);
    if (count == 0)
        return keep;
    const int margin = exclusionMargin(width, height);
    const int feather = margin;
    std::vector<uint8_t> grown = moving;
    squareFilter(grown, width, height, margin + feather, true);
    // Box average of radius `feather` over the grown area, as a share.
    const int r = feather;
    const int side = 2 * r + 1;
    std::vector<int> rows(count, 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int s = 0;
            for (int d = -r; d <= r; ++d)
                s += grown[static_cast<size_t>(y) * width + std::clamp(x + d, 0, width - 1)];
            rows[static_cast<size_t>(y) * width + x] = s;
        }
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int s = 0;
            for (int d = -r; d <= r; ++d)
                s += rows[static_cast<size_t>(std::clamp(y + d, 0, height - 1)) * width + x];
            const int excluded = s * 65535 / (side * side);
            keep[static_cast<size_t>(y) * width + x] = static_cast<uint16_t>(65535 - excluded);
        }
    }
    // Moving cells themselves are always wholly excluded.
    for (size_t i = 0; i < count; ++i) {
        if (moving[i] != 0)
            keep[i] = 0;
    }
    return keep;
}

} // namespace quovix
