#include "imageio/jpeg_io.h"

#include "imageio/format_detect.h"
#include "imageio/tiff_io.h"
#include "support/console.h"
#include "support/memory.h"
#include "support/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

// libjpeg's own error handler ends the process. This one returns to the
// caller through longjmp, so every failure is reported by the caller. The
// functions that use it hold only trivially destructible locals across
// setjmp; resources are released by hand on both paths.
namespace {

struct JpegErrorManager {
    jpeg_error_mgr base;
    jmp_buf jump;
};

[[noreturn]] void jpegErrorExit(j_common_ptr info)
{
    char message[JMSG_LENGTH_MAX];
    (*info->err->format_message)(info, message);
    std::fprintf(stderr, "%s\n", message);
    longjmp(reinterpret_cast<JpegErrorManager*>(info->err)->jump, 1);
}

// Corrupt-data warnings (level -1) that mean the decoded pixels would be
// invented (a truncated file is padded with grey) end the decode as errors;
// the others, such as stray bytes between markers, are tolerated quietly.
void jpegEmitMessage(j_common_ptr info, int level)
{
    if (level >= 0)
        return;
    switch (info->err->msg_code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_MUST_RESYNC:
    case JWRN_HUFF_BAD_CODE:
        jpegErrorExit(info);
    default:
        info->err->num_warnings++;
        break;
    }
}

jpeg_error_mgr* installErrorManager(JpegErrorManager& manager)
{
    jpeg_error_mgr* base = jpeg_std_error(&manager.base);
    base->error_exit = jpegErrorExit;
    base->emit_message = jpegEmitMessage;
    return base;
}

// Encodes packed RGB into an open stream; 0 or -1. The stream stays open.
int encodeJpeg(FILE* file, const void* buffer, int width, int height)
{
    jpeg_compress_struct info;
    JpegErrorManager errors;
    info.err = installErrorManager(errors);
    unsigned char* volatile row = nullptr;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&info);
        trackedFree(row);
        return -1;
    }
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, gSettings.jpegQuality, TRUE);
    jpeg_start_compress(&info, TRUE);
    const size_t stride = static_cast<size_t>(width) * 3;
    row = static_cast<unsigned char*>(trackedAlloc(stride));
    const unsigned char* source = static_cast<const unsigned char*>(buffer);
    while (info.next_scanline < info.image_height) {
        std::memcpy(row, source + static_cast<size_t>(info.next_scanline) * stride, stride);
        JSAMPROW rows[1] = {row};
        // The stdio destination never suspends; no progress means a broken encoder.
        if (jpeg_write_scanlines(&info, rows, 1) != 1) {
            jpeg_destroy_compress(&info);
            trackedFree(row);
            return -1;
        }
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    trackedFree(row);
    return 0;
}

} // namespace

int readJpegHeader(const std::string& path, int& width, int& height, int& components, int& bits)
{
    jpeg_decompress_struct info;
    JpegErrorManager errors;
    info.err = installErrorManager(errors);
    FILE* volatile file = nullptr;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        if (file != nullptr)
            std::fclose(file);
        return -1;
    }
    jpeg_create_decompress(&info);
    file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        showErrorBox("Cannot open JPEG file: %s", path.c_str());
        jpeg_destroy_decompress(&info);
        return -1;
    }
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    width = static_cast<int>(info.image_width);
    height = static_cast<int>(info.image_height);
    components = info.num_components;
    bits = 8;
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return 0;
}

int readJpeg(const std::string& path, void* buffer)
{
    jpeg_decompress_struct info;
    JpegErrorManager errors;
    info.err = installErrorManager(errors);
    FILE* volatile file = nullptr;
    JSAMPROW* volatile rows = nullptr;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        trackedFree(rows);
        if (file != nullptr)
            std::fclose(file);
        return -1;
    }
    jpeg_create_decompress(&info);
    file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        showErrorBox("Cannot open %s", path.c_str());
        jpeg_destroy_decompress(&info);
        return -1;
    }
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    if (info.output_components != 3) {
        showErrorBox("JPEG Image must have 3 channels");
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        return -1;
    }
    const int batch = info.rec_outbuf_height > 0 ? info.rec_outbuf_height : 1;
    rows = static_cast<JSAMPROW*>(trackedAlloc(static_cast<size_t>(batch) * sizeof(JSAMPROW)));
    const size_t stride = static_cast<size_t>(info.output_width) * 3;
    unsigned char* destination = static_cast<unsigned char*>(buffer);
    while (info.output_scanline < info.output_height) {
        JDIMENSION next = info.output_scanline;
        JDIMENSION count = static_cast<JDIMENSION>(batch);
        if (count > info.output_height - next)
            count = info.output_height - next;
        for (JDIMENSION k = 0; k < count; ++k)
            rows[k] = destination + static_cast<size_t>(next + k) * stride;
        jpeg_read_scanlines(&info, rows, count);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    trackedFree(rows);
    std::fclose(file);
    return 0;
}

int writeJpeg(const std::string& path, const void* buffer, int width, int height)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        showErrorBox("Cannot open %s", path.c_str());
        return -1;
    }
    int result = encodeJpeg(file, buffer, width, height);
    if (std::fclose(file) != 0)
        result = -1;
    return result;
}

int exportOutputAsJpeg()
{
    const std::string& output = gSettings.outputPath;
    if (!isTiffFile(output) && !isBigTiffFile(output))
        fatalError("Error converting TIFF to JPEG...input not TIFF format\n", kExitFatal);
    ImageRegion region;
    int bytesPerPixel = 0, bits = 0;
    queryImageInfo(output, region, bytesPerPixel, bits, true);
    const size_t pixels = static_cast<size_t>(region.width) * static_cast<size_t>(region.height);
    // Room for three bytes per pixel even when the file holds fewer.
    unsigned char* image = static_cast<unsigned char*>(
        trackedPageAlloc(pixels * static_cast<size_t>(bytesPerPixel > 3 ? bytesPerPixel : 3)));
    readImage(output, image);
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
        std::printf("Unsupported bit depth conversion request: in=%d, out=%d\n", bytesPerPixel, 4);
        fatalError("Unsupported image type\n", kExitFatal);
    }

    // Encode next to the output and rename over it only when complete, so a
    // failed encode leaves the TIFF in place rather than a half-written JPEG.
    std::string folder = ".";
    size_t slash = output.rfind('/');
    if (slash != std::string::npos)
        folder = slash == 0 ? "/" : output.substr(0, slash);
    std::string pattern = folder + "/.quovix-jpeg-XXXXXX";
    std::vector<char> tempName(pattern.begin(), pattern.end());
    tempName.push_back('\0');
    int result = -1;
    int fd = mkstemp(tempName.data());
    if (fd >= 0) {
        // The JPEG keeps the access mode the TIFF was given.
        struct stat st{};
        if (stat(output.c_str(), &st) == 0)
            fchmod(fd, st.st_mode & 07777);
        FILE* file = fdopen(fd, "wb");
        if (file == nullptr) {
            ::close(fd);
        } else {
            result = encodeJpeg(file, image, region.width, region.height);
            if (std::fflush(file) != 0 || fsync(fileno(file)) != 0)
                result = -1;
            if (std::fclose(file) != 0)
                result = -1;
        }
        if (result == 0 && std::rename(tempName.data(), output.c_str()) != 0)
            result = -1;
        if (result != 0)
            ::unlink(tempName.data());
    }
    trackedPageFree(image);
    if (result != 0)
        showErrorBox("Cannot write JPEG file: %s", output.c_str());
    return result;
}
