#include "fusion/depth_map.h"

#include "imageio/file_format.h"
#include "imageio/png_io.h"
#include "imageio/tiff_io.h"
#include "support/file_ops.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quovix {

namespace {

Status depthMapFailure(const std::string& path, int err)
{
    return Status::failure(kExitIoError, "Error writing depth map " + path + ": " + std::strerror(err) + "\n",
                           ErrorKind::Output);
}

} // namespace

uint16_t depthSample(int index, int frames)
{
    if (frames <= 1)
        return 0;
    const int64_t top = frames <= 256 ? 255 : 65535;
    const int64_t span = frames - 1;
    return static_cast<uint16_t>((index * top * 2 + span) / (2 * span));
}

Status writeDepthMap(FusionRun& run, const std::string& path, const uint16_t* chosen, int frames,
                     const std::vector<int>& number)
{
    const int width = run.canvas.width;
    const int height = run.canvas.height;
    const int bytes = frames <= 256 ? 1 : 2;
    const size_t w = static_cast<size_t>(width);
    std::vector<uint16_t> sample(static_cast<size_t>(std::max(frames, 1)));
    for (int i = 0; i < frames; ++i)
        sample[static_cast<size_t>(i)] =
            depthSample(static_cast<size_t>(i) < number.size() ? number[static_cast<size_t>(i)] : i, frames);
    // Packed rows of samples; 16-bit ones in the machine's order.
    auto fill = [&](int firstRow, int rowCount, uint8_t* out) {
        const uint16_t* in = chosen + static_cast<size_t>(firstRow) * w;
        const size_t count = w * static_cast<size_t>(rowCount);
        uint16_t* wide = reinterpret_cast<uint16_t*>(out);
        for (size_t p = 0; p < count; ++p) {
            const uint16_t v = sample[in[p]];
            if (bytes == 1)
                out[p] = static_cast<uint8_t>(v);
            else
                wide[p] = v;
        }
    };
    run.console.print("Writing depth map %s\n", path.c_str());
    const std::string temp = reserveTempBeside(path);
    if (temp.empty())
        return depthMapFailure(path, errno);
    Status written;
    if (hasPngExtension(path)) {
        PngLayout layout;
        layout.width = width;
        layout.height = height;
        layout.channels = 1;
        layout.bits = 8 * bytes;
        written = writePngRows(temp, layout, [&](int row, unsigned char* out) {
            fill(row, 1, out);
            return Status();
        });
    } else {
        written = writeTiffRows(run, temp, TiffLayout(width, height, bytes, run.canvas), fill);
    }
    if (!written.ok()) {
        std::remove(temp.c_str());
        return written;
    }
    return commitTemp(temp, path) ? Status() : depthMapFailure(path, errno);
}

} // namespace quovix
