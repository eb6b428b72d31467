#include "imageio/format_detect.h"
#include "imageio/jpeg_io.h"
#include "imageio/tiff_io.h"
#include "support/console.h"
#include "support/memory.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// New files are opened by us rather than by libtiff so that a symbolic link
// planted at the name is refused instead of followed.
TIFF* openTiffForWriting(const std::string& path, const char* libMode)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    TIFF* tiff = TIFFFdOpen(fd, path.c_str(), libMode);
    if (tiff == nullptr)
        ::close(fd);
    return tiff;
}

// Offset in pixels from position (inches) and resolution; the 0.49 and the
// double step are part of how offsets round-trip. Values beyond int range are
// clamped rather than converted with undefined behaviour.
int32_t positionToPixels(float resolution, float position)
{
    float product = resolution * position;
    double value = static_cast<double>(product) + 0.49;
    if (!(value > static_cast<double>(INT_MIN) - 1.0))
        return INT_MIN;
    if (!(value < static_cast<double>(INT_MAX) + 1.0))
        return INT_MAX;
    return static_cast<int32_t>(value);
}

[[noreturn]] void refuseTiff(const std::string& path, const char* reason)
{
    std::printf("Unsupported image file %s: %s\n", path.c_str(), reason);
    endProcess(kExitIoError);
}

} // namespace

TIFF* openTiff(const std::string& path, const char* mode)
{
    bool writing = std::strcmp(mode, "w") == 0 || std::strcmp(mode, "W") == 0;
    TIFF* tiff = nullptr;
    if (writing) {
        debugLog("Opening (w): %s", path.c_str());
        tiff = openTiffForWriting(path, mode[0] == 'W' ? "w8" : "w");
    } else {
        // "m": read through plain reads, not a memory map, so the pages of the
        // many level files open during a combination do not add up in memory.
        tiff = TIFFOpen(path.c_str(), "rm");
    }
    if (tiff == nullptr)
        std::printf("Couldn't open TIFF file: %s", path.c_str());
    traceFileOpen(path.c_str(), mode, tiff);
    if (tiff == nullptr) {
        std::printf("Cannot open TIFF file for %s: %s", mode, path.c_str());
        endProcess(kExitIoError);
    }
    return tiff;
}

void closeTiff(TIFF* tiff)
{
    traceFileClose(tiff);
    TIFFClose(tiff);
}

void readTiffRegion(TIFF* tiff, ImageRegion& region)
{
    uint32_t width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    float xPosition = 0.0f, xResolution = 0.0f, yPosition = 0.0f, yResolution = 0.0f;
    TIFFGetField(tiff, TIFFTAG_XPOSITION, &xPosition);
    TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &xResolution);
    TIFFGetField(tiff, TIFFTAG_YPOSITION, &yPosition);
    TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &yResolution);
    region.width = static_cast<int32_t>(width);
    region.height = static_cast<int32_t>(height);
    region.x = positionToPixels(xResolution, xPosition);
    region.y = positionToPixels(yResolution, yPosition);
}

void checkTiffReadable(TIFF* tiff, const std::string& path)
{
    uint16_t planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT, bits = 0, samples = 0, photometric = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (TIFFIsTiled(tiff))
        refuseTiff(path, "tiled TIFF files are not supported");
    if (planar != PLANARCONFIG_CONTIG)
        refuseTiff(path, "separate colour planes are not supported");
    if (format != SAMPLEFORMAT_UINT)
        refuseTiff(path, "only unsigned integer samples are supported");
    if (bits != 8 && bits != 16) {
        char reason[64];
        std::snprintf(reason, sizeof reason, "%d bits per sample (8 or 16 supported)", bits);
        refuseTiff(path, reason);
    }
    if (samples != 1 && samples != 3 && samples != 4) {
        char reason[64];
        std::snprintf(reason, sizeof reason, "%d samples per pixel (1, 3 or 4 supported)", samples);
        refuseTiff(path, reason);
    }
    // Palette, CMYK, YCbCr, Lab or inverted grey samples would be taken for
    // grey or RGB values.
    if (TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) && photometric != PHOTOMETRIC_MINISBLACK &&
        photometric != PHOTOMETRIC_RGB) {
        char reason[64];
        std::snprintf(reason, sizeof reason, "photometric interpretation %d (grey or RGB supported)", photometric);
        refuseTiff(path, reason);
    }
    uint32_t width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    if (width < 1 || height < 1 || static_cast<int64_t>(width) * height > kMaxImagePixels) {
        char reason[96];
        std::snprintf(reason, sizeof reason, "dimensions %ux%u out of range", width, height);
        refuseTiff(path, reason);
    }
}

int readImage(const std::string& path, void* buffer)
{
    if (isJpegFile(path)) {
        if (readJpeg(path, buffer) != 0) {
            std::printf("Error reading input JPEG file data\n");
            endProcess(kExitIoError);
        }
        return 0;
    }
    // BigTIFF is never an input (queryImageInfo refuses it first), but the
    // program reads back its own scratch and cache files written under --bigtiff.
    if (!isTiffFile(path) && !isBigTiffFile(path)) {
        std::printf("Unknown image file format\n");
        endProcess(kExitIoError);
    }
    TIFF* tiff = openTiff(path, "r");
    checkTiffReadable(tiff, path);
    ImageRegion region;
    readTiffRegion(tiff, region);
    uint16_t bits = 0, samples = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    size_t rowBytes = static_cast<size_t>(bits * samples / 8) * static_cast<size_t>(region.width);
    unsigned char* rows = static_cast<unsigned char*>(buffer);
    for (int32_t i = 0; i < region.height; ++i) {
        if (TIFFReadScanline(tiff, rows + static_cast<size_t>(i) * rowBytes, static_cast<uint32_t>(i), 0) == -1) {
            std::printf("Error reading scanline %d\n", i);
            endProcess(kExitIoError);
        }
    }
    closeTiff(tiff);
    return 0;
}
