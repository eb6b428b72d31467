#include "imageio/tiff_io.h"
#include "support/console.h"
#include "support/memory.h"
#include "support/settings.h"

#include <cstdio>
#include <cstring>

namespace {

int samplesOf(int bytesPerPixel)
{
    switch (bytesPerPixel) {
    case 1: case 2: return 1;
    case 3: case 6: return 3;
    default: return 4;
    }
}

int bitsOf(int bytesPerPixel)
{
    return (bytesPerPixel == 2 || bytesPerPixel == 6 || bytesPerPixel == 8) ? 16 : 8;
}

const char* writeMode() { return gSettings.bigTiff ? "W" : "w"; }

// A failed row stops the file: report it, close, release the row buffer.
int abandonFile(TIFF* tiff, void* row, int rowIndex)
{
    std::printf("Error writing scanline %d\n", rowIndex);
    closeTiff(tiff);
    trackedFree(row);
    return -1;
}

// libtiff writes the last strip and the directory only when flushed; a failure
// there (a full disk) would otherwise leave a short file reported as written.
int finishFile(TIFF* tiff, void* row, int height)
{
    if (height > 0 && TIFFFlush(tiff) == 0)
        return abandonFile(tiff, row, height - 1);
    closeTiff(tiff);
    trackedFree(row);
    return 0;
}

} // namespace

void writeTiffPosition(TIFF* tiff, const ImageRegion* region)
{
    const ImageRegion& r = region != nullptr ? *region : gCanvas;
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 300.0);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 300.0);
    float x = static_cast<float>(r.x) / 300.0f;
    float y = static_cast<float>(r.y) / 300.0f;
    TIFFSetField(tiff, TIFFTAG_XPOSITION, static_cast<double>(x));
    TIFFSetField(tiff, TIFFTAG_YPOSITION, static_cast<double>(y));
}

void writeTiffTags(TIFF* tiff, int width, int height, int bytesPerPixel, const ImageRegion* region,
                   bool predictorAllowed)
{
    const int samples = samplesOf(bytesPerPixel);
    const int bits = bitsOf(bytesPerPixel);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 32);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, samples == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bits);
    debugLog("setTiffSamplesPerPixel: %d", samples);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
    if (samples == 4) {
        uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    debugLog("Setting dimensions: %dx%d", width, height);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    writeTiffPosition(tiff, region);
    const int code = gSettings.tiffCompression;
    if (code != COMPRESSION_NONE) {
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, code);
        // DEFLATE is stored under its code 32946 (COMPRESSION_DEFLATE), not the Adobe code 8.
        if (predictorAllowed && bits == 8 && (code == COMPRESSION_LZW || code == COMPRESSION_DEFLATE))
            TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    }
}

int writeTiffImage(const std::string& path, const void* buffer, int width, int height, int bytesPerPixel,
                   int offsetMode, const ImageRegion* region)
{
    // Checked before the file is made, so no empty file is left behind.
    if (offsetMode == 1 && bytesPerPixel != 8)
        fatalError("Unsupported bit shift operation\n", kExitFatal);
    TIFF* tiff = openTiff(path, writeMode());
    writeTiffTags(tiff, width, height, bytesPerPixel, region != nullptr ? region : &gCanvas);
    const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(bytesPerPixel);
    unsigned char* row = static_cast<unsigned char*>(trackedAlloc(rowBytes));
    const unsigned char* source = static_cast<const unsigned char*>(buffer);
    for (int i = 0; i < height; ++i) {
        std::memcpy(row, source + static_cast<size_t>(i) * rowBytes, rowBytes);
        if (offsetMode == 1) {
            uint16_t* samples = reinterpret_cast<uint16_t*>(row);
            for (int p = 0; p < width; ++p) {
                samples[4 * p + 0] = static_cast<uint16_t>(samples[4 * p + 0] + 0x2000);
                samples[4 * p + 1] = static_cast<uint16_t>(samples[4 * p + 1] + 0x2000);
                samples[4 * p + 2] = static_cast<uint16_t>(samples[4 * p + 2] + 0x2000);
            }
        }
        if (TIFFWriteScanline(tiff, row, static_cast<uint32_t>(i), 0) == -1)
            return abandonFile(tiff, row, i);
    }
    return finishFile(tiff, row, height);
}

int writeTiffWork8(const std::string& path, const WorkPixel* buffer, int width, int height)
{
    TIFF* tiff = openTiff(path, writeMode());
    writeTiffTags(tiff, width, height, 4, &gCanvas);
    unsigned char* row = static_cast<unsigned char*>(trackedAlloc(static_cast<size_t>(width) * 8));
    for (int i = 0; i < height; ++i) {
        const WorkPixel* src = buffer + static_cast<size_t>(i) * static_cast<size_t>(width);
        for (int p = 0; p < width; ++p) {
            const int16_t c[3] = {src[p].c0, src[p].c1, src[p].c2};
            for (int k = 0; k < 3; ++k) {
                int v = c[k] / 64;
                row[4 * p + k] = static_cast<unsigned char>(v < 0 ? 0 : (v > 255 ? 255 : v));
            }
            row[4 * p + 3] = src[p].alpha != 0 ? 255 : 0;
        }
        if (TIFFWriteScanline(tiff, row, static_cast<uint32_t>(i), 0) == -1)
            return abandonFile(tiff, row, i);
    }
    return finishFile(tiff, row, height);
}

int writeTiffWork16(const std::string& path, const WorkPixel* buffer, int width, int height)
{
    TIFF* tiff = openTiff(path, writeMode());
    writeTiffTags(tiff, width, height, 8, &gCanvas);
    uint16_t* row = static_cast<uint16_t*>(trackedAlloc(static_cast<size_t>(width) * 8));
    for (int i = 0; i < height; ++i) {
        const WorkPixel* src = buffer + static_cast<size_t>(i) * static_cast<size_t>(width);
        for (int p = 0; p < width; ++p) {
            row[4 * p + 0] = static_cast<uint16_t>(static_cast<uint16_t>(src[p].c0) << 2);
            row[4 * p + 1] = static_cast<uint16_t>(static_cast<uint16_t>(src[p].c1) << 2);
            row[4 * p + 2] = static_cast<uint16_t>(static_cast<uint16_t>(src[p].c2) << 2);
            row[4 * p + 3] = static_cast<uint16_t>(src[p].alpha);
        }
        if (TIFFWriteScanline(tiff, row, static_cast<uint32_t>(i), 0) == -1)
            return abandonFile(tiff, row, i);
    }
    return finishFile(tiff, row, height);
}
