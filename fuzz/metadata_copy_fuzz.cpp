// Fuzz target: the camera metadata and colour profile of a first input carried
// into a small finished output, as the program does at the end of a run:
//   byte 0: the output kind (modulo 3: 8-bit TIFF, 16-bit TIFF, JPEG),
//   bytes 1.. the input (named .jpg when it starts like a JPEG, else .tif).
// The input's profile is read as the run's setup reads it and given to the
// output's writer; then the metadata is copied. Whatever the input holds, the
// output must keep its pixels and its profile, and no working file may stay
// beside it: anything else aborts, as a finding.
#include "analysis/fusion_run.h"
#include "analysis/work_files.h"
#include "fuzz_support.h"
#include "imageio/camera_metadata.h"
#include "imageio/icc_profile.h"
#include "imageio/image_reader.h"
#include "imageio/jpeg_io.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

using namespace quovix;

constexpr int kWidth = 16;
constexpr int kHeight = 12;

[[noreturn]] void finding(const std::string& what)
{
    std::fprintf(stderr, "metadata_copy: %s\n", what.c_str());
    std::abort();
}

// The output as the program writes it, with the input's profile.
bool writeOutput(FusionRun& run, int kind, const std::string& path, const IccProfile& profile)
{
    if (kind == 2) {
        std::vector<uint8_t> rgb(size_t{kWidth} * kHeight * 3);
        for (size_t i = 0; i < rgb.size(); ++i)
            rgb[i] = static_cast<uint8_t>(i * 7);
        FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr)
            return false;
        const bool ok = encodeJpeg(run.console, file, rgb.data(), kWidth, kHeight, 90, &profile);
        return std::fclose(file) == 0 && ok;
    }
    std::vector<WorkPixel> pixels(size_t{kWidth} * kHeight);
    for (size_t i = 0; i < pixels.size(); ++i) {
        const auto v = static_cast<int16_t>(i * 97 % 16000);
        pixels[i] = WorkPixel{v, static_cast<int16_t>(16000 - v), static_cast<int16_t>(v / 2), kAlphaPresent};
    }
    const ResultTags tags{&profile, "Quovix fuzz"};
    const ImageRegion canvas{0, 0, kWidth, kHeight};
    const Status status = kind == 0 ? writeWorkFile8(run, path, pixels.data(), kWidth, kHeight, canvas, false, tags)
                                    : writeWorkFile16(run, path, pixels.data(), kWidth, kHeight, canvas, false, tags);
    return status.ok();
}

// The decoded pixels and the profile: what the metadata copy must not change.
struct Picture {
    std::vector<uint8_t> pixels;
    IccProfile profile;
};

Picture pictureOf(FusionRun& run, const std::string& path)
{
    Picture p;
    ImageInfo info;
    if (!queryImageInfo(run, path, info).ok())
        finding(path + " no longer reads as an image");
    p.pixels.assign(static_cast<size_t>(info.region.width) * info.region.height * info.bytesPerPixel, 0);
    if (!readImage(run, path, info, p.pixels.data()).ok())
        finding(path + ": pixels no longer read");
    if (!readIccProfile(path, p.profile).ok())
        finding(path + ": profile no longer reads");
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::resetOutcome();
    if (size < 3)
        return 0;
    const int kind = data[0] % 3;
    const bool jpegInput = data[1] == 0xFF && data[2] == 0xD8;
    const std::string source = fuzz::writeInput(jpegInput ? "input.jpg" : "input.tif", data + 1, size - 1);
    const std::string folder = fuzz::privatePath("out");
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    mkdir(folder.c_str(), 0700);
    const std::string target = folder + (kind == 2 ? "/result.jpg" : "/result.tif");
    FusionRun run(fuzz::runOptions());

    IccProfile profile;
    const MetadataStatus read = readIccProfile(source, profile);
    fuzz::noteOutcome("profile", read.ok() ? "ok, " + std::to_string(profile.size()) + " bytes" : read.detail);
    if (!read.ok())
        profile.clear();
    if (!writeOutput(run, kind, target, profile))
        finding("the output was not written");
    const Picture before = pictureOf(run, target);

    const MetadataStatus copied = copyCameraMetadata(source, target, "fuzz");
    fuzz::noteOutcome("copy", copied.ok() ? "ok" + (copied.note.empty() ? "" : ", " + copied.note) : copied.detail);

    const Picture after = pictureOf(run, target);
    if (after.pixels != before.pixels)
        finding("the metadata copy changed the pixels");
    if (after.profile != before.profile)
        finding("the metadata copy changed the profile");
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        (void)entry;
        ++files;
    }
    if (files != 1)
        finding("working files left beside the output");
    fuzz::clearTemporaryFolder();
    return 0;
}
