#include "dng_writer.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr uint32_t kWhiteLevel = 4095;  // 12-bit sensor range
constexpr uint16_t kLinearRaw = 34892;  // DNG photometric interpretation of demosaiced or grey data

// Linear scene value 0..1 of one colour (0 R, 1 G, 2 B) at a pixel: a
// horizontal luminance ramp with colour changing down the image.
double sceneValue(uint32_t x, uint32_t y, int colour, const TestDngOptions& o)
{
    const double u = (x + 0.5) / o.width;
    const double v = (y + 0.5) / o.height;
    const double luma = 0.05 + 0.4 * u;
    const double tint[3] = {0.7 + 0.6 * v, 1.0, 1.3 - 0.6 * v};
    return luma * tint[colour] * o.exposure;
}

}  // namespace

bool writeTestDng(const std::string& path, const TestDngOptions& o)
{
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif)
        return false;

    static const uint8_t dngVersion[4] = {1, 4, 0, 0};
    static const uint8_t dngBackward[4] = {1, 1, 0, 0};
    static const uint16_t cfaDim[2] = {2, 2};
    static const uint8_t cfaPattern[4] = {0, 1, 1, 2};  // R G / G B
    static const uint32_t whiteLevel[1] = {kWhiteLevel};
    // XYZ to camera: an sRGB-like sensor, so colours come out roughly as scened.
    static const float colorMatrix[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f,
                                         0.0415f, 0.0557f, -0.2040f, 1.0570f};
    static const float neutral[3] = {1.0f, 1.0f, 1.0f};

    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, o.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, o.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, o.monochrome ? kLinearRaw : PHOTOMETRIC_CFA);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, o.height);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, o.orientation);
    TIFFSetField(tif, TIFFTAG_MAKE, "Quovix");
    TIFFSetField(tif, TIFFTAG_MODEL, "Test Sensor");
    TIFFSetField(tif, TIFFTAG_DNGVERSION, dngVersion);
    TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, dngBackward);
    TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Quovix Test Sensor");
    TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, whiteLevel);
    if (!o.monochrome) {
        TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, cfaDim);
        TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, cfaPattern);
        TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, colorMatrix);
        TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 21);  // D65
        TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
    }

    std::vector<uint16_t> row(o.width);
    bool ok = true;
    for (uint32_t y = 0; y < o.height && ok; ++y) {
        for (uint32_t x = 0; x < o.width; ++x) {
            const int colour = o.monochrome ? 1 : cfaPattern[(y & 1) * 2 + (x & 1)];
            const double v = std::clamp(sceneValue(x, y, colour, o), 0.0, 1.0);
            row[x] = static_cast<uint16_t>(std::lround(v * kWhiteLevel));
        }
        ok = TIFFWriteScanline(tif, row.data(), y, 0) >= 0;
    }
    TIFFClose(tif);
    return ok;
}
