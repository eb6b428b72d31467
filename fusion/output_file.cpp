#include "fusion/output_file.h"

#include "analysis/work_files.h"
#include "imageio/camera_metadata.h"
#include "imageio/file_format.h"
#include "imageio/icc_profile.h"
#include "imageio/image_reader.h"
#include "imageio/jpeg_io.h"
#include "imageio/png_io.h"
#include "imageio/tiff_io.h"
#include "imageio/tiff_row_reader.h"
#include "support/file_ops.h"
#include "support/memory.h"
#include "quovix/version.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quovix {

namespace {

Status outputWriteFailure(const std::string& path, int err)
{
    return Status::failure(kExitIoError, "Error writing output file " + path + ": " + std::strerror(err) + "\n",
                           ErrorKind::Output);
}

// Outputs named PNG or JPEG (and preview runs, which write JPEG unless
// named PNG) are re-encoded from the finished TIFF at the end: metadata goes
// into the encoded file then, not into the TIFF first.
enum class Export { None, Jpeg, Png };

Export exportOf(const RunSettings& settings)
{
    if (hasPngExtension(settings.outputPath))
        return Export::Png;
    if (settings.scaled || hasJpegExtension(settings.outputPath))
        return Export::Jpeg;
    return Export::None;
}

Status exportAs(FusionRun& run, Export kind, const std::string& source, const std::string& target)
{
    return kind == Export::Png ? exportAsPng(run, source, target) : exportAsJpeg(run, source, target);
}

// Camera metadata of the first input into a finished file that is not yet in
// place. Metadata is an extra: a failure costs a warning, never the run. The
// camera metadata library cannot write BigTIFF; those outputs keep the
// colour profile only.
void copyMetadataInto(FusionRun& run, const std::string& target)
{
    if (run.settings.noMetadata || run.metadataSource.empty())
        return;
    FileFormat format = FileFormat::Unknown;
    if (detectFormat(target, format).ok() && format == FileFormat::BigTiff)
        return;
    const MetadataStatus status = copyCameraMetadata(run.metadataSource, target, QUOVIX_VERSION);
    if (!status.ok() && status.error != MetadataError::Unsupported)
        run.console.warn("camera metadata not copied (%s)", status.detail.c_str());
    if (status.ok() && !status.note.empty())
        run.console.warn("%s", status.note.c_str());
}

// Results name their software and carry the first input's colour profile,
// unless metadata is turned off.
ResultTags resultTags(const FusionRun& run)
{
    ResultTags tags;
    if (!run.settings.noMetadata) {
        tags.iccProfile = &run.outputProfile;
        tags.software = QUOVIX_SOFTWARE;
    }
    return tags;
}

} // namespace

Status writeFinishedImage(FusionRun& run, const std::string& path, WorkPixel* pixels, int width, int height)
{
    // The depth follows the run's output name, whichever file this is.
    if (run.depths.outputBits == 16 && !hasJpegExtension(run.settings.outputPath)) {
        const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
        QVX_TRY(run.pool.forRangeBalanced(count, size_t{1} << 16, [pixels](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) {
                if (pixels[i].alpha != 0)
                    pixels[i].alpha = static_cast<int16_t>(0xFFFF);
            }
        }));
        return writeWorkFile16(run, path, pixels, width, height, run.canvas, false, resultTags(run));
    }
    return writeWorkFile8(run, path, pixels, width, height, run.canvas, false, resultTags(run));
}

Status writeOutputTemp(FusionRun& run, const std::string& path, WorkPixel* pixels, int width, int height,
                       std::string& temp)
{
    temp = reserveTempBeside(path);
    if (temp.empty()) {
        // Reported like any output file that does not open.
        const char* mode = run.settings.bigTiff ? "W" : "w";
        run.console.notice("Couldn't open TIFF file: %s", path.c_str());
        run.console.traceFileOpen(path.c_str(), mode, nullptr);
        return Status::failure(kExitIoError, std::string("Cannot open TIFF file for ") + mode + ": " + path,
                               ErrorKind::Output);
    }
    const Status written = writeFinishedImage(run, temp, pixels, width, height);
    if (!written.ok()) {
        std::remove(temp.c_str());
        temp.clear();
        if (written.exitCode() == kExitNoMemory)
            return written;
        return Status::failure(kExitIoError, "Error writing output file " + path + "\n", ErrorKind::Output);
    }
    return Status();
}

Status exportAsJpeg(FusionRun& run, const std::string& source, const std::string& target)
{
    FileFormat format = FileFormat::Unknown;
    if (!detectFormat(source, format).ok() || (format != FileFormat::Tiff && format != FileFormat::BigTiff))
        return fatalError("Error converting TIFF to JPEG...input not TIFF format\n");
    ImageInfo info;
    QVX_TRY(queryImageInfo(run, source, info, true));
    const int bytesPerPixel = info.bytesPerPixel;
    const ImageRegion& region = info.region;
    const size_t pixels = static_cast<size_t>(region.width) * static_cast<size_t>(region.height);
    // Room for three bytes per pixel even when the file holds fewer.
    PageBuffer<unsigned char> buffer;
    QVX_TRY(buffer.allocate(run.console, pixels * static_cast<size_t>(bytesPerPixel > 3 ? bytesPerPixel : 3)));
    unsigned char* image = buffer.get();
    QVX_TRY(readImage(run, source, info, image));
    if (bytesPerPixel == 4) {
        for (size_t p = 0; p < pixels; ++p) {
            image[3 * p + 0] = image[4 * p + 0];
            image[3 * p + 1] = image[4 * p + 1];
            image[3 * p + 2] = image[4 * p + 2];
        }
    } else if (bytesPerPixel == 1) {
        // Grey spreads into equal R, G, B; walk backwards to expand in place.
        for (size_t p = pixels; p-- > 0;) {
            unsigned char v = image[p];
            image[3 * p + 0] = v;
            image[3 * p + 1] = v;
            image[3 * p + 2] = v;
        }
    } else if (bytesPerPixel != 3) {
        return Status::failure(kExitFatal, "Unsupported bit depth conversion request: in=" +
                                               std::to_string(bytesPerPixel) +
                                               ", out=4\nFatal Error: Unsupported image type\n\n");
    }

    if (run.outputProfile.size() > kMaxJpegIccBytes)
        run.console.warn("colour profile of %zu bytes not carried: a JPEG holds at most %zu", run.outputProfile.size(),
                         kMaxJpegIccBytes);
    bool ok = false;
    const std::string temp = reserveTempBeside(target);
    if (!temp.empty()) {
        // The JPEG keeps the access mode the TIFF was given.
        struct stat st{};
        if (stat(source.c_str(), &st) == 0)
            chmod(temp.c_str(), st.st_mode & 07777);
        FILE* file = std::fopen(temp.c_str(), "wb");
        if (file != nullptr) {
            ok = encodeJpeg(run.console, file, image, region.width, region.height, run.settings.jpegQuality,
                            &run.outputProfile);
            if (std::fflush(file) != 0)
                ok = false;
            if (std::fclose(file) != 0)
                ok = false;
        }
        if (ok)
            copyMetadataInto(run, temp);
        // The last moment a stop request keeps the previous output.
        if (ok && run.cancelled()) {
            std::remove(temp.c_str());
            return interrupted();
        }
        ok = ok ? commitTemp(temp, target) : (std::remove(temp.c_str()), false);
    }
    buffer.reset();
    if (!ok) {
        run.console.showErrorBox("Cannot write JPEG file: %s", target.c_str());
        return Status::failure(kExitIoError, "", ErrorKind::Output);
    }
    return Status();
}

Status exportAsPng(FusionRun& run, const std::string& source, const std::string& target)
{
    TIFF* tiff = nullptr;
    QVX_TRY(openTiff(run, source, "r", tiff));
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    PngLayout layout;
    layout.width = static_cast<int>(width);
    layout.height = static_cast<int>(height);
    layout.channels = samples;
    layout.bits = bits;
    if (!run.settings.noMetadata) {
        layout.iccProfile = &run.outputProfile;
        layout.software = QUOVIX_SOFTWARE;
    }
    const std::string temp = reserveTempBeside(target);
    if (temp.empty()) {
        const int err = errno;
        closeTiff(run, tiff);
        return outputWriteFailure(target, err);
    }
    // The PNG keeps the access mode the TIFF was given.
    struct stat st{};
    if (stat(source.c_str(), &st) == 0)
        chmod(temp.c_str(), st.st_mode & 07777);
    // Rows stream from the TIFF into the encoder: no whole-image buffer.
    TiffRowReader rows(tiff);
    std::string note;
    Status status = writePngRows(
        temp, layout, [&](int row, unsigned char* out) { return rows.readRow(out, row); }, &note);
    closeTiff(run, tiff);
    if (status.ok() && !note.empty())
        run.console.warn("%s", note.c_str());
    if (status.ok() && run.cancelled())
        status = interrupted();
    if (!status.ok()) {
        std::remove(temp.c_str());
        return status;
    }
    if (!commitTemp(temp, target))
        return outputWriteFailure(target, errno);
    return Status();
}

Status completeOutputFile(FusionRun& run, const std::string& temp, const std::string& path)
{
    // A run that has failed since (a message callback that threw) commits nothing.
    const Status callback = run.console.callbackStatus();
    if (!callback.ok()) {
        std::remove(temp.c_str());
        return callback;
    }
    if (const Export kind = exportOf(run.settings); kind != Export::None) {
        const Status exported = exportAs(run, kind, temp, path);
        std::remove(temp.c_str());
        return exported;
    }
    copyMetadataInto(run, temp);
    if (run.cancelled()) {
        std::remove(temp.c_str());
        return interrupted();
    }
    if (!commitTemp(temp, path))
        return outputWriteFailure(path, errno);
    return Status();
}

Status installGroupResult(FusionRun& run, const std::string& source, const std::string& target)
{
    QVX_TRY(run.console.callbackStatus());
    if (const Export kind = exportOf(run.settings); kind != Export::None) {
        QVX_TRY(exportAs(run, kind, source, target));
        std::remove(source.c_str());
        return Status();
    }
    copyMetadataInto(run, source);
    QVX_TRY(run.checkCancel());
    if (std::rename(source.c_str(), target.c_str()) == 0)
        return Status();
    const std::string temp = reserveTempBeside(target);
    if (temp.empty() || !copyFile(source, temp) || !commitTemp(temp, target)) {
        const int err = errno;
        if (!temp.empty())
            std::remove(temp.c_str());
        return outputWriteFailure(target, err);
    }
    std::remove(source.c_str());
    return Status();
}

} // namespace quovix
