#include "imageio/tiff_io.h"

#include "imageio/tiff_row_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace quovix {

namespace {

// Warnings about unusual but readable files are not shown; errors keep
// libtiff's own handling, except where a read is tried again.
int ignoreWarning(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

struct OpenOptions {
    // `silent`: errors not shown either (reads that are tried again).
    explicit OpenOptions(bool silent = false) : options(TIFFOpenOptionsAlloc())
    {
        if (options != nullptr)
            TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreWarning, nullptr);
        if (options != nullptr && silent)
            TIFFOpenOptionsSetErrorHandlerExtR(options, ignoreWarning, nullptr);
    }
    ~OpenOptions() { TIFFOpenOptionsFree(options); }
    TIFFOpenOptions* options;
};

// New files are opened by us rather than by libtiff so that a symbolic link
// planted at the name is refused instead of followed.
TIFF* openTiffForWriting(const std::string& path, const char* libMode)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    OpenOptions opts;
    TIFF* tiff = TIFFFdOpenExt(fd, path.c_str(), libMode, opts.options);
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

Status refuseTiff(const std::string& path, const std::string& reason)
{
    return Status::failure(kExitIoError, "Unsupported image file " + path + ": " + reason + "\n");
}

} // namespace

TIFF* openTiffQuietly(const std::string& path)
{
    OpenOptions opts;
    // "m": plain reads, not a memory map, so the pages of the many level files
    // open during a combination do not add up in memory.
    return TIFFOpenExt(path.c_str(), "rm", opts.options);
}

TIFF* openTiffSilently(const std::string& path)
{
    OpenOptions silent(true);
    return TIFFOpenExt(path.c_str(), "rm", silent.options);
}

Status openTiff(RunContext& run, const std::string& path, const char* mode, TIFF*& tiff)
{
    const bool writing = std::strcmp(mode, "w") == 0 || std::strcmp(mode, "W") == 0;
    if (writing) {
        run.console.debugLog("Opening (w): %s", path.c_str());
        tiff = openTiffForWriting(path, mode[0] == 'W' ? "w8" : "w");
    } else {
        tiff = openTiffQuietly(path);
    }
    if (tiff == nullptr)
        run.console.notice("Couldn't open TIFF file: %s", path.c_str());
    run.console.traceFileOpen(path.c_str(), mode, tiff);
    if (tiff == nullptr)
        return Status::failure(kExitIoError, std::string("Cannot open TIFF file for ") + mode + ": " + path);
    return Status();
}

void closeTiff(RunContext& run, TIFF* tiff)
{
    run.console.traceFileClose(tiff);
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

Status checkTiffReadable(TIFF* tiff, const std::string& path)
{
    uint16_t planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT, bits = 0, samples = 0, photometric = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (TIFFIsTiled(tiff))
        return refuseTiff(path, "tiled TIFF files are not supported");
    if (planar != PLANARCONFIG_CONTIG)
        return refuseTiff(path, "separate colour planes are not supported");
    if (format != SAMPLEFORMAT_UINT)
        return refuseTiff(path, "only unsigned integer samples are supported");
    if (bits != 8 && bits != 16)
        return refuseTiff(path, std::to_string(bits) + " bits per sample (8 or 16 supported)");
    if (samples != 1 && samples != 3 && samples != 4)
        return refuseTiff(path, std::to_string(samples) + " samples per pixel (1, 3 or 4 supported)");
    // Palette, CMYK, YCbCr, Lab or inverted grey samples would be taken for
    // grey or RGB values.
    if (TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) && photometric != PHOTOMETRIC_MINISBLACK &&
        photometric != PHOTOMETRIC_RGB)
        return refuseTiff(path, "photometric interpretation " + std::to_string(photometric) + " (grey or RGB supported)");
    uint32_t width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    if (width < 1 || height < 1 || static_cast<int64_t>(width) * height > kMaxImagePixels)
        return refuseTiff(path, "dimensions " + std::to_string(width) + "x" + std::to_string(height) + " out of range");
    return Status();
}

Status checkScratchLayout(TIFF* tiff, const std::string& path, int width, int samples)
{
    QVX_TRY(checkTiffReadable(tiff, path));
    uint16_t bits = 0, held = 0;
    uint32_t w = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &held);
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &w);
    if (static_cast<int64_t>(w) == width && bits == 16 && held == samples)
        return Status();
    return Status::failure(kExitIoError, "Scratch file " + path + " holds rows of " + std::to_string(w) +
                                             " pixels of " + std::to_string(held) + " " + std::to_string(bits) +
                                             "-bit samples instead of " + std::to_string(width) + " of " +
                                             std::to_string(samples) + " 16-bit: changed since it was written\n");
}

Status readTiffRow(TIFF* tiff, void* row, int rowIndex)
{
    if (TIFFReadScanline(tiff, row, static_cast<uint32_t>(rowIndex), 0) == -1)
        return Status::failure(kExitIoError, "Error reading scanline " + std::to_string(rowIndex) + "\n");
    return Status();
}

namespace {

// The layout a row reader depends on.
bool sameRowLayout(TIFF* a, TIFF* b)
{
    auto tag32 = [](TIFF* t, uint32_t tag) {
        uint32_t v = 0;
        TIFFGetFieldDefaulted(t, tag, &v);
        return v;
    };
    auto tag16 = [](TIFF* t, uint32_t tag) {
        uint16_t v = 0;
        TIFFGetFieldDefaulted(t, tag, &v);
        return v;
    };
    return tag32(a, TIFFTAG_IMAGEWIDTH) == tag32(b, TIFFTAG_IMAGEWIDTH) &&
           tag32(a, TIFFTAG_IMAGELENGTH) == tag32(b, TIFFTAG_IMAGELENGTH) &&
           tag32(a, TIFFTAG_ROWSPERSTRIP) == tag32(b, TIFFTAG_ROWSPERSTRIP) &&
           tag16(a, TIFFTAG_BITSPERSAMPLE) == tag16(b, TIFFTAG_BITSPERSAMPLE) &&
           tag16(a, TIFFTAG_SAMPLESPERPIXEL) == tag16(b, TIFFTAG_SAMPLESPERPIXEL) &&
           tag16(a, TIFFTAG_PLANARCONFIG) == tag16(b, TIFFTAG_PLANARCONFIG) &&
           TIFFIsTiled(a) == TIFFIsTiled(b) && TIFFNumberOfStrips(a) == TIFFNumberOfStrips(b);
}

// Decodes the strips of a striped file on the workers, each with a handle of
// its own, in runs of whole strips (one-row strips grouped). False when the
// file does not lend itself to it or anything fails: the caller then reads
// it row by row.
bool readStripsInParallel(WorkerPool& pool, const std::string& path, TIFF* tiff, unsigned char* rows, size_t rowBytes)
{
    TiffRowReader probe(tiff);
    const uint32_t strips = TIFFNumberOfStrips(tiff);
    const int jobs = static_cast<int>(std::min<uint32_t>(static_cast<uint32_t>(pool.workers()), strips));
    if (!probe.decodesStrips() || jobs < 2)
        return false;
    uint32_t height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    const uint32_t stripRows = probe.rowsPerStrip();
    const Status status = pool.run(jobs, [&](int job) -> Status {
        const uint32_t first = static_cast<uint32_t>(static_cast<uint64_t>(strips) * job / jobs) * stripRows;
        const uint32_t end = std::min<uint64_t>(
            static_cast<uint64_t>(static_cast<uint64_t>(strips) * (job + 1) / jobs) * stripRows, height);
        TIFF* own = openTiffSilently(path);
        if (own == nullptr)
            return Status::failure(kExitIoError, "");
        Status result;
        if (!sameRowLayout(tiff, own)) {
            result = Status::failure(kExitIoError, "");
        } else {
            TiffRowReader reader(own);
            for (uint32_t r = first; result.ok() && r < end; ++r)
                result = reader.readRow(rows + static_cast<size_t>(r) * rowBytes, static_cast<int>(r));
        }
        TIFFClose(own);
        return result;
    });
    return status.ok();
}

// The pixels of an open file, checked against its classification.
Status readTiffPixels(WorkerPool& pool, const std::string& path, TIFF* tiff, const ImageInfo& expected, void* buffer)
{
    QVX_TRY(checkTiffReadable(tiff, path));
    ImageRegion region;
    readTiffRegion(tiff, region);
    uint16_t bits = 0, samples = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    const int bytesPerPixel = bits * samples / 8;
    // The buffer was sized from the classification; a file replaced since
    // then must not be read into it.
    if (expected.known &&
        (region.width != expected.region.width || region.height != expected.region.height ||
         bytesPerPixel != expected.bytesPerPixel))
        return Status::failure(kExitIoError, "Image file " + path + " has changed since it was opened\n");
    const size_t rowBytes = static_cast<size_t>(bytesPerPixel) * static_cast<size_t>(region.width);
    unsigned char* rows = static_cast<unsigned char*>(buffer);
    // Any failure of the parallel read is met again by the plain one, which
    // reports it row by row as it always has.
    if (readStripsInParallel(pool, path, tiff, rows, rowBytes))
        return Status();
    for (int32_t i = 0; i < region.height; ++i)
        QVX_TRY(readTiffRow(tiff, rows + static_cast<size_t>(i) * rowBytes, i));
    return Status();
}

} // namespace

Status readTiffImage(RunContext& run, const std::string& path, const ImageInfo& expected, void* buffer)
{
    TIFF* tiff = nullptr;
    QVX_TRY(openTiff(run, path, "r", tiff));
    const Status status = readTiffPixels(run.pool, path, tiff, expected, buffer);
    closeTiff(run, tiff);
    return status;
}

Status readTiffImageSilently(WorkerPool& pool, const std::string& path, const ImageInfo& expected, void* buffer)
{
    OpenOptions silent(true);
    TIFF* tiff = TIFFOpenExt(path.c_str(), "rm", silent.options);
    if (tiff == nullptr)
        return Status::failure(kExitIoError, "Cannot open TIFF file for r: " + path);
    const Status status = readTiffPixels(pool, path, tiff, expected, buffer);
    TIFFClose(tiff);
    return status;
}

} // namespace quovix
