#include "imageio/image_reader.h"

#include "imageio/file_format.h"
#include "imageio/jpeg_io.h"
#include "imageio/png_io.h"
#include "imageio/raw_engine.h"
#include "imageio/raw_options.h"
#include "imageio/tiff_io.h"

#include <sys/stat.h>

#include <jpeglib.h>

namespace quovix {

namespace {

Status refuse(const std::string& path, const std::string& reason)
{
    return Status::failure(kExitIoError, "Unsupported image file " + path + ": " + reason + "\n");
}

// The most a codec can expand its data: a file whose strips hold fewer bytes
// than its pixels need at that ratio cannot be whole (a tiny file declaring a
// huge image would otherwise cost a canvas-sized allocation first).
uint64_t bestCompressionRatio(uint16_t compression)
{
    switch (compression) {
    case COMPRESSION_NONE: return 1;
    case COMPRESSION_PACKBITS: return 64;       // 2 bytes repeat a byte 128 times
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE: return 1100;      // deflate's limit is about 1032:1
    case COMPRESSION_LZW: return 2731;          // a 12-bit code yields at most 4096 bytes
    default: return 1000000;                    // other codecs: only absurd claims are refused
    }
}

// Every strip present and inside the file, and enough data for the size.
Status checkTiffData(TIFF* tiff, const std::string& path)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0)
        return refuse(path, "cannot be examined");
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    uint32_t width = 0, height = 0, rowsPerStrip = 0;
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    if (rowsPerStrip == 0 || rowsPerStrip > height)
        rowsPerStrip = height;
    const uint64_t rowBytes = static_cast<uint64_t>(TIFFScanlineSize64(tiff));
    const uint32_t strips = TIFFNumberOfStrips(tiff);
    const uint64_t needed = (static_cast<uint64_t>(height) + rowsPerStrip - 1) / rowsPerStrip;
    if (rowBytes == 0 || strips < needed)
        return refuse(path, "image data missing");
    const uint64_t ratio = bestCompressionRatio(compression);
    uint64_t stored = 0;
    for (uint32_t strip = 0; strip < needed; ++strip) {
        int error = 0;
        const uint64_t offset = TIFFGetStrileOffsetWithErr(tiff, strip, &error);
        const uint64_t count = error == 0 ? TIFFGetStrileByteCountWithErr(tiff, strip, &error) : 0;
        if (error != 0 || count == 0)
            return refuse(path, "strip " + std::to_string(strip) + " missing");
        if (offset > fileSize || count > fileSize - offset)
            return refuse(path, "strip " + std::to_string(strip) + " lies outside the file");
        const uint64_t rows = std::min<uint64_t>(rowsPerStrip, height - static_cast<uint64_t>(strip) * rowsPerStrip);
        if (count * ratio < rows * rowBytes)
            return refuse(path, "strip " + std::to_string(strip) + " too short for " + std::to_string(width) + "x" +
                                    std::to_string(height) + " pixels (truncated or damaged)");
        stored += count;
    }
    (void)stored;
    return Status();
}

// The entropy-coded data of a Huffman JPEG spends at least one bit on the DC
// value of every block of its full-resolution component; arithmetic coding
// can go lower, so it is given a 64 times smaller floor. A file too small for
// its declared size is truncated or forged.
Status checkJpegData(const std::string& path, int width, int height, bool arithmetic)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0)
        return refuse(path, "cannot be examined");
    const uint64_t blocks = ((static_cast<uint64_t>(width) + 7) / 8) * ((static_cast<uint64_t>(height) + 7) / 8);
    const uint64_t minimumBytes = blocks / (arithmetic ? 512 : 8);
    if (static_cast<uint64_t>(st.st_size) < minimumBytes)
        return refuse(path, "file too small for " + std::to_string(width) + "x" + std::to_string(height) +
                                " pixels (truncated or damaged)");
    return Status();
}

Status refuseDimensions(const std::string& path, int64_t width, int64_t height)
{
    return Status::failure(kExitIoError, "Unsupported image file " + path + ": dimensions " + std::to_string(width) +
                                             "x" + std::to_string(height) + " out of range\n");
}

Status checkDimensions(const std::string& path, int64_t width, int64_t height)
{
    if (width < 1 || height < 1 || width * height > kMaxImagePixels)
        return refuseDimensions(path, width, height);
    return Status();
}

Status queryTiff(RunContext& run, const std::string& path, FileFormat format, ImageInfo& info)
{
    TIFF* tiff = nullptr;
    QVX_TRY(openTiff(run, path, "r", tiff));
    Status status = checkTiffReadable(tiff, path);
    ImageRegion region;
    readTiffRegion(tiff, region);
    // Offsets this far out could only overflow the canvas arithmetic.
    constexpr int32_t kMaxOffset = 1 << 28;
    if (status.ok() &&
        (region.x < -kMaxOffset || region.x > kMaxOffset || region.y < -kMaxOffset || region.y > kMaxOffset))
        status = Status::failure(kExitIoError, "Unsupported image file " + path + ": position " +
                                                   std::to_string(region.x) + "," + std::to_string(region.y) +
                                                   " out of range\n");
    // The TIFF position tags are unsigned; a negative offset cannot be written
    // back into the scratch and output files.
    if (status.ok() && (region.x < 0 || region.y < 0))
        status = refuse(path, "negative position " + std::to_string(region.x) + "," + std::to_string(region.y));
    if (status.ok())
        status = checkTiffData(tiff, path);
    uint16_t bits = 0, samples = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    closeTiff(run, tiff);
    QVX_TRY(status);
    info.known = true;
    info.format = format;
    info.region = region;
    info.bitsPerSample = bits;
    info.bytesPerPixel = bits * samples / 8;
    return Status();
}

} // namespace

Status queryImageInfo(RunContext& run, const std::string& path, ImageInfo& info, bool acceptBigTiff)
{
    info = ImageInfo();
    // A pipe, device or folder would block the reader or the converter.
    struct stat st{};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return refuse(path, "not a regular file");
    // The program's own output is a TIFF whatever its name says: never hand
    // it to the RAW converter.
    FileFormat format = FileFormat::Unknown;
    QVX_TRY(acceptBigTiff ? detectFormat(path, format) : classifyInput(path, format));
    if (format == FileFormat::Raw) {
        ImageRegion region;
        QVX_TRY(queryRawOutputSize(run, path, region));
        region.x = 0;
        region.y = 0;
        // The converter's -h makes a half-size image; the canvas is made for
        // the image that will be read, not for the sensor's full size (which
        // would leave the picture in one corner of an empty canvas).
        if (!decodedInProcess(run, path) && run.settings.converterArgs.find("-h") != std::string::npos) {
            region.width = (region.width + 1) / 2;
            region.height = (region.height + 1) / 2;
        }
        QVX_TRY(checkDimensions(path, region.width, region.height));
        info.known = true;
        info.format = FileFormat::Raw;
        info.region = region;
        info.bitsPerSample = rawOutputBits(run.settings.converterArgs);
        info.bytesPerPixel = 3 * info.bitsPerSample / 8;
        return Status();
    }
    if (format == FileFormat::Jpeg) {
        int width = 0, height = 0, components = 0;
        bool arithmetic = false;
        QVX_TRY(readJpegHeader(run.console, path, width, height, components, &arithmetic));
        QVX_TRY(checkDimensions(path, width, height));
        QVX_TRY(checkJpegData(path, width, height, arithmetic));
        info.known = true;
        info.format = format;
        info.region = ImageRegion{0, 0, width, height};
        info.bytesPerPixel = components;
        info.bitsPerSample = 8;
        return Status();
    }
    if (format == FileFormat::Png) {
        QVX_TRY(readPngHeader(path, info));
        return checkDimensions(path, info.region.width, info.region.height);
    }
    // BigTIFF is refused as an input but read back as the program's own file.
    if (format == FileFormat::Tiff ||
        (format == FileFormat::BigTiff && (acceptBigTiff || run.scratch.isInTempFolder(path))))
        return queryTiff(run, path, format, info);
    return Status::failure(kExitIoError, "Unknown image file format\n");
}

Status readImage(RunContext& run, const std::string& path, const ImageInfo& info, void* buffer)
{
    switch (info.format) {
    case FileFormat::Jpeg:
        return readJpeg(run.console, path, info, buffer);
    case FileFormat::Png:
        return readPng(path, info, buffer);
    case FileFormat::Tiff:
    case FileFormat::BigTiff:
        return readTiffImage(run, path, info, buffer);
    default:
        return Status::failure(kExitIoError, "Unknown image file format\n");
    }
}

} // namespace quovix
