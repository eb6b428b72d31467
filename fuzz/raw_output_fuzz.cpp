// Fuzz target: the converter's TIFF as the program takes it after a RAW
// conversion. The input is the size the converter reported and the flags of
// the run, then the file it wrote:
//   bytes 0-1 expected width, 2-3 expected height (little-endian),
//   byte 4 bit 0: the converter ran with -h (half size),
//   bytes 5.. the TIFF.
// The check must hold the file to 8-bit RGB at that size before the pixels are
// read into the buffer sized from it.
#include "analysis/fusion_run.h"
#include "fuzz_support.h"
#include "imageio/image_reader.h"
#include "imageio/input_prepare.h"

#include <cstring>
#include <memory>

namespace {

constexpr size_t kHeaderBytes = 5;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace quovix;
    fuzz::resetOutcome();
    if (size < kHeaderBytes)
        return 0;
    const ImageRegion expected{0, 0, data[0] | data[1] << 8, data[2] | data[3] << 8};
    const bool halfSize = (data[4] & 1) != 0;
    if (expected.width < 1 || expected.height < 1)
        return 0;
    const std::string path = fuzz::writeInput("converted.tif", data + kHeaderBytes, size - kHeaderBytes);
    FusionRun run(fuzz::runOptions());

    // The order of the program's RAW branch: check, classify a half-size
    // file, read into the buffer made for the reported size.
    ImageInfo converted;
    Status status = checkConvertedRaw(run.console, path, expected, halfSize, 8, converted);
    fuzz::noteOutcome("check", status);
    if (!status.ok())
        return 0;
    if (halfSize) {
        status = queryImageInfo(run, path, converted);
        fuzz::noteOutcome("query", status);
        if (!status.ok())
            return 0;
    }
    const int64_t pixels = int64_t{expected.width} * expected.height;
    if (pixels > fuzz::kMaxReadPixels)
        return 0;
    const size_t bytes = static_cast<size_t>(pixels) * 3;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[bytes]);
    std::memset(buffer.get(), 0, bytes);
    fuzz::noteOutcome("read", readImage(run, path, converted, buffer.get()));
    return 0;
}
