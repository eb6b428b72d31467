#include "imageio/tiff_io.h"

#include "imageio/tiff_strips.h"
#include "support/memory.h"

#include <cerrno>
#include <cstring>

namespace quovix {

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

Status writeFailed(const std::string& path, int err)
{
    std::string text = "Cannot write TIFF file " + path;
    if (err != 0)
        text += std::string(": ") + std::strerror(err);
    return Status::writeFailure(path, text + "\n");
}

} // namespace

void writeTiffPosition(TIFF* tiff, const ImageRegion& r)
{
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 300.0);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 300.0);
    float x = static_cast<float>(r.x) / 300.0f;
    float y = static_cast<float>(r.y) / 300.0f;
    TIFFSetField(tiff, TIFFTAG_XPOSITION, static_cast<double>(x));
    TIFFSetField(tiff, TIFFTAG_YPOSITION, static_cast<double>(y));
}

bool setTiffIccTag(TIFF* tiff, const std::vector<unsigned char>& profile)
{
    return profile.size() <= UINT32_MAX &&
           TIFFSetField(tiff, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(profile.size()), profile.data()) == 1;
}

void writeTiffTags(RunContext& run, TIFF* tiff, const TiffLayout& layout)
{
    const int samples = samplesOf(layout.bytesPerPixel);
    const int bits = bitsOf(layout.bytesPerPixel);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 32);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, samples == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bits);
    run.console.debugLog("setTiffSamplesPerPixel: %d", samples);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
    if (samples == 4) {
        uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    run.console.debugLog("Setting dimensions: %dx%d", layout.width, layout.height);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, layout.height);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, layout.width);
    writeTiffPosition(tiff, layout.position);
    if (!layout.description.empty())
        TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, layout.description.c_str());
    if (layout.iccProfile != nullptr && !layout.iccProfile->empty())
        (void)setTiffIccTag(tiff, *layout.iccProfile);
    if (layout.software != nullptr)
        TIFFSetField(tiff, TIFFTAG_SOFTWARE, layout.software);
    const int code = layout.scratch && run.settings.scratchCompression
                         ? static_cast<int>(*run.settings.scratchCompression)
                         : run.settings.tiffCompression();
    if (code != COMPRESSION_NONE) {
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, code);
        // DEFLATE is stored under its code 32946 (COMPRESSION_DEFLATE), not the Adobe code 8.
        if (layout.predictorAllowed && bits == 8 && (code == COMPRESSION_LZW || code == COMPRESSION_DEFLATE))
            TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    }
}

namespace {

// Strips are filled, compressed and written on the run's workers; the file is
// byte for byte what the row-by-row writer makes. Returns false when the
// layout is one the strip writer does not reproduce (nothing is written then).
bool writeStrips(RunContext& run, TIFF* tiff, const std::string& path, const RowFill& fill, Status& status)
{
    StripWriteOptions options;
    options.workers = run.pool.workers();
    // The writer's bodies catch what their strips throw; a failure of the pool
    // itself still fails the file, never leaves it reported as written.
    Status poolStatus;
    options.parallelFor = [&run, &poolStatus](int count, const std::function<void(int)>& body) {
        poolStatus = run.pool.run(count, [&body](int i) {
            body(i);
            return Status();
        });
    };
    const StripWriteResult result = writeStripsParallel(
        tiff, [&fill](uint32_t y0, uint32_t y1, uint8_t* out) { fill(static_cast<int>(y0), static_cast<int>(y1 - y0), out); },
        options);
    if (result.status == StripWriteStatus::Unsupported)
        return false;
    if (result.outOfMemory) {
        run.console.notice("Error allocating the strip buffers of %s\n", path.c_str());
        status = outOfMemory();
        return true;
    }
    if (!poolStatus.ok()) {
        status = poolStatus;
        return true;
    }
    if (result.status == StripWriteStatus::Failed) {
        run.console.notice("Error writing scanline %d\n", static_cast<int>(result.failedRow));
        status = writeFailed(path, result.systemError);
    }
    return true;
}

} // namespace

Status writeTiffRows(RunContext& run, const std::string& path, const TiffLayout& layout, const RowFill& fill,
                     size_t rowBufferBytes)
{
    TIFF* tiff = nullptr;
    QVX_TRY(openTiff(run, path, run.settings.bigTiff ? "W" : "w", tiff));
    writeTiffTags(run, tiff, layout);
    // A traced run keeps the row-by-row writer, whose row buffer the trace shows.
    if (!run.console.tracing()) {
        Status status;
        if (writeStrips(run, tiff, path, fill, status)) {
            closeTiff(run, tiff);
            return status;
        }
    }
    const size_t rowBytes = static_cast<size_t>(layout.width) * static_cast<size_t>(layout.bytesPerPixel);
    HeapBuffer<uint8_t> row;
    Status status = row.allocate(run.console, rowBufferBytes > rowBytes ? rowBufferBytes : rowBytes);
    int failedRow = -1;
    for (int i = 0; status.ok() && i < layout.height; ++i) {
        fill(i, 1, row.get());
        errno = 0;
        if (TIFFWriteScanline(tiff, row.get(), static_cast<uint32_t>(i), 0) == -1)
            failedRow = i;
        if (failedRow >= 0)
            break;
    }
    // libtiff writes the last strip and the directory only when flushed; a
    // failure there (a full disk) would otherwise leave a short file reported
    // as written.
    if (status.ok() && failedRow < 0 && layout.height > 0) {
        errno = 0;
        if (TIFFFlush(tiff) == 0)
            failedRow = layout.height - 1;
    }
    if (failedRow >= 0) {
        const int err = errno;
        run.console.notice("Error writing scanline %d\n", failedRow);
        status = writeFailed(path, err);
    }
    closeTiff(run, tiff);
    return status;
}

Status writeTiffImage(RunContext& run, const std::string& path, const void* buffer, const TiffLayout& layout)
{
    const size_t rowBytes = static_cast<size_t>(layout.width) * static_cast<size_t>(layout.bytesPerPixel);
    const uint8_t* source = static_cast<const uint8_t*>(buffer);
    return writeTiffRows(run, path, layout, [&](int firstRow, int rowCount, uint8_t* out) {
        std::memcpy(out, source + static_cast<size_t>(firstRow) * rowBytes, rowBytes * static_cast<size_t>(rowCount));
    });
}

} // namespace quovix
