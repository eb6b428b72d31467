#include "fusion/canvas_frame.h"

#include "imageio/image_reader.h"
#include "imageio/input_prepare.h"
#include "support/memory.h"

#include <algorithm>

namespace quovix {

namespace {

// The part of `read` (canvas coordinates) that lies on the canvas, relative to it.
ImageRegion onCanvas(const ImageRegion& read, const ImageRegion& canvas)
{
    const int64_t left = std::max<int64_t>(read.x, canvas.x);
    const int64_t top = std::max<int64_t>(read.y, canvas.y);
    const int64_t right = std::min<int64_t>(int64_t{read.x} + read.width, int64_t{canvas.x} + canvas.width);
    const int64_t bottom = std::min<int64_t>(int64_t{read.y} + read.height, int64_t{canvas.y} + canvas.height);
    ImageRegion r;
    r.x = static_cast<int32_t>(left - canvas.x);
    r.y = static_cast<int32_t>(top - canvas.y);
    r.width = static_cast<int32_t>(std::max<int64_t>(0, right - left));
    r.height = static_cast<int32_t>(std::max<int64_t>(0, bottom - top));
    return r;
}

} // namespace

Status readCanvasFrame(FusionRun& run, const ImageList& list, int entry, SampleRange range,
                       align::LoadedFrame& frame, ImageRegion* present)
{
    const RunSettings& s = run.settings;
    const std::string path = list[entry].path;
    ImageInfo info = list[entry].info;
    if (!info.known)
        QVX_TRY(queryImageInfo(run, path, info));
    if (!layoutMatches(info.bytesPerPixel, info.bitsPerSample)) {
        run.console.notice("Unsupported image layout: %s (%d bytes per pixel, %d bits per sample)\n", path.c_str(),
                           info.bytesPerPixel, info.bitsPerSample);
        return fatalError("Unsupported image type\n").withKind(ErrorKind::Input);
    }
    const ImageRegion canvas = run.canvas;
    const size_t pixels = static_cast<size_t>(canvas.width) * static_cast<size_t>(canvas.height);
    const int bytesPerPixel = info.bytesPerPixel;
    const bool wide = info.bitsPerSample == 16;
    const int samples = bytesPerPixel / (wide ? 2 : 1);

    // As the analysis reads it: inputs of a preview run through the cache.
    const bool fromCache = s.scaled && list[entry].scale == ScaleFull;
    PageBuffer<uint8_t> stored;
    QVX_TRY(stored.allocate(run.console, pixels * static_cast<size_t>(bytesPerPixel), true));
    ImageRegion read;
    QVX_TRY(prepareInput(run, path, info, stored.get(), &canvas, 0, fromCache ? s.scaleFactor : 1.0f, fromCache,
                         &read));
    const ImageRegion area = onCanvas(read, canvas);
    if (present != nullptr)
        *present = area;

    const bool ownAlpha = samples == 4;
    const bool covers = area.x == 0 && area.y == 0 && area.width == canvas.width && area.height == canvas.height;
    const int channels = ownAlpha || !covers ? 4 : 3;
    frame.width = canvas.width;
    frame.height = canvas.height;
    frame.channels = channels;
    frame.pixels.assign(pixels * static_cast<size_t>(channels), 0);

    const uint8_t* bytes = stored.get();
    const uint16_t* words = reinterpret_cast<const uint16_t*>(stored.get());
    auto widen = [range](uint8_t v) {
        return static_cast<uint16_t>(range == SampleRange::Full ? v * 257 : v << 8);
    };
    for (int y = area.y; y < area.y + area.height; ++y) {
        const size_t rowStart = static_cast<size_t>(y) * static_cast<size_t>(canvas.width);
        for (int x = area.x; x < area.x + area.width; ++x) {
            const size_t p = rowStart + static_cast<size_t>(x);
            const size_t in = p * static_cast<size_t>(samples);
            uint16_t* out = frame.pixels.data() + p * static_cast<size_t>(channels);
            uint16_t rgb[3];
            uint16_t alpha = 65535;
            for (int c = 0; c < 3; ++c) {
                const size_t k = in + static_cast<size_t>(samples == 1 ? 0 : c);
                rgb[c] = wide ? words[k] : widen(bytes[k]);
            }
            if (ownAlpha && (wide ? words[in + 3] : bytes[in + 3]) == 0)
                continue;  // transparent: absent, left 0
            out[0] = rgb[0];
            out[1] = rgb[1];
            out[2] = rgb[2];
            if (channels == 4)
                out[3] = alpha;
        }
    }
    return Status();
}

} // namespace quovix
