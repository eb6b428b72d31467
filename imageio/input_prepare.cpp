#include "imageio/input_prepare.h"

#include "imageio/file_format.h"
#include "imageio/icc_profile.h"
#include "imageio/jpeg_io.h"
#include "imageio/png_io.h"
#include "imageio/preview_cache.h"
#include "imageio/image_reader.h"
#include "imageio/raw_convert.h"
#include "imageio/raw_engine.h"
#include "imageio/tiff_io.h"
#include "support/memory.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace quovix {

namespace {

// An image can be moved in place onto the target only when it starts inside it
// and is no larger; rounding of scaled offsets may still push its last column
// or row one past the far edge, which placement clips.
bool fitsTarget(const ImageRegion& image, const ImageRegion& target)
{
    return image.x >= target.x && image.y >= target.y && image.width <= target.width &&
           image.height <= target.height && image.width >= 0 && image.height >= 0;
}

Status failPlacement(Console& console, const std::string& path, const ImageRegion& image, const ImageRegion& target)
{
    console.notice("Image %s (%dx%d+%d+%d) does not fit on the canvas (%dx%d+%d+%d)\n", path.c_str(), image.width,
                   image.height, image.x, image.y, target.width, target.height, target.x, target.y);
    return fatalError("Image does not fit on the canvas");
}

} // namespace

Status checkConvertedRaw(Console& console, const std::string& scratch, const ImageRegion& expected, bool halfSize,
                         int expectedBits, ImageInfo& converted)
{
    TIFF* tiff = openTiffQuietly(scratch);
    if (tiff == nullptr)
        return Status::failure(kExitIoError, "Cannot open TIFF file for r: " + scratch);
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFClose(tiff);
    bool sizeOk = halfSize ? (width <= static_cast<uint32_t>(expected.width) &&
                              height <= static_cast<uint32_t>(expected.height))
                           : (width == static_cast<uint32_t>(expected.width) &&
                              height == static_cast<uint32_t>(expected.height));
    if (bits != expectedBits || samples != 3 || !sizeOk) {
        console.notice("RAW converter wrote %ux%u with %u samples of %u bits; expected %dx%d %d-bit RGB\n", width,
                       height, samples, bits, expected.width, expected.height, expectedBits);
        return fatalError("Unexpected RAW conversion output", kExitIoError);
    }
    converted.known = true;
    converted.format = FileFormat::Tiff;
    converted.region = ImageRegion{0, 0, static_cast<int32_t>(width), static_cast<int32_t>(height)};
    converted.bytesPerPixel = 3 * expectedBits / 8;
    converted.bitsPerSample = expectedBits;
    return Status();
}

namespace {

// Moves a packed image to its place inside the target layout. Rows are walked
// from the last to the first so that no packed pixel is overwritten before it
// has moved (a placed offset is never below its packed offset). Packed bytes
// that no placed pixel covers are cleared.
void placeOnTarget(uint8_t* buffer, const ImageRegion& image, const ImageRegion& target, int bytesPerPixel)
{
    const int64_t bpp = bytesPerPixel;
    const int64_t rowBytes = static_cast<int64_t>(image.width) * bpp;
    const int64_t dx = static_cast<int64_t>(image.x) - target.x;
    const int64_t keepColumns = std::min<int64_t>(image.width, target.width - dx);
    for (int64_t row = static_cast<int64_t>(image.height) - 1; row >= 0; --row) {
        const int64_t placedRow = static_cast<int64_t>(image.y) - target.y + row;
        const int64_t packed = row * rowBytes;
        const int64_t placed = (placedRow * target.width + dx) * bpp;
        const int64_t keep = (placedRow < target.height && keepColumns > 0) ? keepColumns * bpp : 0;
        if (keep > 0 && placed != packed)
            std::memmove(buffer + placed, buffer + packed, static_cast<size_t>(keep));
        if (placed == packed && keep == rowBytes)
            continue;
        // Clear [packed, packed + rowBytes) except what the move just wrote.
        const int64_t end = packed + rowBytes;
        const int64_t keptBegin = keep > 0 ? placed : end;
        const int64_t keptEnd = keep > 0 ? placed + keep : end;
        const int64_t headEnd = std::min(end, keptBegin);
        if (headEnd > packed)
            std::memset(buffer + packed, 0, static_cast<size_t>(headEnd - packed));
        const int64_t tailBegin = std::max(packed, keptEnd);
        if (end > tailBegin)
            std::memset(buffer + tailBegin, 0, static_cast<size_t>(end - tailBegin));
    }
}

// Copies the part of a packed image that lies on the target, packed at its
// cropped width. Needed when rounding of a scaled size, or a half-size RAW
// conversion, leaves the image a pixel larger than the scaled canvas.
ImageRegion copyCropped(uint8_t* destination, const uint8_t* source, const ImageRegion& image,
                        const ImageRegion& target, int bytesPerPixel)
{
    const int64_t left = std::max<int64_t>(image.x, target.x);
    const int64_t top = std::max<int64_t>(image.y, target.y);
    const int64_t right = std::min<int64_t>(static_cast<int64_t>(image.x) + image.width,
                                            static_cast<int64_t>(target.x) + target.width);
    const int64_t bottom = std::min<int64_t>(static_cast<int64_t>(image.y) + image.height,
                                             static_cast<int64_t>(target.y) + target.height);
    ImageRegion cropped{static_cast<int32_t>(left), static_cast<int32_t>(top), 0, 0};
    if (right <= left || bottom <= top)
        return cropped;
    cropped.width = static_cast<int32_t>(right - left);
    cropped.height = static_cast<int32_t>(bottom - top);
    const size_t bpp = static_cast<size_t>(bytesPerPixel);
    for (int64_t row = 0; row < cropped.height; ++row) {
        const int64_t sourceRow = top - image.y + row;
        std::memcpy(destination + static_cast<size_t>(row) * static_cast<size_t>(cropped.width) * bpp,
                    source + (static_cast<size_t>(sourceRow) * static_cast<size_t>(image.width) +
                              static_cast<size_t>(left - image.x)) * bpp,
                    static_cast<size_t>(cropped.width) * bpp);
    }
    return cropped;
}

} // namespace

bool layoutMatches(int bytesPerPixel, int bitsPerSample)
{
    switch (bytesPerPixel) {
    case 1: case 3: case 4: return bitsPerSample == 8;
    case 2: case 6: case 8: return bitsPerSample == 16;
    default: return false;
    }
}

void scaleRegion(ImageRegion& region, float factor)
{
    auto scaleOne = [factor](int32_t value) {
        float product = static_cast<float>(value) * factor;
        double rounded = product < 0.0f ? product - 0.49999999 : product + 0.49999999;
        return static_cast<int32_t>(rounded);
    };
    region.width = scaleOne(region.width);
    region.height = scaleOne(region.height);
    region.x = scaleOne(region.x);
    region.y = scaleOne(region.y);
}

Status shrinkImage(void* buffer, int bytesPerPixel, int srcWidth, int srcHeight, int dstWidth, int dstHeight)
{
    const float stepX = static_cast<float>(srcWidth) / static_cast<float>(dstWidth);
    const float stepY = static_cast<float>(srcHeight) / static_cast<float>(dstHeight);
    if (stepX < 1.0f || stepY < 1.0f)
        return fatalError("resizeImage Error!");
    uint8_t* pixels = static_cast<uint8_t*>(buffer);
    const size_t bpp = static_cast<size_t>(bytesPerPixel);
    for (int i = 0; i < dstHeight; ++i) {
        const int64_t srcRow = std::min(static_cast<int64_t>(static_cast<float>(i) * stepY),
                                        static_cast<int64_t>(srcHeight) - 1);
        const uint8_t* srcLine = pixels + static_cast<size_t>(srcRow) * static_cast<size_t>(srcWidth) * bpp;
        uint8_t* dstLine = pixels + static_cast<size_t>(i) * static_cast<size_t>(dstWidth) * bpp;
        for (int j = 0; j < dstWidth; ++j) {
            const int64_t srcCol = std::min(static_cast<int64_t>(static_cast<float>(j) * stepX),
                                            static_cast<int64_t>(srcWidth) - 1);
            const uint8_t* from = srcLine + static_cast<size_t>(srcCol) * bpp;
            uint8_t* to = dstLine + static_cast<size_t>(j) * bpp;
            if (from != to)
                std::memmove(to, from, bpp);
        }
    }
    return Status();
}

Status readOntoCanvasSilently(WorkerPool& pool, const std::string& path, const ImageInfo& info, void* destination,
                              const ImageRegion& target)
{
    if (!info.known || !fitsTarget(info.region, target))
        return fatalError("Image does not fit on the canvas");
    if (info.format == FileFormat::Jpeg) {
        Console quiet;
        QVX_TRY(readJpeg(quiet, path, info, destination));
    } else if (info.format == FileFormat::Tiff || info.format == FileFormat::BigTiff) {
        QVX_TRY(readTiffImageSilently(pool, path, info, destination));
    } else if (info.format == FileFormat::Png) {
        QVX_TRY(readPng(path, info, destination));
    } else {
        return Status::failure(kExitIoError, "Unknown image file format\n");
    }
    const ImageRegion& region = info.region;
    if (static_cast<int64_t>(target.width) * target.height != static_cast<int64_t>(region.width) * region.height ||
        target.x != region.x || target.y != region.y)
        placeOnTarget(static_cast<uint8_t*>(destination), region, target, info.bytesPerPixel);
    return Status();
}

namespace {

// One input being read onto its target: what the steps of prepareInput share.
struct InputRead {
    RunContext& run;
    const std::string& path;
    ImageInfo& info;
    void* destination;
    const ImageRegion* target;  // null: the image's own size
    int stops;
    ImageRegion region;         // where the pixels read so far lie
    int bytesPerPixel = 0;      // and their stored layout

    // Whether reading straight into the destination would overrun it.
    bool overruns(const uint8_t* work) const
    {
        return work == destination && target != nullptr && !fitsTarget(region, *target);
    }
};

// A valid cache read onto the target, unless it no longer fits there (left by
// an earlier run over a since-changed input): it is then made again instead
// of overrunning the buffer.
Status readCache(InputRead& read, const CacheEntry& cache, bool& hit)
{
    read.run.console.print("<");
    ImageInfo cached;
    QVX_TRY(queryImageInfo(read.run, cache.path, cached));
    read.region = cached.region;
    read.bytesPerPixel = cached.bytesPerPixel;
    hit = read.target == nullptr || fitsTarget(read.region, *read.target);
    if (hit)
        QVX_TRY(readImage(read.run, cache.path, cached, read.destination));
    return Status();
}

// A RAW input decoded by LibRaw into `work`.
Status decodeInProcess(InputRead& read, uint8_t* work)
{
    RunContext& run = read.run;
    if (read.overruns(work))
        return failPlacement(run.console, read.path, read.region, *read.target);
    // A RAW first input gives the output the decoder's colour profile.
    const bool takeProfile = run.profileFromConversion && read.path == run.metadataSource;
    std::vector<unsigned char> profile;
    QVX_TRY(decodeRawInProcess(run, read.path, read.info, read.stops, work, takeProfile ? &profile : nullptr));
    if (takeProfile) {
        run.outputProfile = std::move(profile);
        run.profileFromConversion = false;
    }
    return Status();
}

// A RAW input converted by the external converter into a scratch TIFF, read
// into `work`; the scratch file goes whatever the outcome.
Status decodeByConverter(InputRead& read, uint8_t* work)
{
    RunContext& run = read.run;
    QVX_TRY(run.scratch.ensureRunFolder());
    const std::string scratch = run.scratch.scratchName(read.path, "raw", 0);
    QVX_TRY(convertRaw(run, read.path, scratch, read.stops));
    const bool halfSize = run.settings.converterArgs.find("-h") != std::string::npos;
    ImageInfo converted;
    Status status = checkConvertedRaw(run.console, scratch, read.region, halfSize, read.info.bitsPerSample, converted);
    if (status.ok() && halfSize) {
        status = queryImageInfo(run, scratch, converted);
        read.region = converted.region;
        read.bytesPerPixel = converted.bytesPerPixel;
        if (status.ok() && run.settings.verbosity > 0)
            run.console.print("%s : Region: wxh=%dx%d+%d+%d\n", "TIFF generated from DCRaw", read.region.width,
                              read.region.height, read.region.x, read.region.y);
    }
    if (status.ok() && read.overruns(work))
        status = failPlacement(run.console, read.path, read.region, *read.target);
    if (status.ok())
        status = readImage(run, scratch, converted, work);
    // A RAW first input gives the output the converter's colour profile.
    if (status.ok() && run.profileFromConversion && read.path == run.metadataSource) {
        if (!readIccProfile(scratch, run.outputProfile).ok())
            run.outputProfile.clear();
        run.profileFromConversion = false;
    }
    std::remove(scratch.c_str());
    return status;
}

// The input itself (not a cache) read into `work`.
Status readStored(InputRead& read, bool raw, uint8_t* work)
{
    if (raw && decodedInProcess(read.run, read.path))
        return decodeInProcess(read, work);
    if (raw)
        return decodeByConverter(read, work);
    if (read.overruns(work))
        return failPlacement(read.run.console, read.path, read.region, *read.target);
    return readImage(read.run, read.path, read.info, work);
}

// The input read and, below full scale, shrunk (and cached when asked) in a
// buffer of its own, then moved onto the destination.
Status readUncached(InputRead& read, bool raw, float scale, bool useCache, const CacheEntry& cache)
{
    RunContext& run = read.run;
    if (!read.info.known)
        QVX_TRY(queryImageInfo(run, read.path, read.info));
    read.region = read.info.region;
    read.bytesPerPixel = read.info.bytesPerPixel;
    PageBuffer<uint8_t> shrinkBuffer;
    if (scale < 1.0f)
        QVX_TRY(shrinkBuffer.allocate(run.console, static_cast<size_t>(read.region.width) *
                                                       static_cast<size_t>(read.region.height) *
                                                       static_cast<size_t>(read.bytesPerPixel)));
    uint8_t* work = scale < 1.0f ? shrinkBuffer.get() : static_cast<uint8_t*>(read.destination);
    QVX_TRY(readStored(read, raw, work));

    if (scale < 1.0f) {
        ImageRegion scaled = read.region;
        scaleRegion(scaled, scale);
        QVX_TRY(shrinkImage(work, read.bytesPerPixel, read.region.width, read.region.height, scaled.width,
                            scaled.height));
        if (useCache) {
            run.console.print(">");
            QVX_TRY(writeCache(run, cache, work, TiffLayout{scaled.width, scaled.height, read.bytesPerPixel, scaled}));
        }
        read.region = scaled;
    }
    if (work != read.destination) {
        if (read.target != nullptr && !fitsTarget(read.region, *read.target)) {
            read.region = copyCropped(static_cast<uint8_t*>(read.destination), work, read.region, *read.target,
                                      read.bytesPerPixel);
        } else {
            std::memcpy(read.destination, work, static_cast<size_t>(read.region.width) *
                                                    static_cast<size_t>(read.region.height) *
                                                    static_cast<size_t>(read.bytesPerPixel));
        }
        shrinkBuffer.reset();
    }
    return Status();
}

} // namespace

Status prepareInput(RunContext& run, const std::string& path, ImageInfo info, void* destination,
                    const ImageRegion* target, int stops, float scale, bool useCache, ImageRegion* readRegion)
{
    const bool raw = info.known ? info.format == FileFormat::Raw : isRawInput(path);
    const bool cacheWanted = useCache && scale < 1.0f;
    CacheEntry cache;
    if (cacheWanted) {
        QVX_TRY(run.scratch.ensureCacheFolder());
        const float cacheStops = raw ? static_cast<float>(stops) : 0.0f;
        cache = findCache(run, run.scratch.cacheName(path, scale, cacheStops), path, scale, cacheStops, "preview");
    }
    InputRead read{run, path, info, destination, target, stops, ImageRegion(), 0};
    bool cacheHit = false;
    if (cacheWanted && cache.valid)
        QVX_TRY(readCache(read, cache, cacheHit));
    if (!cacheHit)
        QVX_TRY(readUncached(read, raw, scale, useCache, cache));

    const ImageRegion& region = read.region;
    if (readRegion != nullptr)
        *readRegion = region;
    if (target == nullptr)
        return Status();
    const int64_t targetArea = static_cast<int64_t>(target->width) * target->height;
    const int64_t imageArea = static_cast<int64_t>(region.width) * region.height;
    if (targetArea == imageArea && target->x == region.x && target->y == region.y)
        return Status();
    placeOnTarget(static_cast<uint8_t*>(destination), region, *target, read.bytesPerPixel);
    return Status();
}

void buildExposureTable(uint16_t* table, int maxValue, float stops, float gamma)
{
    const float inverseGamma = 1.0f / gamma;
    const float factor = static_cast<float>(std::pow(2.0, static_cast<double>(stops)));
    for (int i = 0; i <= maxValue; ++i) {
        const float fraction = static_cast<float>(i) / static_cast<float>(maxValue);
        const double value = std::pow(std::pow(static_cast<double>(fraction), static_cast<double>(gamma)) *
                                          static_cast<double>(factor),
                                      static_cast<double>(inverseGamma)) *
                             static_cast<double>(maxValue);
        // Truncation toward zero, clamped; NaN (degenerate gamma) counts as 0.
        int entry = 0;
        if (value >= static_cast<double>(maxValue))
            entry = maxValue;
        else if (value > 0.0)
            entry = static_cast<int>(value);
        table[i] = static_cast<uint16_t>(entry);
    }
}

Status adjustExposure(RunContext& run, const std::string& srcPath, ImageInfo info, const std::string& dstPath,
                      float stops, float scale, std::string* writtenPath)
{
    run.console.print("AdjustExposure: %s\n", srcPath.c_str());
    // A preview run's copies are cache files: reused when made from the same
    // file with the same settings, else made under the name findCache gives.
    CacheEntry cache;
    cache.path = dstPath;
    if (scale < 1.0f) {
        QVX_TRY(run.scratch.ensureCacheFolder());
        cache = findCache(run, dstPath, srcPath, scale, stops, "exposure", run.settings.gamma);
    }
    if (writtenPath != nullptr)
        *writtenPath = cache.path;
    if (cache.valid) {
        run.console.print("Adjusted exposure file (%s) already exists\n", cache.path.c_str());
        return Status();
    }

    if (!info.known)
        QVX_TRY(queryImageInfo(run, srcPath, info));
    ImageRegion region = info.region;
    const int bytesPerPixel = info.bytesPerPixel;
    const int bitsPerSample = info.bitsPerSample;
    if (!layoutMatches(bytesPerPixel, bitsPerSample)) {
        run.console.notice("Unsupported image layout: %s (%d bytes per pixel, %d bits per sample)\n", srcPath.c_str(),
                           bytesPerPixel, bitsPerSample);
        return fatalError("Unsupported image type\n").withKind(ErrorKind::Input);
    }
    const int samples = bytesPerPixel / (bitsPerSample / 8);
    const bool hasAlpha = samples == 4;
    if (scale < 1.0f)
        scaleRegion(region, scale);

    const bool raw = info.format == FileFormat::Raw;
    const size_t pixelCount = static_cast<size_t>(region.width) * static_cast<size_t>(region.height);
    PageBuffer<uint8_t> buffer;
    QVX_TRY(buffer.allocate(run.console, pixelCount * static_cast<size_t>(bytesPerPixel)));
    // The region actually read replaces the queried one: under the converter's
    // -h option a RAW source arrives at half size.
    QVX_TRY(prepareInput(run, srcPath, info, buffer.get(), nullptr, raw ? static_cast<int>(stops) : 0, scale, false,
                         &region));

    if (!raw) {
        const int maxValue = (bitsPerSample == 8) ? 255 : 65535;
        std::vector<uint16_t> table(65536);
        buildExposureTable(table.data(), maxValue, stops, run.settings.gamma);
        const size_t count = static_cast<size_t>(region.width) * static_cast<size_t>(region.height) *
                             static_cast<size_t>(samples);
        if (bitsPerSample == 8) {
            uint8_t* sample = buffer.get();
            for (size_t k = 0; k < count; ++k)
                if (!hasAlpha || (k & 3) != 3)
                    sample[k] = static_cast<uint8_t>(table[sample[k]]);
        } else {
            uint16_t* sample = reinterpret_cast<uint16_t*>(buffer.get());
            for (size_t k = 0; k < count; ++k)
                if (!hasAlpha || (k & 3) != 3)
                    sample[k] = table[sample[k]];
        }
    }

    run.console.print("AdjustExposure: Writing file: %s\n", cache.path.c_str());
    const TiffLayout layout{region.width, region.height, bytesPerPixel, region};
    if (scale < 1.0f)
        return writeCache(run, cache, buffer.get(), layout);
    return writeTiffImage(run, cache.path, buffer.get(), layout);
}

} // namespace quovix
