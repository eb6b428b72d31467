// Builds the 24-megapixel inputs of the side-by-side benchmark from the bundled
// photographs: exposure brackets (16-bit TIFF and JPEG) and a focus stack.
// Everything is synthesised in linear light from one sharp base picture, so the
// frames line up exactly and differ only by exposure, noise or focus. Output is
// deterministic (counter-based noise), and a set whose stamp matches is kept.
//
// Usage: make_bench_inputs [--examples DIR] [--raw FILE.CR2] [--sets "tiff3 tiff9 jpeg3 focus5 focus100 focus300 tiff3-lzw1 tiff3-zip"] [OUTDIR]
// OUTDIR defaults to /tmp/quovix-bench-inputs. Prints one line per set on
// stdout: "<set> <file> <file> ..." (absolute paths, in bracket order).
#include <algorithm>
#include <cmath>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <tiffio.h>

#include "imageio/jpeg_io.h"
#include "support/console.h"

namespace quovix {
namespace {

// Bump when the synthesis changes: stale sets are then rebuilt.
constexpr int kGeneratorVersion = 1;
constexpr int kLongSide = 6000;
constexpr int kShortSide = 4000;
// The many-frame focus sets: 6 megapixels, camera JPEGs.
constexpr int kManyLong = 3000;
constexpr int kManyShort = 2000;
constexpr uint64_t kSeed = 0x51A7E5EEDull;
// Noise in linear units of full scale: photon noise (variance grows with the
// signal) plus a small read-noise floor, roughly a mid-ISO camera.
constexpr double kShotGain = 1.0 / 4000.0;
constexpr double kReadNoise = 0.0005;
constexpr double kGamma = 2.2;
constexpr int kJpegQuality = 95;
// Focus stack blur levels in base-picture pixels (x1.7 at output size).
constexpr double kBlurSigmas[] = {0.0, 1.0, 2.0, 4.0, 8.0};

struct Image {
    int width = 0;
    int height = 0;
    std::vector<float> rgb; // interleaved, linear light, 1.0 = full scale
    float* row(int y) { return rgb.data() + static_cast<size_t>(y) * width * 3; }
    const float* row(int y) const { return rgb.data() + static_cast<size_t>(y) * width * 3; }
};

Image makeImage(int width, int height)
{
    Image img;
    img.width = width;
    img.height = height;
    img.rgb.assign(static_cast<size_t>(width) * height * 3, 0.0f);
    return img;
}

// Runs fn(firstRow, endRow) over row bands on all cores. Every row is computed
// on its own, so the result does not depend on the split.
void forRows(int height, const std::function<void(int, int)>& fn)
{
    int workers = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    std::vector<std::thread> pool;
    for (int w = 0; w < workers; ++w) {
        int y0 = static_cast<int>(static_cast<int64_t>(height) * w / workers);
        int y1 = static_cast<int>(static_cast<int64_t>(height) * (w + 1) / workers);
        pool.emplace_back(fn, y0, y1);
    }
    for (auto& t : pool)
        t.join();
}

bool fail(const std::string& message)
{
    std::fprintf(stderr, "make_bench_inputs: %s\n", message.c_str());
    return false;
}

// ---- reading the base pictures ------------------------------------------

// dcraw's 16-bit linear TIFF (RGB, 16 bits, contiguous).
bool readTiff16(const std::string& path, Image& out)
{
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif)
        return fail("cannot open " + path);
    uint32_t w = 0, h = 0;
    uint16_t bits = 0, spp = 0, planar = PLANARCONFIG_CONTIG;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    if (bits != 16 || spp != 3 || planar != PLANARCONFIG_CONTIG) {
        TIFFClose(tif);
        return fail(path + ": expected 16-bit contiguous RGB");
    }
    out = makeImage(static_cast<int>(w), static_cast<int>(h));
    std::vector<uint16_t> line(static_cast<size_t>(w) * 3);
    for (uint32_t y = 0; y < h; ++y) {
        if (TIFFReadScanline(tif, line.data(), y) < 0) {
            TIFFClose(tif);
            return fail(path + ": read error");
        }
        float* dst = out.row(static_cast<int>(y));
        for (size_t i = 0; i < line.size(); ++i)
            dst[i] = static_cast<float>(line[i]) / 65535.0f;
    }
    TIFFClose(tif);
    return true;
}

struct JpegErrors {
    jpeg_error_mgr base;
    jmp_buf jump;
};

void jpegErrorExit(j_common_ptr info)
{
    longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
}

// 8-bit JPEG, decoded and taken to linear light with the same 2.2 gamma that
// the frames are written with.
bool readJpegLinear(const std::string& path, Image& out)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return fail("cannot open " + path);
    jpeg_decompress_struct info;
    JpegErrors errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jpegErrorExit;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        return fail(path + ": JPEG decode error");
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    out = makeImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height));
    float toLinear[256];
    for (int v = 0; v < 256; ++v)
        toLinear[v] = static_cast<float>(std::pow(v / 255.0, kGamma));
    std::vector<unsigned char> line(static_cast<size_t>(out.width) * 3);
    while (info.output_scanline < info.output_height) {
        int y = static_cast<int>(info.output_scanline);
        JSAMPROW rows[1] = {line.data()};
        jpeg_read_scanlines(&info, rows, 1);
        float* dst = out.row(y);
        for (size_t i = 0; i < line.size(); ++i)
            dst[i] = toLinear[line[i]];
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return true;
}

// The raw file through dcraw: 16-bit linear, daylight white balance.
bool readRaw(const std::string& rawPath, const std::string& workDir, Image& out)
{
    std::string tiff = workDir + "/raw_base.tiff";
    std::string cmd = "dcraw -c -4 -T '" + rawPath + "' > '" + tiff + "'";
    if (std::system(cmd.c_str()) != 0)
        return fail("dcraw failed on " + rawPath + " (is dcraw installed?)");
    bool ok = readTiff16(tiff, out);
    std::remove(tiff.c_str());
    return ok;
}

// ---- geometry and filtering ---------------------------------------------

// Centre crop to the aspect ratio aw:ah.
Image cropToAspect(const Image& in, int aw, int ah)
{
    int w = in.width, h = in.height;
    if (static_cast<int64_t>(w) * ah > static_cast<int64_t>(h) * aw)
        w = static_cast<int>(static_cast<int64_t>(h) * aw / ah);
    else
        h = static_cast<int>(static_cast<int64_t>(w) * ah / aw);
    Image out = makeImage(w, h);
    int x0 = (in.width - w) / 2, y0 = (in.height - h) / 2;
    for (int y = 0; y < h; ++y)
        std::memcpy(out.row(y), in.row(y + y0) + static_cast<size_t>(x0) * 3, sizeof(float) * 3 * w);
    return out;
}

// Catmull-Rom weights for the four taps around a sample position.
struct Taps {
    int first;
    float w[4];
};

std::vector<Taps> cubicTaps(int inSize, int outSize)
{
    std::vector<Taps> taps(outSize);
    double scale = static_cast<double>(inSize) / outSize;
    for (int o = 0; o < outSize; ++o) {
        double pos = (o + 0.5) * scale - 0.5;
        int base = static_cast<int>(std::floor(pos));
        double t = pos - base;
        double t2 = t * t, t3 = t2 * t;
        taps[o].first = base - 1;
        taps[o].w[0] = static_cast<float>(-0.5 * t3 + t2 - 0.5 * t);
        taps[o].w[1] = static_cast<float>(1.5 * t3 - 2.5 * t2 + 1.0);
        taps[o].w[2] = static_cast<float>(-1.5 * t3 + 2.0 * t2 + 0.5 * t);
        taps[o].w[3] = static_cast<float>(0.5 * t3 - 0.5 * t2);
    }
    return taps;
}

// Bicubic upscale (separable, clamped edges). Overshoot below zero is cut,
// since the result is linear light.
Image resizeCubic(const Image& in, int width, int height)
{
    std::vector<Taps> tx = cubicTaps(in.width, width);
    std::vector<Taps> ty = cubicTaps(in.height, height);
    Image horiz = makeImage(width, in.height);
    forRows(in.height, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const float* src = in.row(y);
            float* dst = horiz.row(y);
            for (int x = 0; x < width; ++x) {
                const Taps& t = tx[x];
                for (int c = 0; c < 3; ++c) {
                    float sum = 0.0f;
                    for (int k = 0; k < 4; ++k) {
                        int sx = std::clamp(t.first + k, 0, in.width - 1);
                        sum += t.w[k] * src[sx * 3 + c];
                    }
                    dst[x * 3 + c] = sum;
                }
            }
        }
    });
    Image out = makeImage(width, height);
    const size_t n = static_cast<size_t>(width) * 3;
    forRows(height, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const Taps& t = ty[y];
            const float* r[4];
            for (int k = 0; k < 4; ++k)
                r[k] = horiz.row(std::clamp(t.first + k, 0, in.height - 1));
            float* dst = out.row(y);
            for (size_t i = 0; i < n; ++i)
                dst[i] = std::max(0.0f, t.w[0] * r[0][i] + t.w[1] * r[1][i] + t.w[2] * r[2][i] + t.w[3] * r[3][i]);
        }
    });
    return out;
}

// Separable Gaussian blur, clamped edges.
Image gaussianBlur(const Image& in, double sigma)
{
    if (sigma <= 0.0)
        return in;
    int radius = static_cast<int>(std::ceil(3.0 * sigma));
    std::vector<float> kernel(2 * radius + 1);
    double total = 0.0;
    for (int i = -radius; i <= radius; ++i)
        total += std::exp(-0.5 * i * i / (sigma * sigma));
    for (int i = -radius; i <= radius; ++i)
        kernel[i + radius] = static_cast<float>(std::exp(-0.5 * i * i / (sigma * sigma)) / total);
    const int w = in.width, h = in.height;
    Image horiz = makeImage(w, h);
    forRows(h, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const float* src = in.row(y);
            float* dst = horiz.row(y);
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c) {
                    float sum = 0.0f;
                    for (int k = -radius; k <= radius; ++k)
                        sum += kernel[k + radius] * src[std::clamp(x + k, 0, w - 1) * 3 + c];
                    dst[x * 3 + c] = sum;
                }
        }
    });
    Image out = makeImage(w, h);
    const size_t n = static_cast<size_t>(w) * 3;
    forRows(h, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            float* dst = out.row(y);
            for (int k = -radius; k <= radius; ++k) {
                const float* src = horiz.row(std::clamp(y + k, 0, h - 1));
                float kw = kernel[k + radius];
                for (size_t i = 0; i < n; ++i)
                    dst[i] += kw * src[i];
            }
        }
    });
    return out;
}

// Scales the picture so that its bright end (99.5th percentile of the
// largest channel) sits just below full scale at 0 EV.
void normaliseExposure(Image& img)
{
    std::vector<int> histogram(4096, 0);
    for (size_t i = 0; i < img.rgb.size(); i += 3) {
        float m = std::max({img.rgb[i], img.rgb[i + 1], img.rgb[i + 2]});
        histogram[std::clamp(static_cast<int>(m * 4095.0f), 0, 4095)]++;
    }
    const size_t target = img.rgb.size() / 3 * 995 / 1000;
    size_t count = 0;
    int bin = 0;
    while (bin < 4095 && count + histogram[bin] < target)
        count += histogram[bin++];
    float gain = 0.95f / std::max((bin + 1) / 4095.0f, 1e-3f);
    for (float& v : img.rgb)
        v *= gain;
}

// ---- rendering frames ---------------------------------------------------

uint64_t mix64(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Unit normal deviate for sample `index` of stream `seed`: the sum of four
// 16-bit uniforms (close enough to Gaussian for sensor noise, and exact
// integer arithmetic, so any thread split gives the same frame).
float normalAt(uint64_t seed, uint64_t index)
{
    uint64_t r = mix64(seed * 0x9E3779B97F4A7C15ull + index);
    double sum = static_cast<double>((r & 0xFFFF) + ((r >> 16) & 0xFFFF) + ((r >> 32) & 0xFFFF) + (r >> 48));
    return static_cast<float>((sum / 65535.0 - 2.0) * 1.7320508075688772);
}

// Exposure shift in linear light, noise, clip, gamma 2.2, quantise to
// `maxCode` (255 or 65535).
std::vector<uint16_t> renderFrame(const Image& linear, double ev, uint64_t seed, int maxCode)
{
    const float gain = static_cast<float>(std::pow(2.0, ev));
    std::vector<uint16_t> out(linear.rgb.size());
    forRows(linear.height, [&](int y0, int y1) {
        for (size_t i = static_cast<size_t>(y0) * linear.width * 3; i < static_cast<size_t>(y1) * linear.width * 3;
             ++i) {
            double v = linear.rgb[i] * gain;
            v += std::sqrt(v * kShotGain + kReadNoise * kReadNoise) * normalAt(seed, i);
            v = std::clamp(v, 0.0, 1.0);
            out[i] = static_cast<uint16_t>(std::lround(std::pow(v, 1.0 / kGamma) * maxCode));
        }
    });
    return out;
}

// ---- writing ------------------------------------------------------------

// Uncompressed 16-bit RGB: decoding costs nearly nothing, so the timing is
// about fusion, and the files are the same for both programs anyway.
bool writeTiff16(const std::string& path, int width, int height, const std::vector<uint16_t>& data)
{
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif)
        return fail("cannot create " + path);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    std::vector<uint16_t> line(static_cast<size_t>(width) * 3);
    for (int y = 0; y < height; ++y) {
        std::memcpy(line.data(), data.data() + static_cast<size_t>(y) * width * 3, line.size() * 2);
        if (TIFFWriteScanline(tif, line.data(), static_cast<uint32_t>(y), 0) < 0) {
            TIFFClose(tif);
            return fail(path + ": write error");
        }
    }
    TIFFClose(tif);
    return true;
}

// The same 16-bit frame re-encoded the way other programs write TIFFs:
// LZW with the horizontal predictor and one row per strip, or Deflate with the
// predictor (libtiff's default strip height). The pixels stay the same.
bool transcodeTiff16(const std::string& from, const std::string& to, bool deflate)
{
    TIFF* in = TIFFOpen(from.c_str(), "r");
    if (!in)
        return fail("cannot open " + from);
    uint32_t width = 0, height = 0;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &height);
    TIFF* out = TIFFOpen(to.c_str(), "w");
    if (!out) {
        TIFFClose(in);
        return fail("cannot create " + to);
    }
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(out, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(out, TIFFTAG_COMPRESSION, deflate ? COMPRESSION_ADOBE_DEFLATE : COMPRESSION_LZW);
    TIFFSetField(out, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, deflate ? TIFFDefaultStripSize(out, 0) : 1);
    std::vector<uint16_t> line(static_cast<size_t>(width) * 3);
    bool ok = true;
    for (uint32_t y = 0; ok && y < height; ++y)
        ok = TIFFReadScanline(in, line.data(), y) >= 0 && TIFFWriteScanline(out, line.data(), y, 0) >= 0;
    TIFFClose(in);
    TIFFClose(out);
    return ok ? true : fail(to + ": transcoding error");
}

// Through the program's own JPEG encoder (library defaults at the quality).
bool writeJpeg(const std::string& path, int width, int height, const std::vector<uint16_t>& data)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return fail("cannot create " + path);
    std::vector<unsigned char> rgb(data.size());
    for (size_t i = 0; i < data.size(); ++i)
        rgb[i] = static_cast<unsigned char>(data[i]);
    quovix::Console console;
    const bool encoded = quovix::encodeJpeg(console, file, rgb.data(), width, height, kJpegQuality);
    const bool closed = std::fclose(file) == 0;
    return encoded && closed ? true : fail(path + ": JPEG encode error");
}

// ---- sets and their stamps ----------------------------------------------

int64_t fileSize(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// A set is kept when its stamp names the same parameters and every file it
// lists still has the recorded size.
bool stampMatches(const std::string& dir, const std::string& params, std::vector<std::string>& files)
{
    std::ifstream in(dir + "/stamp.txt");
    std::string line;
    if (!std::getline(in, line) || line != params)
        return false;
    std::vector<std::string> found;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name;
        int64_t size = -1;
        fields >> name >> size;
        if (name.empty() || fileSize(dir + "/" + name) != size)
            return false;
        found.push_back(dir + "/" + name);
    }
    if (found.empty())
        return false;
    files = found;
    return true;
}

bool writeStamp(const std::string& dir, const std::string& params, const std::vector<std::string>& files)
{
    std::ofstream out(dir + "/stamp.txt");
    out << params << "\n";
    for (const std::string& f : files)
        out << f.substr(dir.size() + 1) << " " << fileSize(f) << "\n";
    return static_cast<bool>(out);
}

struct Sources {
    std::string examples;
    std::string raw;
};

std::string evName(int index, double ev)
{
    char name[32];
    std::snprintf(name, sizeof name, "%02d_ev%+.0f", index + 1, ev);
    return name;
}

// Exposure bracket of `count` frames spread evenly over -span..+span EV.
bool makeBracket(const Image& base, const std::string& dir, int count, double span, bool jpeg, uint64_t seedBase,
                 std::vector<std::string>& files)
{
    files.clear();
    for (int i = 0; i < count; ++i) {
        double ev = count == 1 ? 0.0 : -span + 2.0 * span * i / (count - 1);
        std::string path = dir + "/" + evName(i, ev) + (jpeg ? ".jpg" : ".tif");
        std::fprintf(stderr, "make_bench_inputs: writing %s\n", path.c_str());
        std::vector<uint16_t> frame = renderFrame(base, ev, seedBase + static_cast<uint64_t>(i), jpeg ? 255 : 65535);
        bool ok = jpeg ? writeJpeg(path, base.width, base.height, frame)
                       : writeTiff16(path, base.width, base.height, frame);
        if (!ok)
            return false;
        files.push_back(path);
    }
    return true;
}

// Focus stack: frame k is sharp in horizontal band k of `count`; elsewhere the
// blur grows with the distance from that band, reaching the largest level two
// fifths of the picture height away. Rows blend the two nearest blur levels.
// Frames of `width` x `height`, 16-bit TIFF or 8-bit JPEG.
bool makeFocusStack(const Image& base, const std::string& dir, int count, int width, int height, bool jpeg,
                    uint64_t seedBase, std::vector<std::string>& files)
{
    std::vector<Image> levels;
    for (double sigma : kBlurSigmas)
        levels.push_back(gaussianBlur(base, sigma));
    const int levelCount = static_cast<int>(levels.size());
    const double maxSigma = kBlurSigmas[levelCount - 1];
    files.clear();
    for (int k = 0; k < count; ++k) {
        Image frame = makeImage(base.width, base.height);
        int bandTop = base.height * k / count, bandEnd = base.height * (k + 1) / count;
        for (int y = 0; y < base.height; ++y) {
            int distance = y < bandTop ? bandTop - y : (y >= bandEnd ? y - bandEnd + 1 : 0);
            double sigma = std::min(maxSigma, maxSigma * distance / (0.4 * base.height));
            int lo = 0;
            while (lo + 2 < levelCount && kBlurSigmas[lo + 1] <= sigma)
                ++lo;
            float t = static_cast<float>(
                std::clamp((sigma - kBlurSigmas[lo]) / (kBlurSigmas[lo + 1] - kBlurSigmas[lo]), 0.0, 1.0));
            const float* a = levels[lo].row(y);
            const float* b = levels[lo + 1].row(y);
            float* dst = frame.row(y);
            for (int i = 0; i < base.width * 3; ++i)
                dst[i] = (1.0f - t) * a[i] + t * b[i];
        }
        Image big = resizeCubic(frame, width, height);
        char name[32];
        std::snprintf(name, sizeof name, "%03d_band%d.%s", k + 1, k + 1, jpeg ? "jpg" : "tif");
        std::string path = dir + "/" + (count < 100 ? name + 1 : name);
        std::fprintf(stderr, "make_bench_inputs: writing %s\n", path.c_str());
        std::vector<uint16_t> pixels = renderFrame(big, 0.0, seedBase + k, jpeg ? 255 : 65535);
        if (!(jpeg ? writeJpeg(path, big.width, big.height, pixels) : writeTiff16(path, big.width, big.height, pixels)))
            return false;
        files.push_back(path);
    }
    return true;
}

std::string sourceTag(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1) + ":" + std::to_string(fileSize(path));
}

bool ensureDir(const std::string& dir)
{
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return fail("cannot create folder " + dir + ": " + std::strerror(errno));
    return true;
}

// Builds (or keeps) one set and prints its line, or hands its files to `made`.
bool makeSet(const std::string& set, const std::string& outDir, const Sources& src,
             std::vector<std::string>* made = nullptr)
{
    std::string dir = outDir + "/" + set;
    if (!ensureDir(dir))
        return false;
    std::string rawBase = src.raw;
    std::string jpegBase = src.examples + "/crusader/1.jpeg";
    char params[512];
    if (set == "tiff3" || set == "tiff9") {
        int count = set == "tiff3" ? 3 : 9;
        double span = set == "tiff3" ? 2.0 : 4.0;
        std::snprintf(params, sizeof params, "v%d %s %dx%d 16-bit tiff-none ev=-%.0f..+%.0f n=%d seed=%llx noise=%g,%g src=%s",
                      kGeneratorVersion, set.c_str(), kLongSide, kShortSide, span, span, count,
                      static_cast<unsigned long long>(kSeed), kShotGain, kReadNoise, sourceTag(rawBase).c_str());
    } else if (set == "jpeg3") {
        std::snprintf(params, sizeof params, "v%d %s %dx%d jpeg-q%d ev=-2..+2 n=3 seed=%llx noise=%g,%g src=%s",
                      kGeneratorVersion, set.c_str(), kShortSide, kLongSide, kJpegQuality,
                      static_cast<unsigned long long>(kSeed), kShotGain, kReadNoise, sourceTag(jpegBase).c_str());
    } else if (set == "focus5") {
        std::snprintf(params, sizeof params, "v%d %s %dx%d 16-bit tiff-none bands=5 sigma<=%g seed=%llx noise=%g,%g src=%s",
                      kGeneratorVersion, set.c_str(), kLongSide, kShortSide, kBlurSigmas[4],
                      static_cast<unsigned long long>(kSeed), kShotGain, kReadNoise, sourceTag(rawBase).c_str());
    } else if (set == "focus100" || set == "focus300") {
        std::snprintf(params, sizeof params, "v%d %s %dx%d jpeg-q%d bands=%s sigma<=%g seed=%llx noise=%g,%g src=%s",
                      kGeneratorVersion, set.c_str(), kManyLong, kManyShort, kJpegQuality, set.c_str() + 5,
                      kBlurSigmas[4], static_cast<unsigned long long>(kSeed), kShotGain, kReadNoise,
                      sourceTag(rawBase).c_str());
    } else if (set == "tiff3-lzw1" || set == "tiff3-zip") {
        // Made from the tiff3 frames (built first when missing).
        std::vector<std::string> sources;
        if (!makeSet("tiff3", outDir, src, &sources))
            return false;
        std::string tag;
        for (const std::string& f : sources)
            tag += " " + std::to_string(fileSize(f));
        std::snprintf(params, sizeof params, "v%d %s from tiff3%s", kGeneratorVersion, set.c_str(), tag.c_str());
        std::vector<std::string> files;
        if (!stampMatches(dir, params, files)) {
            std::fprintf(stderr, "make_bench_inputs: building set %s in %s\n", set.c_str(), dir.c_str());
            std::remove((dir + "/stamp.txt").c_str());
            for (const std::string& f : sources) {
                const std::string to = dir + f.substr(f.find_last_of('/'));
                std::fprintf(stderr, "make_bench_inputs: writing %s\n", to.c_str());
                if (!transcodeTiff16(f, to, set == "tiff3-zip"))
                    return false;
                files.push_back(to);
            }
            if (!writeStamp(dir, params, files))
                return fail("set " + set + " failed");
        }
        std::printf("%s", set.c_str());
        for (const std::string& f : files)
            std::printf(" %s", f.c_str());
        std::printf("\n");
        return true;
    } else {
        return fail("unknown set " + set + " (tiff3 tiff9 jpeg3 focus5 focus100 focus300 tiff3-lzw1 tiff3-zip)");
    }
    std::vector<std::string> files;
    if (!stampMatches(dir, params, files)) {
        std::fprintf(stderr, "make_bench_inputs: building set %s in %s\n", set.c_str(), dir.c_str());
        std::remove((dir + "/stamp.txt").c_str());
        Image base;
        bool ok;
        // One noise stream per set and frame, derived from the set's name.
        uint64_t seed = kSeed;
        for (char c : set)
            seed = seed * 131 + static_cast<unsigned char>(c);
        if (set == "jpeg3") {
            // The crusader shots are portrait: crop to 2:3 and make 4000 x 6000.
            if (!readJpegLinear(jpegBase, base))
                return false;
            base = resizeCubic(cropToAspect(base, 2, 3), kShortSide, kLongSide);
            ok = makeBracket(base, dir, 3, 2.0, true, seed, files);
        } else {
            if (!readRaw(rawBase, dir, base))
                return false;
            base = cropToAspect(base, 3, 2);
            normaliseExposure(base);
            if (set == "focus5")
                ok = makeFocusStack(base, dir, 5, kLongSide, kShortSide, false, seed, files);
            else if (set == "focus100" || set == "focus300")
                ok = makeFocusStack(base, dir, std::atoi(set.c_str() + 5), kManyLong, kManyShort, true, seed, files);
            else {
                base = resizeCubic(base, kLongSide, kShortSide);
                ok = makeBracket(base, dir, set == "tiff3" ? 3 : 9, set == "tiff3" ? 2.0 : 4.0, false, seed, files);
            }
        }
        if (!ok || !writeStamp(dir, params, files))
            return fail("set " + set + " failed");
    } else {
        std::fprintf(stderr, "make_bench_inputs: set %s is up to date\n", set.c_str());
    }
    if (made != nullptr) {
        *made = files;
        return true;
    }
    std::printf("%s", set.c_str());
    for (const std::string& f : files)
        std::printf(" %s", f.c_str());
    std::printf("\n");
    return true;
}

} // namespace
} // namespace quovix

int main(int argc, char** argv)
{
    quovix::Sources src{"examples", "examples/raw_canon/IMG_5952.CR2"};
    std::string outDir = "/tmp/quovix-bench-inputs";
    std::string sets = "tiff3 tiff9 jpeg3 focus5";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--examples" || a == "--raw" || a == "--sets") && i + 1 < argc) {
            std::string v = argv[++i];
            (a == "--examples" ? src.examples : a == "--raw" ? src.raw : sets) = v;
        } else if (a == "-h" || a == "--help" || a[0] == '-') {
            std::fprintf(stderr, "usage: %s [--examples DIR] [--raw FILE.CR2] [--sets \"tiff3 tiff9 jpeg3 focus5 focus100 focus300 tiff3-lzw1 tiff3-zip\"] [OUTDIR]\n",
                         argv[0]);
            return a[0] == '-' && a != "-h" && a != "--help" ? 2 : 0;
        } else {
            outDir = a;
        }
    }
    // Absolute paths: the printed file lists are used from other folders.
    if (outDir[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd))
            outDir = std::string(cwd) + "/" + outDir;
    }
    if (!quovix::ensureDir(outDir))
        return 1;
    std::istringstream list(sets);
    std::string set;
    while (list >> set)
        if (!quovix::makeSet(set, outDir, src))
            return 1;
    return 0;
}
