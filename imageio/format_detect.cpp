#include "imageio/format_detect.h"

#include "imageio/jpeg_io.h"
#include "imageio/raw_convert.h"
#include "imageio/tiff_io.h"
#include "support/console.h"
#include "support/scratch_files.h"

#include <cstdio>
#include <cstring>

namespace {

// Reads exactly `count` leading bytes; a file that cannot be opened or is too
// short ends the run.
void getFirstBytes(const std::string& path, unsigned char* bytes, size_t count)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        std::printf("Error: Cannot open file: %s\n", path.c_str());
        endProcess(kExitFatal);
    }
    size_t got = std::fread(bytes, 1, count, file);
    std::fclose(file);
    if (got != count) {
        std::printf("Error: getFirstBytes: Cannot read from file");
        endProcess(kExitIoError);
    }
}

[[noreturn]] void refuseDimensions(const std::string& path, int64_t width, int64_t height)
{
    std::printf("Unsupported image file %s: dimensions %lldx%lld out of range\n", path.c_str(),
                static_cast<long long>(width), static_cast<long long>(height));
    endProcess(kExitIoError);
}

void checkDimensions(const std::string& path, int64_t width, int64_t height)
{
    if (width < 1 || height < 1 || width * height > kMaxImagePixels)
        refuseDimensions(path, width, height);
}

} // namespace

int isNamedImageFile(const std::string& path)
{
    static const char* const extensions[] = {".jpg", ".jpeg", ".JPG", ".JPEG",
                                              ".tif", ".tiff", ".TIF", ".TIFF"};
    for (const char* ext : extensions) {
        if (path.find(ext) != std::string::npos)
            return 1;
    }
    return 0;
}

int isTiffFile(const std::string& path)
{
    unsigned char b[4];
    getFirstBytes(path, b, 4);
    return (b[0] == 'I' && b[1] == 'I' && b[2] == 42 && b[3] == 0) ||
           (b[0] == 'M' && b[1] == 'M' && b[2] == 0 && b[3] == 42);
}

int isBigTiffFile(const std::string& path)
{
    unsigned char b[4];
    getFirstBytes(path, b, 4);
    return (b[0] == 'I' && b[1] == 'I' && b[2] == 43 && b[3] == 0) ||
           (b[0] == 'M' && b[1] == 'M' && b[2] == 0 && b[3] == 43);
}

int isJpegFile(const std::string& path)
{
    unsigned char b[2];
    getFirstBytes(path, b, 2);
    return b[0] == 0xFF && b[1] == 0xD8;
}

void queryImageInfo(const std::string& path, ImageRegion& region, int& bytesPerPixel, int& bitsPerSample,
                    bool acceptBigTiff)
{
    // The program's own output is a TIFF whatever its name says (e.g. "out.png"
    // in a scaled run): never hand it to the RAW converter.
    if (!acceptBigTiff && !isNamedImageFile(path)) {
        if (queryRawSize(path, region) != 0) {
            std::printf("Cannot determine RAW file dimensions\n");
            endProcess(kExitIoError);
        }
        region.x = 0;
        region.y = 0;
        checkDimensions(path, region.width, region.height);
        bytesPerPixel = 3;
        bitsPerSample = 8;
        return;
    }
    if (isJpegFile(path)) {
        int width = 0, height = 0, components = 0, bits = 8;
        if (readJpegHeader(path, width, height, components, bits) != 0) {
            std::printf("Error reading input JPEG file\n");
            endProcess(kExitIoError);
        }
        checkDimensions(path, width, height);
        region.x = 0;
        region.y = 0;
        region.width = width;
        region.height = height;
        bytesPerPixel = components;
        bitsPerSample = 8;
        return;
    }
    // BigTIFF is refused as an input but read back as the program's own file.
    if (isTiffFile(path) || ((acceptBigTiff || isInTempFolder(path)) && isBigTiffFile(path))) {
        TIFF* tiff = openTiff(path, "r");
        checkTiffReadable(tiff, path);
        readTiffRegion(tiff, region);
        // Offsets this far out could only overflow the canvas arithmetic.
        constexpr int32_t kMaxOffset = 1 << 28;
        if (region.x < -kMaxOffset || region.x > kMaxOffset || region.y < -kMaxOffset || region.y > kMaxOffset) {
            std::printf("Unsupported image file %s: position %d,%d out of range\n", path.c_str(), region.x,
                        region.y);
            endProcess(kExitIoError);
        }
        uint16_t bits = 0, samples = 0;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
        bitsPerSample = bits;
        bytesPerPixel = bits * samples / 8;
        closeTiff(tiff);
        return;
    }
    std::printf("Unknown image file format\n");
    endProcess(kExitIoError);
}
