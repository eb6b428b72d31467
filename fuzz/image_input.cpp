#include "image_input.h"

#include "analysis/fusion_run.h"
#include "fuzz_support.h"
#include "imageio/image_reader.h"
#include "imageio/input_prepare.h"

#include <cstring>
#include <memory>

namespace quovix::fuzz {

namespace {

// Exactly the bytes asked for, so the address sanitizer sees any overrun.
std::unique_ptr<uint8_t[]> zeroedBuffer(int64_t bytes)
{
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[static_cast<size_t>(bytes)]);
    std::memset(buffer.get(), 0, static_cast<size_t>(bytes));
    return buffer;
}

int64_t pixelsOf(const ImageRegion& region)
{
    return int64_t{region.width} * region.height;
}

// A canvas as the run builds it for this input and a 1x1 image at the origin:
// the input lands at its offset.
ImageRegion canvasFor(const ImageRegion& image)
{
    return ImageRegion{0, 0, image.x + image.width, image.y + image.height};
}

} // namespace

void fuzzImageInput(const uint8_t* data, size_t size, const char* fileName)
{
    resetOutcome();
    const std::string path = writeInput(fileName, data, size);
    FusionRun run(runOptions());

    ImageInfo info;
    Status status = queryImageInfo(run, path, info);
    noteOutcome("query", status);
    if (!status.ok())
        return;
    const int64_t bytesPerPixel = info.bytesPerPixel;
    if (pixelsOf(info.region) > kMaxReadPixels || bytesPerPixel < 1 || bytesPerPixel > 8) {
        noteOutcome("read", "not attempted");
        return;
    }

    // The stored layout, into a buffer of the classified size.
    {
        auto buffer = zeroedBuffer(pixelsOf(info.region) * bytesPerPixel);
        noteOutcome("read", readImage(run, path, info, buffer.get()));
    }

    const ImageRegion canvas = canvasFor(info.region);
    if (pixelsOf(canvas) > kMaxReadPixels)
        return;
    // Onto the full canvas, as the analysis reads each input.
    {
        auto buffer = zeroedBuffer(pixelsOf(canvas) * bytesPerPixel);
        noteOutcome("place", prepareInput(run, path, info, buffer.get(), &canvas, 0, 1.0f, false));
    }
    // A half-size preview: shrunk and cached by the first read, served from
    // the cache by the second.
    ImageRegion preview = canvas;
    scaleRegion(preview, 0.5f);
    if (preview.width >= 1 && preview.height >= 1) {
        for (const char* stage : {"preview", "cached preview"}) {
            auto buffer = zeroedBuffer(pixelsOf(preview) * bytesPerPixel);
            noteOutcome(stage, prepareInput(run, path, info, buffer.get(), &preview, 0, 0.5f, true));
        }
    }
    clearTemporaryFolder();
}

} // namespace quovix::fuzz
