#include "app/run_request.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace {

constexpr const char* kSidecars[] = {"xmp", "pp3", "thm", "dop", "aae"};

bool isTiffName(const std::string& ext)
{
    return ext == "tif" || ext == "tiff";
}

bool isJpegName(const std::string& ext)
{
    return ext == "jpg" || ext == "jpeg";
}

// A name without extension that can take one: its last component is a name
// and it is not an existing folder or special file.
bool renamableToJpeg(const std::string& path)
{
    if (path.empty() || path.back() == '/')
        return false;
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    return !std::filesystem::exists(status) || std::filesystem::is_regular_file(status);
}

void warn(std::string& warnings, const std::string& text)
{
    warnings += "Warning: " + text + "\n";
}

} // namespace

std::string lowerExtension(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    std::string ext = path.substr(dot + 1);
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

bool isSidecarName(const std::string& path)
{
    const std::string ext = lowerExtension(path);
    return std::find(std::begin(kSidecars), std::end(kSidecars), ext) != std::end(kSidecars);
}

bool settleRequest(CommandLine& commandLine, std::string& warnings, std::string& error)
{
    quovix::Options& o = commandLine.options;

    // The output's format follows its name: refuse what would be written
    // under a misleading name. A name without extension is written as TIFF.
    std::string ext = lowerExtension(o.outputPath);
    if (!o.outputPath.empty() && !ext.empty() && !isTiffName(ext) && !isJpegName(ext) && ext != "png") {
        error = "Error: cannot write " + o.outputPath + ": unsupported output type ." + ext +
                " (supported: .tif, .tiff, .jpg, .jpeg, .png)\n";
        return false;
    }
    // The writer knows JPEG names in four spellings only; a TIFF under
    // "x.Jpg" would mislead as much as one under "x.png".
    if (isJpegName(ext) && !quovix::isJpegOutputName(o.outputPath)) {
        error = "Error: cannot write " + o.outputPath + ": spell a JPEG extension .jpg, .jpeg, .JPG or .JPEG\n";
        return false;
    }
    // The writer takes a name holding a JPEG spelling anywhere for JPEG
    // ("x.jpg.tif", "d.jpg/out.tif"): refused rather than JPEG bytes under a
    // TIFF name.
    if (!o.scaled && (isTiffName(ext) || ext.empty()) && quovix::isJpegOutputName(o.outputPath)) {
        error = "Error: cannot write " + o.outputPath +
                ": a name holding .jpg or .jpeg is written as JPEG; rename it (or its folder) or end it in .jpg\n";
        return false;
    }
    // Preview runs write JPEG; never JPEG bytes under a TIFF name or a name
    // that says nothing. A folder, or a name that is not a regular file, is
    // left to the refusal it gets later.
    if (o.scaled && (isTiffName(ext) || (ext.empty() && renamableToJpeg(o.outputPath)))) {
        std::string renamed = o.outputPath.substr(0, o.outputPath.size() - ext.size());
        if (renamed.back() != '.')
            renamed += '.';
        renamed += "jpg";
        warn(warnings, "preview runs write JPEG: writing " + renamed + " instead of " + o.outputPath);
        o.outputPath = renamed;
        ext = "jpg";
    }

    // One word about a depth that will not be written.
    if (!commandLine.bitsGiven.empty()) {
        const int32_t bits = parseInteger(commandLine.bitsGiven.c_str());
        // Previews are written at 8 bits, as JPEG unless named .png.
        const bool png = ext == "png";
        const bool jpeg = isJpegName(ext) || (o.scaled && !png);
        if (bits != 8 && bits != 16)
            warn(warnings, "-a " + commandLine.bitsGiven + " is not 8 or 16: writing the depth of the deepest input" +
                               (jpeg ? " (8 bits for JPEG)" : o.scaled ? " (8 bits for a preview)" : ""));
        else if (bits == 16 && jpeg)
            warn(warnings, "-a 16 with JPEG output: JPEG holds 8 bits per sample, writing 8");
        else if (bits == 16 && o.scaled)
            warn(warnings, "-a 16 in a preview run: previews are written at 8 bits");
    }

    // Sidecar files caught by a wildcard are not images.
    std::vector<std::string> kept;
    for (const std::string& input : commandLine.inputs) {
        if (isSidecarName(input))
            warn(warnings, "skipping " + input + ": a sidecar file, not an image");
        else
            kept.push_back(input);
    }
    commandLine.inputs = std::move(kept);
    // (A missing file gets its own error instead.)
    std::error_code noFile;
    if (commandLine.inputs.size() == 1 && o.plusStops == 0.0f && o.minusStops == 0.0f &&
        std::filesystem::exists(commandLine.inputs[0], noFile))
        warn(warnings, "only one input (" + commandLine.inputs[0] + "): there is nothing to fuse it with");
    return true;
}
