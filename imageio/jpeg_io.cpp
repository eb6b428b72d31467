#include "imageio/jpeg_io.h"

#include "imageio/icc_profile.h"
#include "support/memory.h"

#include <csetjmp>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

namespace quovix {

// libjpeg's own error handler ends the process. This one returns to the
// caller through longjmp, so every failure is reported by the caller. The
// functions that use it hold only trivially destructible locals across
// setjmp; resources are released by hand on both paths.
namespace {

struct JpegErrorManager {
    jpeg_error_mgr base;
    jmp_buf jump;
    Console* console;
};

[[noreturn]] void jpegErrorExit(j_common_ptr info)
{
    JpegErrorManager* manager = reinterpret_cast<JpegErrorManager*>(info->err);
    if (info->err->msg_code != JERR_OUT_OF_MEMORY) {
        char message[JMSG_LENGTH_MAX];
        (*info->err->format_message)(info, message);
        manager->console->print("%s\n", message);
    }
    longjmp(manager->jump, 1);
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

jpeg_error_mgr* installErrorManager(JpegErrorManager& manager, Console& console)
{
    jpeg_error_mgr* base = jpeg_std_error(&manager.base);
    base->error_exit = jpegErrorExit;
    base->emit_message = jpegEmitMessage;
    manager.console = &console;
    return base;
}

// Exhausted memory inside libjpeg is the run's out-of-memory failure, not a
// file error.
Status decodeFailure(Console& console, const JpegErrorManager& errors, const char* text)
{
    if (errors.base.msg_code == JERR_OUT_OF_MEMORY) {
        console.notice("Error allocating memory in the JPEG decoder\n");
        return outOfMemory();
    }
    return Status::failure(kExitIoError, text);
}

} // namespace

Status readJpegHeader(Console& console, const std::string& path, int& width, int& height, int& components,
                      bool* arithmetic)
{
    static const char kFailure[] = "Error reading input JPEG file\n";
    jpeg_decompress_struct info;
    JpegErrorManager errors;
    info.err = installErrorManager(errors, console);
    FILE* volatile file = nullptr;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        if (file != nullptr)
            std::fclose(file);
        return decodeFailure(console, errors, kFailure);
    }
    jpeg_create_decompress(&info);
    file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        console.showErrorBox("Cannot open JPEG file: %s", path.c_str());
        jpeg_destroy_decompress(&info);
        return Status::failure(kExitIoError, kFailure);
    }
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    width = static_cast<int>(info.image_width);
    height = static_cast<int>(info.image_height);
    components = info.num_components;
    if (arithmetic != nullptr)
        *arithmetic = info.arith_code != 0;
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return Status();
}

Status readJpeg(Console& console, const std::string& path, const ImageInfo& expected, void* buffer)
{
    static const char kFailure[] = "Error reading input JPEG file data\n";
    jpeg_decompress_struct info;
    JpegErrorManager errors;
    info.err = installErrorManager(errors, console);
    FILE* volatile file = nullptr;
    JSAMPROW* volatile rows = nullptr;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        trackedFree(console, rows);
        if (file != nullptr)
            std::fclose(file);
        return decodeFailure(console, errors, kFailure);
    }
    jpeg_create_decompress(&info);
    file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        console.showErrorBox("Cannot open %s", path.c_str());
        jpeg_destroy_decompress(&info);
        return Status::failure(kExitIoError, kFailure);
    }
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    // The buffer holds the image the classification saw; a file replaced
    // since then must not be decoded into it.
    const bool changed = expected.known && (static_cast<int>(info.output_width) != expected.region.width ||
                                            static_cast<int>(info.output_height) != expected.region.height);
    if (info.output_components != 3 || changed) {
        if (changed)
            console.notice("Image file %s has changed since it was opened\n", path.c_str());
        else
            console.showErrorBox("JPEG Image must have 3 channels");
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        return Status::failure(kExitIoError, kFailure);
    }
    const int batch = info.rec_outbuf_height > 0 ? info.rec_outbuf_height : 1;
    rows = static_cast<JSAMPROW*>(trackedAlloc(console, static_cast<size_t>(batch) * sizeof(JSAMPROW)));
    if (rows == nullptr) {
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        return outOfMemory();
    }
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
    trackedFree(console, rows);
    std::fclose(file);
    return Status();
}

bool encodeJpeg(Console& console, FILE* file, const void* buffer, int width, int height, int quality,
                const std::vector<unsigned char>* iccProfile)
{
    jpeg_compress_struct info;
    JpegErrorManager errors;
    info.err = installErrorManager(errors, console);
    unsigned char* volatile row = nullptr;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&info);
        trackedFree(console, row);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    // A profile too large for the JPEG's chunk limit is left out.
    if (iccProfile != nullptr && !iccProfile->empty())
        (void)writeJpegIccProfile(&info, *iccProfile);
    const size_t stride = static_cast<size_t>(width) * 3;
    row = static_cast<unsigned char*>(trackedAlloc(console, stride));
    if (row == nullptr) {
        jpeg_destroy_compress(&info);
        return false;
    }
    const unsigned char* source = static_cast<const unsigned char*>(buffer);
    while (info.next_scanline < info.image_height) {
        std::memcpy(row, source + static_cast<size_t>(info.next_scanline) * stride, stride);
        JSAMPROW rows[1] = {row};
        // The stdio destination never suspends; no progress means a broken encoder.
        if (jpeg_write_scanlines(&info, rows, 1) != 1) {
            jpeg_destroy_compress(&info);
            trackedFree(console, row);
            return false;
        }
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    trackedFree(console, row);
    return true;
}

} // namespace quovix
