// Differential whole runs: the built program fuses real photographs in one
// iteration (-p 1) and every output sample is compared with a plain, literal
// re-computation of the same fusion. The reference below trades speed for
// obviousness: full images in vectors, one pixel at a time, no shared code
// with the program, so a slip in any of the fast paths shows up as a
// differing sample.
#include "test_util.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace reference {

struct Pixel {
    int c[3] = {0, 0, 0};  // R, G, B (or Cr+8192, Y, Cb+8192 in YCrCb)
    int alpha = 0;         // 16384 present, 0 absent
};
using Image = std::vector<Pixel>;

constexpr int kPresent = 16384;
constexpr int kMaxSample = 16383;
constexpr int kTaps[5] = {1, 5, 8, 5, 1};

struct Settings {
    float contrast = 0.0f, exposure = 1.0f, saturation = 0.0f;
    int mode = 0;               // 1 = Maximum, anything else weighted average
    int exposureBlendLevels = 0;
    bool ycc = false;
    bool wrap = false;
    int exposureColourMode = 0;
    float lumaThreshold = 0.0f, chromaThreshold = 0.0f;
    float lumaFactor = 0.0f, chromaFactor = 0.0f;
    int lumaLevels = 1, chromaLevels = 1, radius = 2;
    float preservation = 0.1f;
};

struct Size {
    int w, h;
    Size half() const { return {(w + 1) / 2, (h + 1) / 2}; }
};

// Exposure weight of every 14-bit value under the default curve parameters.
std::vector<uint16_t> buildWeightCurve()
{
    const double contrast = 0, brightness = 0, shadows = 0, highlights = 0;
    const double floorShadow = 0.1, floorHighlight = 0.1;
    const double k = 2 * std::pow(2.0, contrast), g = std::pow(2.0, brightness);
    const double hS = std::pow(2.0, shadows), hH = std::pow(2.0, highlights);
    const double mS = std::pow(1.2, floorShadow) - 1, mH = std::pow(1.2, floorHighlight) - 1;
    const double gmax = std::max(g, 1.0), gmin = std::min(g, 1.0);
    const double pS = k * hS * gmax, qS = k * hS / gmin, pH = k * hH * gmax, qH = k * hH / gmin;
    std::vector<double> s(16385), hi(16384);
    double maxS = 0, maxH = 0;
    for (int i = 0; i < 16384; ++i) {
        const double x = i / 16383.0;
        s[i] = std::pow(1 - x, qS) * std::pow(x, pS);
        hi[i] = std::pow(1 - x, qH) * std::pow(x, pH);
        maxS = std::max(maxS, s[i]);
        maxH = std::max(maxH, hi[i]);
    }
    for (int i = 0; i < 16384; ++i) {
        s[i] = (s[i] / maxS + mS) / (mS + 1);
        hi[i] = (hi[i] / maxH + mH) / (mH + 1);
    }
    s[16384] = hi[0];  // only read by the peak test of the last sample
    // Shadow curve up to its peak, highlight curve from the peak on.
    bool pastPeak = false;
    for (int i = 0; i < 16384; ++i) {
        if (!pastPeak && s[i] > s[i + 1])
            pastPeak = true;
        if (pastPeak)
            s[i] = hi[i];
        if (s[i] < 0)
            s[i] = 0;
    }
    std::vector<uint16_t> curve(65536, 65535);
    for (int i = 0; i < 16384; ++i) {
        const double v = s[i] * 65535;
        curve[i] = static_cast<uint16_t>(static_cast<int>(v < 0 ? v - 0.49999999 : v + 0.49999999));
    }
    return curve;
}

const std::vector<uint16_t>& weightCurve()
{
    static const std::vector<uint16_t> curve = buildWeightCurve();
    return curve;
}

void rgbToYcc(Pixel& p)
{
    const int r = p.c[0], g = p.c[1], b = p.c[2];
    const int y = static_cast<int>((static_cast<float>(r) * 0.299f + static_cast<float>(g) * 0.587f) +
                                   static_cast<float>(b) * 0.114f);
    const int cb = static_cast<int>(static_cast<double>(static_cast<float>(b - y)) * 0.5 / static_cast<double>(0.886f));
    const int cr = static_cast<int>(static_cast<double>(static_cast<float>(r - y)) * 0.5 / static_cast<double>(0.701f));
    p.c[0] = static_cast<int16_t>(cr + 8192);
    p.c[1] = y;
    p.c[2] = static_cast<int16_t>(cb + 8192);
}

void yccToRgb(Pixel& p)
{
    const int cr = p.c[0] - 8192, y = p.c[1], cb = p.c[2] - 8192;
    const int r = y + static_cast<int>(1.402f * static_cast<float>(cr));
    const int b = y + static_cast<int>(1.772f * static_cast<float>(cb));
    const int g = y - static_cast<int>(0.71413624f * static_cast<float>(cr) + 0.34413627f * static_cast<float>(cb));
    p.c[0] = std::clamp(r, 0, kMaxSample);
    p.c[1] = std::clamp(g, 0, kMaxSample);
    p.c[2] = std::clamp(b, 0, kMaxSample);
}

// Horizontal tap position after the edge rule: wrapped, or -1 when left out.
int tapColumn(int x, int width, bool wrap)
{
    if (x >= 0 && x < width)
        return x;
    if (!wrap)
        return -1;
    return x < 0 ? x + width : x - width;
}

Image reduce(const Image& fine, Size size, bool wrap)
{
    const Size half = size.half();
    Image coarse(half.w * half.h);
    for (int i = 0; i < half.h; ++i)
        for (int j = 0; j < half.w; ++j) {
            int weightSum = 0, acc[3] = {0, 0, 0};
            for (int r = 0; r < 5; ++r) {
                const int y = 2 * i - 2 + r;
                if (y < 0 || y >= size.h)
                    continue;
                for (int c = 0; c < 5; ++c) {
                    const int x = tapColumn(2 * j - 2 + c, size.w, wrap);
                    if (x < 0 || !fine[y * size.w + x].alpha)
                        continue;
                    const int w = kTaps[r] * kTaps[c];
                    weightSum += w;
                    for (int q = 0; q < 3; ++q)
                        acc[q] += w * fine[y * size.w + x].c[q];
                }
            }
            // Renormalised by the taps actually used: borders and holes keep their level.
            Pixel& out = coarse[i * half.w + j];
            if (weightSum > 0) {
                for (int q = 0; q < 3; ++q)
                    out.c[q] = acc[q] / weightSum;
                out.alpha = kPresent;
            }
        }
    return coarse;
}

// The coarse level brought back to `size`; only taps on even fine positions exist.
Image expand(const Image& coarse, Size size, bool wrap)
{
    const int coarseWidth = size.half().w;
    Image fine(size.w * size.h);
    for (int y = 0; y < size.h; ++y)
        for (int x = 0; x < size.w; ++x) {
            int weightSum = 0, acc[3] = {0, 0, 0};
            for (int r = 0; r < 5; ++r) {
                const int v = y - 2 + r;
                if (v < 0 || v >= size.h || v % 2 != 0)
                    continue;
                for (int c = 0; c < 5; ++c) {
                    const int u = x - 2 + c;
                    if (u % 2 != 0)
                        continue;
                    int column;
                    if (u >= 0 && u < size.w)
                        column = u / 2;
                    else if (!wrap)
                        continue;
                    else
                        column = u < 0 ? u / 2 + coarseWidth : u / 2 - coarseWidth;
                    const Pixel& p = coarse[(v / 2) * coarseWidth + column];
                    if (!p.alpha)
                        continue;
                    const int w = kTaps[r] * kTaps[c];
                    weightSum += w;
                    for (int q = 0; q < 3; ++q)
                        acc[q] += w * p.c[q];
                }
            }
            Pixel& out = fine[y * size.w + x];
            if (weightSum > 0) {
                for (int q = 0; q < 3; ++q)
                    out.c[q] = acc[q] / weightSum;
                out.alpha = kPresent;
            }
        }
    return fine;
}

// sign +1 collapses (adds), -1 takes the detail (subtracts); stored as 16 bits.
void merge(Image& target, const Image& expanded, int sign)
{
    for (size_t i = 0; i < target.size(); ++i) {
        for (int q = 0; q < 3; ++q)
            target[i].c[q] = static_cast<int16_t>(std::clamp(target[i].c[q] + sign * expanded[i].c[q], -32767, 32767));
        target[i].alpha = target[i].alpha && expanded[i].alpha ? kPresent : 0;
    }
}

// Measures of one pyramid level of one image.
struct LevelData {
    Image laplacian;
    std::vector<int> exposure, contrast, saturation;
};

int lumaIndex(const Pixel& p) { return (30 * p.c[0] + 59 * p.c[1] + 11 * p.c[2]) / 100; }

int exposureWeight(const Pixel& gaussian, const Settings& s)
{
    const std::vector<uint16_t>& curve = weightCurve();
    if (s.ycc)
        return curve[static_cast<uint16_t>(gaussian.c[1])];
    if (s.exposureColourMode == 1)
        return (curve[static_cast<uint16_t>(gaussian.c[0])] + curve[static_cast<uint16_t>(gaussian.c[1])] +
                curve[static_cast<uint16_t>(gaussian.c[2])]) / 3;
    return curve[static_cast<uint16_t>(lumaIndex(gaussian))];
}

int saturationWeight(Pixel gaussian, const Settings& s)
{
    if (s.ycc)
        yccToRgb(gaussian);  // saturation is judged on the colours themselves
    const int mx = std::max({gaussian.c[0], gaussian.c[1], gaussian.c[2]});
    const int mn = std::min({gaussian.c[0], gaussian.c[1], gaussian.c[2]});
    return mx == mn ? 1 : static_cast<uint16_t>((mx - mn) * 65535 / (mx + mn));
}

int contrastWeight(const Pixel& detail, const Settings& s)
{
    const int a0 = s.ycc ? 20 : 30, a1 = s.ycc ? 60 : 59, a2 = s.ycc ? 20 : 11;
    const int v = (a0 * std::abs(detail.c[0]) + a1 * std::abs(detail.c[1]) + a2 * std::abs(detail.c[2])) / 100;
    return v >= 16384 ? 65535 : 4 * v;
}

std::vector<LevelData> analyse(Image gaussian, Size size, int levels, const Settings& s)
{
    if (s.ycc)
        for (Pixel& p : gaussian)
            rgbToYcc(p);
    std::vector<LevelData> pyramid;
    for (int l = 0; l < levels; ++l) {
        LevelData level;
        for (const Pixel& p : gaussian) {
            level.exposure.push_back(exposureWeight(p, s));
            level.saturation.push_back(saturationWeight(p, s));
        }
        level.laplacian = gaussian;
        Image next;
        if (l < levels - 1) {
            next = reduce(gaussian, size, s.wrap);
            merge(level.laplacian, expand(next, size, s.wrap), -1);
        }
        for (const Pixel& p : level.laplacian)
            level.contrast.push_back(contrastWeight(p, s));
        pyramid.push_back(std::move(level));
        if (l < levels - 1) {
            gaussian = std::move(next);
            size = size.half();
        }
    }
    return pyramid;
}

// One level of all images: weighted average, or the detail of the heaviest image.
Image combine(const std::vector<std::vector<LevelData>>& images, int l, float contrast, float exposure,
              float saturation, int mode)
{
    const int te = static_cast<int>(100.0f * exposure), ts = static_cast<int>(100.0f * saturation),
              tc = static_cast<int>(100.0f * contrast);
    const size_t count = images[0][l].laplacian.size();
    Image out(count);
    for (size_t i = 0; i < count; ++i) {
        int64_t sum[3] = {0, 0, 0}, total = 0;
        int valid = 0, chosen = -1;
        unsigned best = 0;
        // All weights zero: fall back to equal weights.
        for (int pass = 0; pass < 2; ++pass) {
            sum[0] = sum[1] = sum[2] = total = 0;
            valid = 0;
            chosen = -1;
            best = 0;
            for (size_t k = 0; k < images.size(); ++k) {
                const LevelData& d = images[k][l];
                const Pixel& p = d.laplacian[i];
                if (!p.alpha)
                    continue;
                const int w = pass == 1 ? 1
                                        : static_cast<uint16_t>((te * d.exposure[i] + ts * d.saturation[i] +
                                                                 tc * d.contrast[i]) / 100);
                for (int q = 0; q < 3; ++q)
                    sum[q] += p.c[q] * w;
                total += w;
                ++valid;
                if (static_cast<unsigned>(w) > best) {
                    best = w;
                    chosen = static_cast<int>(k);
                }
            }
            if (total != 0 || valid == 0)
                break;
        }
        if (valid == 0)
            continue;
        if (mode == 1) {
            out[i] = images[chosen][l].laplacian[i];
        } else {
            for (int q = 0; q < 3; ++q)
                out[i].c[q] = static_cast<int16_t>(sum[q] / total);
            out[i].alpha = kPresent;
        }
    }
    return out;
}

// Pulls a share of the overshoot of every channel back into range, decided on the middle sample.
void constrainHighlights(Image& image, float strength)
{
    const int order[3] = {1, 0, 2};
    int shift[3];
    float scale[3];
    for (int j = 0; j < 3; ++j) {
        int mn = 999999, mx = -999999;
        for (const Pixel& p : image)
            if (p.alpha) {
                mn = std::min(mn, p.c[order[j]]);
                mx = std::max(mx, p.c[order[j]]);
            }
        const int black = std::min(0, static_cast<int>(static_cast<float>(mn) * strength));
        const int white = std::max(kMaxSample, static_cast<int>(static_cast<float>(mx - kMaxSample) * strength + 16383.0));
        shift[j] = -black;
        scale[j] = 16383.0f / static_cast<float>(white - black);
    }
    if (shift[0] == 0 && scale[0] == 1.0f)
        return;
    for (Pixel& p : image)
        for (int j = 0; j < 3; ++j)
            p.c[order[j]] = static_cast<int16_t>(static_cast<int>(static_cast<float>(p.c[order[j]] + shift[j]) * scale[j]));
}

// Smooths detail towards the window mean where the whole window is flat; in
// place and in raster order, so later windows see earlier results.
void filterNoiseLevel(Image& level, Size size, float lumaLimit, float chromaLimit, const Settings& s)
{
    const int tl = static_cast<int>(lumaLimit * 1920.0), tc = static_cast<int>(chromaLimit * 1920.0);
    const int r = s.radius;
    for (int y = r; y < size.h - r; ++y)
        for (int x = r; x < size.w - r; ++x) {
            Pixel& p = level[y * size.w + x];
            if (!p.alpha)
                continue;
            int n = 0, sumY = 0, sumCr = 0, sumCb = 0, lumaDetail = 0, chromaDetail = 0;
            for (int v = y - r; v <= y + r; ++v)
                for (int u = x - r; u <= x + r; ++u) {
                    const Pixel& q = level[v * size.w + u];
                    if (!q.alpha)
                        continue;
                    ++n;
                    sumCr += q.c[0];
                    sumY += q.c[1];
                    sumCb += q.c[2];
                    lumaDetail += std::abs(q.c[1]) > tl;
                    chromaDetail += std::max(std::abs(q.c[0]), std::abs(q.c[2])) > tc;
                }
            const float fc = s.chromaFactor, fl = s.lumaFactor;
            if (chromaDetail == 0) {
                p.c[0] = static_cast<int16_t>(static_cast<int>(static_cast<float>(sumCr / n) * (1 - fc) + static_cast<float>(p.c[0]) * fc));
                p.c[2] = static_cast<int16_t>(static_cast<int>(static_cast<float>(sumCb / n) * (1 - fc) + static_cast<float>(p.c[2]) * fc));
            }
            if (lumaDetail == 0)
                p.c[1] = static_cast<int16_t>(static_cast<int>(static_cast<float>(sumY / n) * (1 - fl) + static_cast<float>(p.c[1]) * fl));
        }
}

void reduceNoise(Image& image, Size size, const Settings& s)
{
    if (!s.ycc)
        for (Pixel& p : image)
            rgbToYcc(p);
    const int levels = std::max(s.lumaLevels, s.chromaLevels);
    std::vector<Image> details;
    std::vector<Size> sizes;
    Image gaussian = image;
    for (int l = 0; l < levels; ++l) {
        Image coarse = reduce(gaussian, size, s.wrap);
        merge(gaussian, expand(coarse, size, s.wrap), -1);
        filterNoiseLevel(gaussian, size, l < s.lumaLevels ? s.lumaThreshold : -1.0f,
                         l < s.chromaLevels ? s.chromaThreshold : -1.0f, s);
        details.push_back(std::move(gaussian));
        sizes.push_back(size);
        gaussian = std::move(coarse);
        size = size.half();
    }
    for (int l = levels - 1; l >= 0; --l) {
        merge(details[l], expand(gaussian, sizes[l], s.wrap), +1);
        gaussian = std::move(details[l]);
    }
    if (levels > 0)
        image = std::move(gaussian);
    if (!s.ycc)
        for (Pixel& p : image)
            yccToRgb(p);
}

// The automatic level count: halvings that bring the smaller side to 3 or less.
int automaticLevels(Size size)
{
    int m = std::min(size.w, size.h), h = 0;
    while (m > 3) {
        m /= 2;
        ++h;
    }
    return std::max(h, 1);
}

Image fuse(const std::vector<Image>& inputs, Size size, Settings s)
{
    const float weightSum = s.contrast + s.exposure + s.saturation;
    if (weightSum != 1.0f) {
        s.contrast /= weightSum;
        s.exposure /= weightSum;
        s.saturation /= weightSum;
    }
    const int levels = automaticLevels(size);
    s.exposureBlendLevels = std::min(s.exposureBlendLevels, levels - 1);
    s.lumaLevels = std::min(s.lumaLevels, levels);
    s.chromaLevels = std::min(s.chromaLevels, levels);

    std::vector<std::vector<LevelData>> pyramids;
    for (const Image& input : inputs)
        pyramids.push_back(analyse(input, size, levels, s));
    std::vector<Size> sizes{size};
    for (int l = 1; l < levels; ++l)
        sizes.push_back(sizes.back().half());

    Image collapsed;
    int finestMode = s.mode;
    for (int l = levels - 1; l >= 0; --l) {
        // The coarsest levels of a non-average fusion blend by exposure alone.
        const bool exposureBlend = s.mode != 0 && levels - l <= s.exposureBlendLevels;
        const int mode = exposureBlend ? 0 : s.mode;
        Image level = exposureBlend ? combine(pyramids, l, 0.0f, 1.0f, 0.0f, 0)
                                    : combine(pyramids, l, s.contrast, s.exposure, s.saturation, mode);
        if (l < levels - 1)
            merge(level, expand(collapsed, sizes[l], s.wrap), +1);
        if (mode == 1)
            constrainHighlights(level, s.preservation);
        collapsed = std::move(level);
        finestMode = mode;
    }
    if (s.lumaThreshold > 0 || s.chromaThreshold > 0)
        reduceNoise(collapsed, size, s);
    if (finestMode == 1)
        constrainHighlights(collapsed, s.preservation);
    for (Pixel& p : collapsed)
        for (int q = 0; q < 3; ++q)
            p.c[q] = std::clamp(p.c[q], 0, kMaxSample);
    if (s.ycc)
        for (Pixel& p : collapsed)
            yccToRgb(p);
    return collapsed;
}

// 8-bit RGBA samples as the output file holds them.
std::vector<uint8_t> toRgba8(const Image& image)
{
    std::vector<uint8_t> out;
    for (const Pixel& p : image) {
        for (int q = 0; q < 3; ++q)
            out.push_back(static_cast<uint8_t>(std::clamp(p.c[q] / 64, 0, 255)));
        out.push_back(p.alpha ? 255 : 0);
    }
    return out;
}

}  // namespace reference

namespace {

struct Raster {
    uint32_t width = 0, height = 0;
    uint16_t samples = 0, bits = 0;
    std::vector<uint8_t> data;  // interleaved, rows one after another
};

Raster readTiff(const std::string& path)
{
    Raster r;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (tif == nullptr)
        return r;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &r.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &r.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &r.samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &r.bits);
    const tmsize_t rowBytes = TIFFScanlineSize(tif);
    r.data.resize(static_cast<size_t>(rowBytes) * r.height);
    for (uint32_t y = 0; y < r.height; ++y)
        if (TIFFReadScanline(tif, r.data.data() + y * rowBytes, y, 0) < 0) {
            r.data.clear();
            break;
        }
    TIFFClose(tif);
    return r;
}

reference::Image widen(const Raster& r)
{
    reference::Image image(r.width * r.height);
    for (size_t i = 0; i < image.size(); ++i) {
        const uint8_t* s = &r.data[i * r.samples];
        for (int q = 0; q < 3; ++q)
            image[i].c[q] = s[r.samples >= 3 ? q : 0] << 6;
        image[i].alpha = r.samples == 4 && s[3] == 0 ? 0 : reference::kPresent;
    }
    return image;
}

struct Case {
    const char* name;
    std::vector<std::string> options;
    reference::Settings settings;
};

// Names the case in failure messages instead of a byte dump.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

reference::Settings with(void (*change)(reference::Settings&))
{
    reference::Settings s;
    change(s);
    return s;
}

const std::vector<Case>& cases()
{
    using reference::Settings;
    static const std::vector<Case> all = {
        {"ExposureAverage", {}, Settings{}},
        {"ContrastMaximum", {"--wMode2", "1", "--wContrast2", "1", "--wExposure2", "0"},
         with([](Settings& s) { s.mode = 1; s.contrast = 1; s.exposure = 0; })},
        {"YCrCb", {"-c"}, with([](Settings& s) { s.ycc = true; })},
        {"WrapAround", {"-w"}, with([](Settings& s) { s.wrap = true; })},
        {"MaximumWithExposureBlendLevels", {"--wMode2", "1", "--wContrast2", "1", "--wExposure2", "0", "-u", "2"},
         with([](Settings& s) { s.mode = 1; s.contrast = 1; s.exposure = 0; s.exposureBlendLevels = 2; })},
        {"YCrCbMaximum", {"-c", "--wMode2", "1", "--wContrast2", "1", "--wExposure2", "0"},
         with([](Settings& s) { s.ycc = true; s.mode = 1; s.contrast = 1; s.exposure = 0; })},
        {"SaturationAndExposure", {"--wSaturation2", "0.3", "--wExposure2", "0.7"},
         with([](Settings& s) { s.saturation = 0.3f; s.exposure = 0.7f; })},
        {"ColourExposureWeight", {"-z", "1"}, with([](Settings& s) { s.exposureColourMode = 1; })},
        {"FinalNoiseReduction", {"-nl", "0.1", "-nc", "0.1", "-nv", "2", "-nw", "2"},
         with([](Settings& s) { s.lumaThreshold = 0.1f; s.chromaThreshold = 0.1f; s.lumaLevels = 2; s.chromaLevels = 2; })},
    };
    return all;
}

class ReferenceFusionTest : public ::testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite()
    {
        for (int n : {4, 1, 6, 2, 5}) {
            paths_.push_back(sourceDir() + "/tests/data/crusader_crop/crusader" + std::to_string(n) + ".tif");
            rasters_.push_back(readTiff(paths_.back()));
        }
    }
    static std::vector<std::string> paths_;
    static std::vector<Raster> rasters_;
};
std::vector<std::string> ReferenceFusionTest::paths_;
std::vector<Raster> ReferenceFusionTest::rasters_;

TEST_P(ReferenceFusionTest, OutputMatchesLiteralFusionSampleForSample)
{
    if (!fileExists(QUOVIX_BIN))
        GTEST_SKIP() << "quovix binary not built";
    const Case& c = GetParam();
    std::vector<reference::Image> inputs;
    for (const Raster& r : rasters_) {
        ASSERT_EQ(r.bits, 8);
        ASSERT_EQ(r.width, rasters_[0].width);
        ASSERT_EQ(r.height, rasters_[0].height);
        ASSERT_FALSE(r.data.empty());
        inputs.push_back(widen(r));
    }
    const reference::Size size{static_cast<int>(rasters_[0].width), static_cast<int>(rasters_[0].height)};

    TempDir dir;
    const std::string temp = dir.file("tmp");
    std::filesystem::create_directory(temp);
    const std::string output = dir.file("out.tif");
    std::vector<std::string> args{"-p", "1", "-o", output};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), paths_.begin(), paths_.end());
    const CommandResult run = runQuovix(args, dir.path(), {"TMPDIR=" + temp});
    ASSERT_EQ(run.exitCode, 0) << run.output;

    const Raster got = readTiff(output);
    ASSERT_EQ(got.width, rasters_[0].width);
    ASSERT_EQ(got.height, rasters_[0].height);
    ASSERT_EQ(got.samples, 4);
    ASSERT_EQ(got.bits, 8);
    const std::vector<uint8_t> want = reference::toRgba8(reference::fuse(inputs, size, c.settings));
    ASSERT_EQ(got.data.size(), want.size());

    size_t differing = 0, first = 0;
    for (size_t i = 0; i < want.size(); ++i)
        if (got.data[i] != want[i] && differing++ == 0)
            first = i;
    const size_t pixel = first / 4;
    EXPECT_EQ(differing, 0u) << "first difference at x=" << pixel % size.w << " y=" << pixel / size.w
                             << " sample " << first % 4 << ": program " << int(got.data[first])
                             << ", reference " << int(want[first]);
}

INSTANTIATE_TEST_SUITE_P(CrusaderBracket, ReferenceFusionTest, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
