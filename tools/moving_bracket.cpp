// Makes a bracket with something moving through it, for the README picture
// of ghost removal: a part of a JPEG photograph (the "object") is pasted into
// each frame of a 16-bit bracket at a different place, exposed as the frame
// is (its linear light times 2^EV, then the frames' plain 2.2 power curve).
//
//   moving_bracket OBJECT.jpg X,Y,W,H SIZE OUT_PREFIX FRAME.tif:EV:PX,PY ...
//
// X,Y,W,H is the object's part of OBJECT.jpg and PX,PY where it goes in a
// frame, all as fractions of the image's width and height; SIZE is the
// object's width in frame pixels. Writes OUT_PREFIX<n>.tif for the n-th frame
// (16-bit RGB, Deflate).
//
// Built on its own by scripts/make-deghost-strip.sh; not part of the program.
#include <cstddef>
#include <cstdio>
// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <tiffio.h>

#include "read_jpeg.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Image {
    int width = 0;
    int height = 0;
    std::vector<double> linear;  // interleaved RGB, linear light
};

double srgbToLinear(double v)
{
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

bool readJpeg(const char* path, Image& image)
{
    std::vector<unsigned char> rgb;
    if (!readJpegRgb(path, image.width, image.height, rgb))
        return false;
    image.linear.resize(rgb.size());
    for (size_t k = 0; k < rgb.size(); ++k)
        image.linear[k] = srgbToLinear(rgb[k] / 255.0);
    return true;
}

// The object: the part of the photograph, area-averaged to `size` pixels wide.
Image cutObject(const Image& photo, double fx, double fy, double fw, double fh, int size)
{
    const int x0 = static_cast<int>(fx * photo.width);
    const int y0 = static_cast<int>(fy * photo.height);
    const int w = std::max(1, static_cast<int>(fw * photo.width));
    const int h = std::max(1, static_cast<int>(fh * photo.height));
    Image object;
    object.width = size;
    object.height = std::max(1, size * h / w);
    object.linear.assign(static_cast<size_t>(object.width) * object.height * 3, 0.0);
    for (int y = 0; y < object.height; ++y) {
        for (int x = 0; x < object.width; ++x) {
            const int sx0 = x0 + x * w / object.width, sx1 = std::max(sx0 + 1, x0 + (x + 1) * w / object.width);
            const int sy0 = y0 + y * h / object.height, sy1 = std::max(sy0 + 1, y0 + (y + 1) * h / object.height);
            for (int c = 0; c < 3; ++c) {
                double sum = 0.0;
                for (int sy = sy0; sy < sy1; ++sy)
                    for (int sx = sx0; sx < sx1; ++sx)
                        sum += photo.linear[(static_cast<size_t>(std::min(sy, photo.height - 1)) * photo.width +
                                             std::min(sx, photo.width - 1)) * 3 + c];
                object.linear[(static_cast<size_t>(y) * object.width + x) * 3 + c] = sum / ((sy1 - sy0) * (sx1 - sx0));
            }
        }
    }
    return object;
}

bool pasteIntoFrame(const char* in, const char* out, const Image& object, double ev, double px, double py)
{
    TIFF* src = TIFFOpen(in, "r");
    if (src == nullptr)
        return false;
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0;
    TIFFGetField(src, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(src, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(src, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(src, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (bits != 16 || samples != 3) {
        std::fprintf(stderr, "%s: expected 16-bit RGB\n", in);
        TIFFClose(src);
        return false;
    }
    std::vector<uint16_t> pixels(static_cast<size_t>(width) * height * 3);
    for (uint32_t y = 0; y < height; ++y)
        TIFFReadScanline(src, pixels.data() + static_cast<size_t>(y) * width * 3, y);
    TIFFClose(src);

    const double gain = std::pow(2.0, ev);
    const int ox = static_cast<int>(px * width);
    const int oy = static_cast<int>(py * height);
    for (int y = 0; y < object.height; ++y) {
        for (int x = 0; x < object.width; ++x) {
            const int tx = ox + x, ty = oy + y;
            if (tx < 0 || ty < 0 || tx >= static_cast<int>(width) || ty >= static_cast<int>(height))
                continue;
            for (int c = 0; c < 3; ++c) {
                const double v = std::min(1.0, object.linear[(static_cast<size_t>(y) * object.width + x) * 3 + c] * gain);
                pixels[(static_cast<size_t>(ty) * width + tx) * 3 + c] =
                    static_cast<uint16_t>(std::lround(65535.0 * std::pow(v, 1.0 / 2.2)));
            }
        }
    }

    TIFF* dst = TIFFOpen(out, "w");
    if (dst == nullptr)
        return false;
    TIFFSetField(dst, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(dst, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(dst, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(dst, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(dst, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(dst, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(dst, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(dst, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(dst, TIFFTAG_ROWSPERSTRIP, 16);
    bool ok = true;
    for (uint32_t y = 0; y < height && ok; ++y)
        ok = TIFFWriteScanline(dst, pixels.data() + static_cast<size_t>(y) * width * 3, y) >= 0;
    TIFFClose(dst);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s OBJECT.jpg X,Y,W,H SIZE OUT_PREFIX FRAME.tif:EV:PX,PY ...\n", argv[0]);
        return 2;
    }
    Image photo;
    if (!readJpeg(argv[1], photo)) {
        std::fprintf(stderr, "%s: cannot read\n", argv[1]);
        return 1;
    }
    double fx = 0, fy = 0, fw = 0, fh = 0;
    if (std::sscanf(argv[2], "%lf,%lf,%lf,%lf", &fx, &fy, &fw, &fh) != 4) {
        std::fprintf(stderr, "bad part %s\n", argv[2]);
        return 2;
    }
    const Image object = cutObject(photo, fx, fy, fw, fh, std::atoi(argv[3]));
    for (int i = 5; i < argc; ++i) {
        std::string spec = argv[i];
        const size_t a = spec.rfind(':');
        const size_t b = a == std::string::npos ? a : spec.rfind(':', a - 1);
        double px = 0, py = 0;
        if (b == std::string::npos || std::sscanf(spec.c_str() + a + 1, "%lf,%lf", &px, &py) != 2) {
            std::fprintf(stderr, "bad frame %s\n", argv[i]);
            return 2;
        }
        const std::string path = spec.substr(0, b);
        const double ev = std::atof(spec.substr(b + 1, a - b - 1).c_str());
        const std::string out = std::string(argv[4]) + std::to_string(i - 4) + ".tif";
        if (!pasteIntoFrame(path.c_str(), out.c_str(), object, ev, px, py)) {
            std::fprintf(stderr, "%s: cannot make %s\n", path.c_str(), out.c_str());
            return 1;
        }
    }
    return 0;
}
