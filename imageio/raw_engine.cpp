#include "imageio/raw_engine.h"

#include "imageio/libraw_decode.h"
#include "imageio/raw_convert.h"

#include <cmath>
#include <unistd.h>

namespace quovix {

namespace {

// Whether the converter program exists where the conversion would start it.
bool converterFound(const RunSettings& settings)
{
    const std::string program = locateConverter(settings);
    return !program.empty() && access(program.c_str(), X_OK) == 0;
}

// The one line that says a file goes to LibRaw instead of dcraw.
void announceFallback(const RunSettings& settings, Console& console, const std::string& path)
{
    const std::string name = converterName(settings);
    if (converterFound(settings))
        console.print("%s cannot decode %s: decoding it with LibRaw\n", name.c_str(), path.c_str());
    else
        console.print("%s not found: decoding %s with LibRaw\n", name.c_str(), path.c_str());
}

} // namespace

bool decodedInProcess(const RunContext& run, const std::string& path)
{
    return run.settings.rawEngine == RawEngine::LibRaw || run.rawFallbacks.contains(path);
}

Status queryRawOutputSize(RunContext& run, const std::string& path, ImageRegion& region)
{
    if (!decodedInProcess(run, path)) {
        if (queryRawSize(run.settings, path, region) == 0)
            return Status();
        announceFallback(run.settings, run.console, path);
        run.rawFallbacks.add(path);
    }
    LibRawOptions options;
    QVX_TRY(parseLibRawOptions(run.settings.converterArgs, options));
    const std::string reason = libRawOutputSize(path, region);
    if (!reason.empty()) {
        run.console.notice("LibRaw cannot decode RAW file %s: %s\n", path.c_str(), reason.c_str());
        // The last line says which file and why, the converter's absence first.
        std::string why = "LibRaw cannot read it";
        if (run.settings.rawEngine == RawEngine::Dcraw)
            why = converterFound(run.settings) ? "neither " + converterName(run.settings) + " nor LibRaw can read it"
                                               : converterName(run.settings) + " not found, and LibRaw cannot read it";
        return Status::failure(kExitIoError, "Cannot determine RAW file dimensions of " + path + ": " + why + "\n");
    }
    return Status();
}

Status decodeRawInProcess(RunContext& run, const std::string& path, const ImageInfo& info, int stops,
                          uint8_t* pixels, std::vector<unsigned char>* profile)
{
    LibRawRequest request;
    QVX_TRY(parseLibRawOptions(run.settings.converterArgs, request.options));
    if (request.options.outputBits != info.bitsPerSample || info.bytesPerPixel != 3 * info.bitsPerSample / 8)
        return fatalError("Unexpected RAW conversion output", kExitIoError);
    request.brightness = static_cast<float>(std::pow(2.0, stops));
    request.workers = run.pool.workers();
    request.expected = info.region;
    run.console.print("\nConverting RAW file...\n");
    return decodeWithLibRaw(path, request, pixels, profile);
}

int describeRaw(const RunSettings& settings, Console& console, const std::string& path)
{
    if (settings.rawEngine == RawEngine::Dcraw) {
        ImageRegion region;
        if (queryRawSize(settings, path, region) == 0)
            return printRawInfo(settings, console, path);
        announceFallback(settings, console, path);
    }
    return printLibRawDescription(console, path);
}

} // namespace quovix
