// Test helpers for image stages: a minimal TIFF writer and reader straight on
// libtiff (so inputs and checks do not depend on the program's own TIFF code),
// standard-output capture, and a private TMPDIR for scratch and cache files.
#pragma once

#include "test_util.h"

#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct FixtureImage {
    int width = 0;
    int height = 0;
    int samples = 0;  // 1 grey, 3 RGB, 4 RGBA (2: grey + alpha)
    int bits = 8;     // 8 or 16 (32 for an unsupported float-sized layout)
    int x = 0;        // canvas offset, in pixels
    int y = 0;
    std::vector<uint16_t> data;  // samples, interleaved, one per element

    int bytesPerPixel() const { return samples * bits / 8; }
    uint16_t& at(int row, int col, int s) { return data[(static_cast<size_t>(row) * width + col) * samples + s]; }
    uint16_t at(int row, int col, int s) const { return data[(static_cast<size_t>(row) * width + col) * samples + s]; }
};

inline FixtureImage makeFixture(int width, int height, int samples, int bits, int x = 0, int y = 0)
{
    FixtureImage image;
    image.width = width;
    image.height = height;
    image.samples = samples;
    image.bits = bits;
    image.x = x;
    image.y = y;
    image.data.assign(static_cast<size_t>(width) * height * samples, 0);
    return image;
}

// Stored bytes of the image (8-bit samples as bytes, 16-bit in machine order).
inline std::vector<uint8_t> fixtureBytes(const FixtureImage& image)
{
    std::vector<uint8_t> bytes;
    const int sampleBytes = image.bits / 8;
    bytes.resize(image.data.size() * sampleBytes);
    for (size_t k = 0; k < image.data.size(); ++k) {
        if (sampleBytes == 1) {
            bytes[k] = static_cast<uint8_t>(image.data[k]);
        } else if (sampleBytes == 2) {
            std::memcpy(&bytes[k * 2], &image.data[k], 2);
        } else {
            uint32_t v = image.data[k];
            std::memcpy(&bytes[k * 4], &v, 4);
        }
    }
    return bytes;
}

inline bool writeFixtureTiff(const std::string& path, const FixtureImage& image, bool withPosition = true)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (tiff == nullptr)
        return false;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(image.bits));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(image.samples));
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, image.samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    if (image.samples == 2 || image.samples == 4) {
        uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16u);
    if (withPosition) {
        TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 300.0f);
        TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 300.0f);
        TIFFSetField(tiff, TIFFTAG_XPOSITION, static_cast<float>(image.x) / 300.0f);
        TIFFSetField(tiff, TIFFTAG_YPOSITION, static_cast<float>(image.y) / 300.0f);
    }
    std::vector<uint8_t> bytes = fixtureBytes(image);
    const size_t rowBytes = static_cast<size_t>(image.width) * image.bytesPerPixel();
    bool ok = true;
    for (int row = 0; row < image.height && ok; ++row)
        ok = TIFFWriteScanline(tiff, bytes.data() + row * rowBytes, static_cast<uint32_t>(row), 0) >= 0;
    TIFFClose(tiff);
    return ok;
}

// Reads any 8/16-bit contiguous TIFF back; width 0 when it cannot be read.
inline FixtureImage readFixtureTiff(const std::string& path)
{
    FixtureImage image;
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (tiff == nullptr)
        return image;
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0;
    float xres = 0, yres = 0, xpos = 0, ypos = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &xres);
    TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &yres);
    TIFFGetField(tiff, TIFFTAG_XPOSITION, &xpos);
    TIFFGetField(tiff, TIFFTAG_YPOSITION, &ypos);
    image = makeFixture(static_cast<int>(width), static_cast<int>(height), samples, bits,
                        static_cast<int>(std::lround(xres * xpos)), static_cast<int>(std::lround(yres * ypos)));
    std::vector<uint8_t> row(TIFFScanlineSize(tiff));
    size_t k = 0;
    for (uint32_t r = 0; r < height; ++r) {
        if (TIFFReadScanline(tiff, row.data(), r, 0) < 0) {
            image.width = 0;
            break;
        }
        for (uint32_t s = 0; s < width * samples; ++s, ++k) {
            if (bits == 8) {
                image.data[k] = row[s];
            } else {
                uint16_t v;
                std::memcpy(&v, &row[s * 2], 2);
                image.data[k] = v;
            }
        }
    }
    TIFFClose(tiff);
    return image;
}

// Death tests match standard error; the program reports on standard output.
#define STDOUT_TO_STDERR(statement)         \
    {                                       \
        dup2(STDERR_FILENO, STDOUT_FILENO); \
        statement;                          \
    }

// A run with default settings and a private temporary folder for the
// lifetime of the object.
class ScratchEnvironment {
public:
    ScratchEnvironment() = default;
    ScratchEnvironment(const ScratchEnvironment&) = delete;
    ScratchEnvironment& operator=(const ScratchEnvironment&) = delete;
    const TempDir& dir() const { return run_.dir(); }
    FusionRun& run() { return *run_; }
    RunSettings& settings() { return run_->settings; }

private:
    TestRun run_;
};
