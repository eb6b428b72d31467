#include "imageio/libraw_decode.h"

#include <libraw.h>

#if __has_include(<omp.h>)
#include <omp.h>
#define QUOVIX_HAVE_OMP 1
#endif

#include <arpa/inet.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <new>

namespace quovix {

namespace {

// LibRaw's default error callbacks print to standard error; its return codes
// say the same, and the caller reports them.
std::unique_ptr<LibRaw> makeDecoder()
{
    return std::unique_ptr<LibRaw>(
        new (std::nothrow) LibRaw(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK));
}

std::string reasonOf(int code)
{
    return libraw_strerror(code);
}

// Opens the file and works out the output size without decoding the pixels.
int openForSize(LibRaw& decoder, const std::string& path, ImageRegion& region)
{
    int rc = decoder.open_file(path.c_str());
    if (rc == LIBRAW_SUCCESS)
        rc = decoder.adjust_sizes_info_only();
    if (rc != LIBRAW_SUCCESS)
        return rc;
    region.width = decoder.imgdata.sizes.iwidth;
    region.height = decoder.imgdata.sizes.iheight;
    return region.width > 0 && region.height > 0 ? LIBRAW_SUCCESS : LIBRAW_FILE_UNSUPPORTED;
}

Status decodeFailure(const std::string& path, const std::string& reason)
{
    return Status::failure(kExitIoError, "LibRaw cannot decode RAW file " + path + ": " + reason + "\n");
}

void applyOptions(libraw_output_params_t& params, const LibRawRequest& request)
{
    const LibRawOptions& o = request.options;
    params.use_camera_wb = o.cameraWhiteBalance ? 1 : 0;
    params.use_auto_wb = o.autoWhiteBalance ? 1 : 0;
    params.highlight = o.highlightMode;
    params.output_bps = o.outputBits;
    params.no_auto_bright = o.noAutoBrightness ? 1 : 0;
    params.gamm[0] = o.gammaPower;
    params.gamm[1] = o.gammaSlope;
    params.user_qual = o.quality;
    params.threshold = o.noiseThreshold;
    params.bright = request.brightness;
    params.output_color = 1;  // sRGB, as dcraw's default
}

} // namespace

std::string libRawOutputSize(const std::string& path, ImageRegion& region)
{
    std::unique_ptr<LibRaw> decoder = makeDecoder();
    if (!decoder)
        return "out of memory";
    ImageRegion found;
    const int rc = openForSize(*decoder, path, found);
    if (rc != LIBRAW_SUCCESS)
        return reasonOf(rc);
    region.width = found.width;
    region.height = found.height;
    return std::string();
}

int printLibRawDescription(Console& console, const std::string& path)
{
    std::unique_ptr<LibRaw> decoder = makeDecoder();
    ImageRegion size;
    const int rc = decoder ? openForSize(*decoder, path, size) : LIBRAW_UNSUFFICIENT_MEMORY;
    if (rc != LIBRAW_SUCCESS) {
        console.notice("LibRaw cannot decode RAW file %s: %s\n", path.c_str(), reasonOf(rc).c_str());
        return -1;
    }
    const libraw_iparams_t& id = decoder->imgdata.idata;
    const libraw_imgother_t& shot = decoder->imgdata.other;
    const libraw_image_sizes_t& sizes = decoder->imgdata.sizes;
    char date[64] = "unknown";
    const time_t when = shot.timestamp;
    struct tm parts{};
    if (when != 0 && localtime_r(&when, &parts) != nullptr)
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &parts);
    console.print("\nFilename: %s\n", path.c_str());
    console.print("Decoder: LibRaw %s\n", LibRaw::version());
    console.print("Timestamp: %s\n", date);
    console.print("Camera: %s %s\n", id.make, id.model);
    console.print("ISO speed: %d\n", static_cast<int>(shot.iso_speed));
    if (shot.shutter > 0.0f && shot.shutter < 1.0f)
        console.print("Shutter: 1/%.1f sec\n", 1.0 / static_cast<double>(shot.shutter));
    else
        console.print("Shutter: %.1f sec\n", static_cast<double>(shot.shutter));
    console.print("Aperture: f/%.1f\n", static_cast<double>(shot.aperture));
    console.print("Focal length: %.1f mm\n", static_cast<double>(shot.focal_len));
    console.print("Raw colors: %d\n", id.colors);
    console.print("Full size:   %d x %d\n", sizes.raw_width, sizes.raw_height);
    console.print("Output size: %d x %d\n", size.width, size.height);
    return 0;
}

Status decodeWithLibRaw(const std::string& path, const LibRawRequest& request, uint8_t* pixels,
                        std::vector<unsigned char>* profile)
{
    std::unique_ptr<LibRaw> decoder = makeDecoder();
    if (!decoder)
        return outOfMemory();
    applyOptions(decoder->imgdata.params, request);
#ifdef QUOVIX_HAVE_OMP
    // Affects only parallel regions this thread starts: the run's worker count.
    omp_set_num_threads(request.workers > 0 ? request.workers : 1);
#endif
    int rc = decoder->open_file(path.c_str());
    if (rc == LIBRAW_SUCCESS)
        rc = decoder->unpack();
    if (rc == LIBRAW_SUCCESS)
        rc = decoder->dcraw_process();
    if (rc != LIBRAW_SUCCESS)
        return decodeFailure(path, reasonOf(rc));
    int width = 0, height = 0, colors = 0, bits = 0;
    decoder->get_mem_image_format(&width, &height, &colors, &bits);
    if (bits != request.options.outputBits || (colors != 3 && colors != 1) || width != request.expected.width ||
        height != request.expected.height) {
        return decodeFailure(path, "decoded " + std::to_string(width) + "x" + std::to_string(height) + " with " +
                                       std::to_string(colors) + " samples of " + std::to_string(bits) +
                                       " bits; expected " + std::to_string(request.expected.width) + "x" +
                                       std::to_string(request.expected.height) + " " +
                                       std::to_string(request.options.outputBits) + "-bit RGB");
    }
    // Written straight into the caller's rows: no second copy of the picture.
    const size_t sampleBytes = static_cast<size_t>(bits / 8);
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (colors == 3) {
        rc = decoder->copy_mem_image(pixels, width * 3 * static_cast<int>(sampleBytes), 0);
        if (rc != LIBRAW_SUCCESS)
            return decodeFailure(path, reasonOf(rc));
    } else {
        // A monochrome sensor: grey into the first third of the buffer, then
        // spread from the last pixel down so that none is overwritten unread.
        rc = decoder->copy_mem_image(pixels, width * static_cast<int>(sampleBytes), 0);
        if (rc != LIBRAW_SUCCESS)
            return decodeFailure(path, reasonOf(rc));
        for (size_t i = count; i-- > 0;)
            for (int c = 2; c >= 0; --c)
                std::memmove(pixels + (i * 3 + static_cast<size_t>(c)) * sampleBytes, pixels + i * sampleBytes,
                             sampleBytes);
    }
    if (profile != nullptr) {
        // The output profile is stored big-endian, its first word the length.
        profile->clear();
        const unsigned* words = decoder->get_internal_data_pointer()->output_data.oprof;
        if (words != nullptr) {
            const uint32_t length = ntohl(words[0]);
            const auto* bytes = reinterpret_cast<const unsigned char*>(words);
            if (length >= 128 && length < (1u << 20))
                profile->assign(bytes, bytes + length);
        }
    }
    return Status();
}

} // namespace quovix
