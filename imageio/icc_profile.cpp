#include "imageio/icc_profile.h"

#include "imageio/file_format.h"
#include "imageio/png_io.h"
#include "imageio/tiff_io.h"

#include <cstdarg>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

namespace quovix {
namespace {

// An ICC header: the "acsp" signature and a declared size that the stored
// bytes hold. Anything else would be passed on to every viewer of the output.
bool looksLikeIcc(const unsigned char* data, size_t size)
{
    if (size < 132 || std::memcmp(data + 36, "acsp", 4) != 0)
        return false;
    const uint32_t declared = (uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) |
                              (uint32_t{data[2]} << 8) | uint32_t{data[3]};
    return declared >= 132 && declared <= size;
}

MetadataStatus takeProfile(const std::string& path, const unsigned char* data, size_t size, IccProfile& profile)
{
    if (!looksLikeIcc(data, size))
        return metadataFailure(MetadataError::Corrupt, path + ": embedded colour profile is not an ICC profile");
    profile.assign(data, data + size);
    return {};
}

// libtiff reports through handlers that would print; these keep the first
// error for the caller's message instead.
int keepTiffError(TIFF*, void* userData, const char* module, const char* format, va_list args)
{
    std::string& message = *static_cast<std::string*>(userData);
    if (message.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        message = std::string(module != nullptr ? module : "libtiff") + ": " + text;
    }
    return 1;
}

int ignoreTiffWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

MetadataStatus readTiffProfile(const std::string& path, IccProfile& profile)
{
    std::string error;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr)
        return metadataFailure(MetadataError::CannotOpen, path + ": out of memory");
    TIFFOpenOptionsSetErrorHandlerExtR(options, keepTiffError, &error);
    TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreTiffWarning, nullptr);
    // "m": read through the file, not a map of it.
    TIFF* tiff = TIFFOpenExt(path.c_str(), "rm", options);
    TIFFOpenOptionsFree(options);
    if (tiff == nullptr)
        return metadataFailure(MetadataError::Corrupt, path + ": " + (error.empty() ? "not a readable TIFF" : error));
    MetadataStatus status;
    uint32_t size = 0;
    void* data = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &size, &data) == 1 && data != nullptr && size > 0)
        status = takeProfile(path, static_cast<const unsigned char*>(data), size, profile);
    TIFFClose(tiff);
    return status;
}

// libjpeg ends the process on errors and prints warnings; this manager jumps
// back instead and only notes whether the ICC chunks were found inconsistent.
struct QuietJpegErrors {
    jpeg_error_mgr base;
    jmp_buf jump;
    bool bogusIcc;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void jumpOnJpegError(j_common_ptr info)
{
    auto* errors = reinterpret_cast<QuietJpegErrors*>(info->err);
    (*info->err->format_message)(info, errors->message);
    longjmp(errors->jump, 1);
}

void noteJpegMessage(j_common_ptr info, int level)
{
    if (level < 0 && info->err->msg_code == JWRN_BOGUS_ICC)
        reinterpret_cast<QuietJpegErrors*>(info->err)->bogusIcc = true;
}

void discardJpegMessage(j_common_ptr) {}

// Holds only trivially destructible state across setjmp; the file is closed
// by hand on both paths.
MetadataStatus readJpegProfile(const std::string& path, IccProfile& profile)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return metadataFailure(MetadataError::CannotOpen, path + ": cannot open");
    jpeg_decompress_struct info;
    QuietJpegErrors errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jumpOnJpegError;
    errors.base.emit_message = noteJpegMessage;
    errors.base.output_message = discardJpegMessage;
    errors.bogusIcc = false;
    errors.message[0] = '\0';
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        return metadataFailure(MetadataError::Corrupt, path + ": " + errors.message);
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&info, TRUE);
    JOCTET* bytes = nullptr;
    unsigned int size = 0;
    const bool found = jpeg_read_icc_profile(&info, &bytes, &size) == TRUE;
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    MetadataStatus status;
    if (found)
        status = takeProfile(path, bytes, size, profile);
    else if (errors.bogusIcc)
        status = metadataFailure(MetadataError::Corrupt, path + ": colour profile chunks are missing or out of order");
    std::free(bytes);
    return status;
}

} // namespace

MetadataStatus readIccProfile(const std::string& path, IccProfile& profile)
{
    profile.clear();
    FileFormat format = FileFormat::Unknown;
    const Status found = detectFormat(path, format);
    if (!found.ok() && found.exitCode() == kExitFatal)
        return metadataFailure(MetadataError::CannotOpen, path + ": cannot open");
    if (format == FileFormat::Tiff || format == FileFormat::BigTiff)
        return readTiffProfile(path, profile);
    if (format == FileFormat::Jpeg)
        return readJpegProfile(path, profile);
    if (format == FileFormat::Png) {
        IccProfile stored;
        const MetadataStatus read = readPngIccProfile(path, stored);
        if (!read.ok() || stored.empty())
            return read;
        return takeProfile(path, stored.data(), stored.size(), profile);
    }
    return metadataFailure(MetadataError::Unsupported, path + ": neither TIFF, JPEG nor PNG");
}

MetadataStatus setTiffIccProfile(TIFF* tiff, const IccProfile& profile)
{
    if (profile.empty())
        return {};
    if (profile.size() > UINT32_MAX)
        return metadataFailure(MetadataError::TooLarge, "colour profile too large for a TIFF tag");
    if (!setTiffIccTag(tiff, profile))
        return metadataFailure(MetadataError::CannotWrite, std::string(TIFFFileName(tiff)) +
                                                              ": cannot set the colour profile tag");
    return {};
}

MetadataStatus writeJpegIccProfile(jpeg_compress_struct* info, const IccProfile& profile)
{
    if (profile.empty())
        return {};
    // libjpeg would store the chunk count in one byte without checking it.
    if (profile.size() > kMaxJpegIccBytes)
        return metadataFailure(MetadataError::TooLarge, "colour profile too large for a JPEG");
    jpeg_write_icc_profile(info, profile.data(), static_cast<unsigned int>(profile.size()));
    return {};
}

bool iccProfilesDiffer(const IccProfile& first, const IccProfile& other)
{
    return first != other;
}

} // namespace quovix
