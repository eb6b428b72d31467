// Fuzz target: a scratch file of the run's folder as the combination reads it
// (a file damaged on disk or replaced behind the run's back):
//   byte 0: bit 0 which file of the second image it is (0: its Laplacian
//           level, 1: its exposure weights), bit 1 the combination rule
//           (0: weighted average, 1: maximum),
//   bytes 1.. the file.
// The first image's files are the program's own. One level of both images
// is combined into a buffer of the canvas's size.
#include "analysis/fusion_run.h"
#include "analysis/work_files.h"
#include "fusion/combine_level.h"
#include "fuzz_support.h"
#include "imageio/image_list.h"
#include "imageio/tiff_io.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace quovix;

constexpr int kWidth = 40;
constexpr int kHeight = 24;

[[noreturn]] void setupFailed(const char* what)
{
    std::fprintf(stderr, "scratch_file: %s\n", what);
    std::abort();
}

void writeOwnFiles(FusionRun& run, const std::string& image)
{
    std::vector<WorkPixel> level(size_t{kWidth} * kHeight);
    std::vector<uint16_t> weights(level.size());
    for (size_t i = 0; i < level.size(); ++i) {
        const auto v = static_cast<int16_t>(8192 + static_cast<int>(i % 97) - 48);
        level[i] = WorkPixel{v, static_cast<int16_t>(v + 3), static_cast<int16_t>(v - 5), kAlphaPresent};
        weights[i] = static_cast<uint16_t>(i * 331);
    }
    if (!writeLaplacianFile(run, run.scratch.scratchName(image, "l", 0), level.data(), kWidth, kHeight, run.canvas)
             .ok() ||
        !writeTiffImage(run, run.scratch.scratchName(image, "e", 0), weights.data(),
                        TiffLayout{kWidth, kHeight, 2, run.canvas})
             .ok())
        setupFailed("cannot write the first image's files");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::resetOutcome();
    if (size < 1)
        return 0;
    FusionRun run(fuzz::runOptions());
    run.canvas = ImageRegion{0, 0, kWidth, kHeight};
    if (!run.scratch.ensureRunFolder().ok())
        setupFailed("no run folder");
    const std::string first = fuzz::privatePath("in/a.tif");
    const std::string second = fuzz::privatePath("in/b.tif");
    writeOwnFiles(run, first);
    writeOwnFiles(run, second);
    const std::string hostile = run.scratch.scratchName(second, (data[0] & 1) != 0 ? "e" : "l", 0);
    std::remove(hostile.c_str());
    FILE* file = std::fopen(hostile.c_str(), "wb");
    if (file == nullptr || std::fwrite(data + 1, 1, size - 1, file) != size - 1 || std::fclose(file) != 0)
        setupFailed("cannot write the scratch file");

    ImageList list;
    createImageList(2, list);
    if (!appendImage(list, first, TypeInput, ScaleFull).ok() ||
        !appendImage(list, second, TypeInput, ScaleFull).ok())
        setupFailed("no image list");
    std::vector<WorkPixel> out(size_t{kWidth} * kHeight);
    const CombineMode mode = (data[0] & 2) != 0 ? CombineMode::Maximum : CombineMode::Average;
    fuzz::noteOutcome("combine", combineLevel(run, list, 0, 0.0f, 1.0f, 0.0f, mode, out.data()));
    run.scratch.finish(false);
    fuzz::clearTemporaryFolder();
    return 0;
}
